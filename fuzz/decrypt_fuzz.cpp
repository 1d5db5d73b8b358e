// libFuzzer target: arbitrary data, delivered by reads and taken by writes of arbitrary
// sizes (with EINTR mixed in), must decrypt exactly as the one-block-at-a-time reference.
//
// Input layout: byte 0 holds the schedule length (low 3 bits, plus one) and the key (top
// bit: the FIPS-197 key instead of the built-in one); then that many schedule bytes, each a
// transfer size (0 = EINTR, 200 and up = multiples of 4099 bytes); the rest is ciphertext.

#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "decrypt.hpp"
#include "fake_io.hpp"
#include "key.hpp"
#include "support.hpp"

using namespace ecbcat;
using namespace ecbcat::test;

namespace {

constexpr std::array<unsigned char, 16> fips_key{0, 1, 2,  3,  4,  5,  6,  7,
                                                 8, 9, 10, 11, 12, 13, 14, 15};

}  // namespace

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
  int in = memfd_with(input), out = memfd_with({});
  read_script = in_pieces(pieces);
  read_script.fd = in;
  write_script = in_pieces(write_pieces);
  write_script.fd = out;
  Outcome o = decrypt_stream(k, in, out);
  read_script = write_script = {};
  if (o.fault != Fault::none || contents_of(out) != reference_decrypt(k, input)) std::abort();
  ::close(in);
  ::close(out);
  return 0;
}
