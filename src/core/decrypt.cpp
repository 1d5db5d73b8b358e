#include "decrypt.hpp"

#include <cerrno>
#include <cstring>

#include "cipher.hpp"
#include "fdio.hpp"

namespace ecbcat {

static_assert(chunk_size % block_size == 0);

FaultWords words_of(Fault fault) {
  switch (fault) {
    case Fault::none:
      return {""};
    case Fault::setup:
      return {"failed setting up AES-128-ECB", nullptr, true};
    case Fault::cipher:
      return {"failed decrypting", nullptr, true};
    case Fault::read:
      return {"failed reading file"};
    case Fault::write:
      return {"failed writing output"};
    case Fault::output_is_input:
      return {"failed writing output", "input file is output file"};
    case Fault::memory:
      return {"failed allocating buffers"};
  }
  return {"failed"};
}

Outcome decrypt_stream(std::span<const unsigned char, 16> key, int in_fd, int out_fd) {
  EcbDecryptor aes;
  if (unsigned long e = aes.init(key)) return {Fault::setup, 0, e};
  StreamBuffers buffers;
  return decrypt_stream(aes, in_fd, out_fd, buffers);
}

Outcome decrypt_stream(EcbDecryptor& aes, int in_fd, int out_fd, StreamBuffers& buffers,
                       bool new_file, BetweenChunks between, void* context) {
  if (!new_file) {
    if (output_is_input(in_fd, out_fd)) return {Fault::output_is_input, 0, 0};
    // A producer that writes big pieces keeps going while a large input pipe fills. On the
    // output side two chunks let the reader take one while the next is written (with room for
    // one, `ecbcat F | cat` ran about 10% slower); more would only count against the user's
    // allowance of pipe pages, shared by every pipe the user has open.
    widen_pipe(in_fd);
    widen_pipe(out_fd, 2 * chunk_size);
  }

  if (!buffers.ready()) return {Fault::memory, ENOMEM, 0};
  unsigned char* const in = buffers.in();
  unsigned char* const out = buffers.out();
  // The last whole ciphertext block: a short final block takes its missing bytes from it.
  // Zero until a block arrives, so an input under 16 bytes never reads stale memory.
  unsigned char prev[block_size] = {};
  std::size_t have = 0;  // bytes of an incomplete block kept at the front of `in`
  long long bytes_read = 0;

  for (;;) {
    if (between) between(context);
    ssize_t n = read_some(in_fd, in + have, chunk_size - have);
    if (n < 0) return {Fault::read, errno, 0, bytes_read};
    if (n == 0) break;
    bytes_read += n;
    std::size_t total = have + static_cast<std::size_t>(n);
    std::size_t whole = total - total % block_size;
    if (whole > 0) {
      if (unsigned long e = aes.decrypt(in, out, whole)) return {Fault::cipher, 0, e};
      if (int err = write_all(out_fd, out, whole)) return {Fault::write, err, 0};
      std::memcpy(prev, in + whole - block_size, block_size);
      // The incomplete block behind them (under 16 bytes, so never overlapping) moves to the
      // front. Without whole blocks it is already there.
      std::memcpy(in, in + whole, total - whole);
    }
    have = total - whole;
  }

  if (have > 0) {
    std::memcpy(prev, in, have);
    if (unsigned long e = aes.decrypt(prev, out, block_size)) return {Fault::cipher, 0, e};
    if (int err = write_all(out_fd, out, block_size)) return {Fault::write, err, 0};
  }
  return {Fault::none, 0, 0, bytes_read};
}

}  // namespace ecbcat
