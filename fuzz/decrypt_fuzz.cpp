// libFuzzer target: arbitrary data, delivered by reads and taken by writes of arbitrary
// sizes (with EINTR mixed in), must decrypt exactly as the one-block-at-a-time reference.
//
// Input layout: byte 0 holds the schedule length (low 3 bits, plus one) and the key (top
// bit: the FIPS-197 key instead of the built-in one); then that many schedule bytes, each a
// transfer size (0 = EINTR, 200 and up = multiples of 4099 bytes); the rest is ciphertext.

#include <cstdint>
#include <cstdlib>
#include <span>

#include "decrypt.hpp"
#include "fake_io.hpp"
#include "key.hpp"
#include "support.hpp"

using namespace ecbcat;
using namespace ecbcat::test;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  std::size_t steps = (data[0] & 7u) + 1;
  if (size < 1 + steps) return 0;
  std::span<const unsigned char, 16> k = (data[0] & 0x80) ? std::span(fips_key) : std::span(key);

  std::vector<std::size_t> pieces;
  bool progress = false;
  for (std::size_t i = 1; i <= steps; ++i) {
    std::size_t b = data[i];
    pieces.push_back(b < 200 ? b : (b - 199) * 4099);
    progress |= b != 0;
  }
  if (!progress) pieces.push_back(1);  // all EINTR would never finish
  std::vector<std::size_t> write_pieces(pieces.rbegin(), pieces.rend());

  std::span<const unsigned char> input(data + 1 + steps, size - 1 - steps);
  Scripted r = decrypt_scripted(k, input, in_pieces(pieces), in_pieces(write_pieces));
  if (r.outcome.fault != Fault::none || r.out != reference_decrypt(k, input)) std::abort();
  return 0;
}
