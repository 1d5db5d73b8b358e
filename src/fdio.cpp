#include "fdio.hpp"

#include <unistd.h>

#include <cerrno>

namespace ecbcat {

ssize_t read_some(int fd, unsigned char* buf, std::size_t len) {
  for (;;) {
    ssize_t n = ::read(fd, buf, len);
    if (n >= 0 || errno != EINTR) return n;
  }
}

int write_all(int fd, const unsigned char* buf, std::size_t len) {
  while (len > 0) {
    ssize_t n = ::write(fd, buf, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    // write(2) never returns 0 for len > 0 on a regular file, pipe or tty; treat it as
    // "no progress" rather than spinning forever.
    if (n == 0) return EIO;
    buf += n;
    len -= static_cast<std::size_t>(n);
  }
  return 0;
}

}  // namespace ecbcat
