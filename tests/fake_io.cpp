#include "fake_io.hpp"

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>

extern "C" ssize_t __real_read(int fd, void* buf, size_t len);
extern "C" ssize_t __real_write(int fd, const void* buf, size_t len);

namespace ecbcat::test {

// Constructed before any constructor function runs, so that fault_env.cpp's arming from the
// environment is not undone by their initialisation (the order across files is otherwise open).
[[gnu::init_priority(101)]] FaultScript read_script;
[[gnu::init_priority(101)]] FaultScript write_script;

namespace {

// Shrinks or refuses one call as the script says; returns false (errno set) to refuse.
bool allow(FaultScript& s, size_t& len) {
  if (!s.pieces.empty()) {
    std::size_t piece = s.pieces[s.calls++ % s.pieces.size()];
    if (piece == 0 || piece == would_block) {
      errno = piece == 0 ? EINTR : EAGAIN;
      return false;
    }
    len = std::min(len, piece);
  }
  if (s.passed >= s.fail_at) {
    errno = s.fail_errno;
    return false;
  }
  len = std::min(len, s.fail_at - s.passed);
  return true;
}

}  // namespace

Scripted decrypt_scripted(std::span<const unsigned char, 16> key, std::span<const unsigned char> in,
                          FaultScript rd, FaultScript wr) {
  int in_fd = memfd_with(in), out_fd = memfd_with({});
  read_script = std::move(rd);
  read_script.fd = in_fd;
  write_script = std::move(wr);
  write_script.fd = out_fd;
  Outcome o = decrypt_stream(key, in_fd, out_fd);
  read_script = write_script = {};
  Scripted r{o, contents_of(out_fd)};
  ::close(in_fd);
  ::close(out_fd);
  return r;
}

}  // namespace ecbcat::test

using ecbcat::test::read_script;
using ecbcat::test::write_script;

namespace {

bool scripted(int fd, int script_fd) {
  if (fd == script_fd) return true;
  struct stat st;
  return script_fd == ecbcat::test::any_regular_file && fd > 2 && ::fstat(fd, &st) == 0 &&
         S_ISREG(st.st_mode);
}

}  // namespace

extern "C" ssize_t __wrap_read(int fd, void* buf, size_t len) {
  if (!scripted(fd, read_script.fd) || len == 0) return __real_read(fd, buf, len);
  if (!ecbcat::test::allow(read_script, len)) return -1;
  ssize_t n = __real_read(fd, buf, len);
  if (n > 0) read_script.passed += static_cast<std::size_t>(n);
  return n;
}

// With _FORTIFY_SOURCE, a read into a buffer of known size may become __read_chk (g++ 10 with
// glibc 2.31 does so where read_some is inlined): the same stand-in.
extern "C" ssize_t __wrap___read_chk(int fd, void* buf, size_t len, size_t) {
  return __wrap_read(fd, buf, len);
}

extern "C" ssize_t __wrap_write(int fd, const void* buf, size_t len) {
  if (fd != write_script.fd || len == 0) return __real_write(fd, buf, len);
  if (!ecbcat::test::allow(write_script, len)) return -1;
  ssize_t n = __real_write(fd, buf, len);
  if (n > 0) write_script.passed += static_cast<std::size_t>(n);
  return n;
}
