#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>

namespace ecbcat {

class EcbDecryptor;

inline constexpr std::size_t block_size = 16;

// Bytes asked of each read(2) and decrypted per libcrypto call; a multiple of the block size.
// Measured flat from 64 to 512 KiB, slower at 1 MiB, where both buffers outgrow the L2 cache.
inline constexpr std::size_t chunk_size = 128 * 1024;

enum class Fault { none, setup, cipher, read, write, output_is_input, memory };

// How both programs name a fault in a message: `what`, then ": " and libcrypto's text of the
// error (`crypto`), the system's text of the errno, or `detail` where there is one.
struct FaultWords {
  const char* what;
  const char* detail = nullptr;
  bool crypto = false;
};
FaultWords words_of(Fault fault);

// How a run ended. `error` is the errno of a failed read or write; `crypto_error` the
// libcrypto error code of a failed setup or decryption; `bytes_read` what the input gave.
struct Outcome {
  Fault fault = Fault::none;
  int error = 0;
  unsigned long crypto_error = 0;
  long long bytes_read = 0;
};

// The two buffers a stream passes through, on the heap (so that a thread with a small stack
// can decrypt), made on first use. A thread that decrypts many files keeps one, so that no
// file pays for a map, an unmap and page faults: an owner of its own, rather than a
// thread_local, whose destructor MinGW's threads run after its storage is gone. The memory
// comes from the C library's malloc, aligned here to a cache line: C++'s aligned new would make
// ecbcat load libstdc++ for it, and the C library's aligned allocators differ by system.
class StreamBuffers {
 public:
  // Makes the buffers if need be; false when there is no memory for them.
  bool ready() {
    if (!memory_) {
      memory_.reset(static_cast<unsigned char*>(std::malloc(2 * chunk_size + cache_line)));
      const auto at = reinterpret_cast<std::uintptr_t>(memory_.get());
      in_ = memory_.get() + (cache_line - at % cache_line) % cache_line;
    }
    return memory_ != nullptr;
  }
  unsigned char* in() const { return in_; }
  unsigned char* out() const { return in_ + chunk_size; }

 private:
  static constexpr std::size_t cache_line = 64;
  struct Free {
    void operator()(unsigned char* p) const { std::free(p); }
  };
  std::unique_ptr<unsigned char, Free> memory_;
  unsigned char* in_ = nullptr;
};

// Decrypts everything readable from in_fd with AES-128-ECB under `key` and writes the
// plaintext to out_fd, in one pass with fixed buffers (Fault::memory when they cannot be had).
// Every complete block that a read delivers is written before the next read. A trailing partial
// block of r bytes is completed with bytes r..15 of the ciphertext block before it (zero bytes when
// there is none), decrypted and written whole, so the output is 16 * ceil(L / 16) bytes. Stops at
// the first failure; blocks written before it stay written. Refuses, before reading or
// writing anything, an output that would feed back into the input (output_is_input).
Outcome decrypt_stream(std::span<const unsigned char, 16> key, int in_fd, int out_fd);

// Called between chunks with its context, for a caller that must take signals with no thread
// to wait for them: it may end the process, and otherwise returns.
using BetweenChunks = void (*)(void* context);

// The same with a decryptor already set up and buffers kept, so that one that decrypts many
// files expands the key and makes the buffers once rather than once a file. `new_file`: the
// input is a regular file and the output a new one that this process made, so there is no
// pipe to widen and the output cannot be the input: those checks are not paid for.
Outcome decrypt_stream(EcbDecryptor& aes, int in_fd, int out_fd, StreamBuffers& buffers,
                       bool new_file = false, BetweenChunks between = nullptr,
                       void* context = nullptr);

}  // namespace ecbcat
