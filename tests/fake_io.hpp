#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "decrypt.hpp"
#include "support.hpp"

namespace ecbcat::test {

// A FaultScript::fd that stands for every regular file the program reads, whatever its number.
inline constexpr int any_regular_file = -2;

// A piece size that makes the call fail with EAGAIN, as a non-blocking descriptor would.
inline constexpr std::size_t would_block = SIZE_MAX;

// A script for one descriptor, played by the link-time stand-ins for read(2) and write(2)
// (ld --wrap) in binaries that link fake_io.cpp. Every other descriptor works normally.
struct FaultScript {
  int fd = -1;
  // Once this many bytes have passed, every further call fails with fail_errno.
  std::size_t fail_at = SIZE_MAX;
  int fail_errno = EIO;
  // Per call, cycled: at most this many bytes, 0 to fail that call with EINTR, or
  // would_block to fail it with EAGAIN. Empty: no limit.
  std::vector<std::size_t> pieces;

  std::size_t passed = 0, calls = 0;
};

inline FaultScript failing_at(std::size_t bytes, int error = EIO,
                              std::vector<std::size_t> pieces = {}) {
  FaultScript s;
  s.fail_at = bytes;
  s.fail_errno = error;
  s.pieces = std::move(pieces);
  return s;
}

inline FaultScript in_pieces(std::vector<std::size_t> pieces) {
  return failing_at(SIZE_MAX, EIO, std::move(pieces));
}

extern FaultScript read_script, write_script;

struct Scripted {
  Outcome outcome;
  Bytes out;
};

// Decrypts `in` from a memory file into a memory file, the reads and writes following the
// two scripts, and returns how the unit ended and what it wrote.
Scripted decrypt_scripted(std::span<const unsigned char, 16> key, std::span<const unsigned char> in,
                          FaultScript rd = {}, FaultScript wr = {});

}  // namespace ecbcat::test
