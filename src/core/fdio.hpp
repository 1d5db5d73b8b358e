#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <utility>

namespace ecbcat {

// Owns a descriptor: closes it when it goes (a negative one is none).
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      if (fd_ >= 0) ::close(fd_);
      fd_ = other.fd_;
      other.fd_ = -1;
    }
    return *this;
  }
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// The room widen_pipe gives a pipe by default: enough that the two ends of a pipeline wake
// each other once per megabyte rather than once per 64 KiB, the size a shell's pipe starts with.
inline constexpr int pipe_room = 1 << 20;

// What open_input returns when the command line names no file.
inline constexpr int no_input = -2;

// Opens the file that the command line names first, for reading raw bytes; /dev/stdin is
// standard input. Returns the descriptor, no_input, or -1 with errno set. Where the system
// hands the program its command line as one string (Windows), the count and the name come
// from one parse of that string, and argc and argv are not used.
int open_input(int argc, char** argv);

// Puts standard input and output in binary mode where the C library has a text mode, so that
// every byte passes unchanged. Called before open_input.
void binary_stdio();

// One read(2), retried while it is interrupted or would block (then after waiting for
// input): bytes read, 0 at end of input, -1 with errno set on a real error.
ssize_t read_some(int fd, unsigned char* buf, std::size_t len);

// Writes all of buf, finishing short writes, retrying on EINTR and waiting for room when
// the descriptor is non-blocking. Returns 0, or the errno of the write that failed.
int write_all(int fd, const unsigned char* buf, std::size_t len);

// True when out_fd is the non-empty regular file that in_fd reads and writing to it would
// land past the reading (append mode, or a position past offset 0): the output would be read
// back as input without end. Writing from offset 0 stays behind the reading, so it is allowed.
bool output_is_input(int in_fd, int out_fd);

// Gives a pipe or FIFO at least `room` bytes of buffer, or as much as the system lets this
// process have. Leaves larger pipes and every other kind of descriptor alone; a refusal
// changes nothing, so there is nothing to report.
void widen_pipe(int fd, int room = pipe_room);

}  // namespace ecbcat
