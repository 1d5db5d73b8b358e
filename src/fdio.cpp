#include "fdio.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

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

void widen_pipe(int fd, int room) {
#ifdef F_SETPIPE_SZ
  int size = ::fcntl(fd, F_GETPIPE_SZ);  // fails on anything but a pipe or FIFO
  if (size < 0 || size >= room) return;
  if (::fcntl(fd, F_SETPIPE_SZ, room) >= 0) return;
  // Without privilege a pipe may not grow past /proc/sys/fs/pipe-max-size: take that much.
  int max = ::open("/proc/sys/fs/pipe-max-size", O_RDONLY | O_CLOEXEC);
  if (max < 0) return;
  char text[16] = {};
  ssize_t n = ::read(max, text, sizeof text - 1);
  ::close(max);
  long limit = n > 0 ? std::strtol(text, nullptr, 10) : 0;
  if (limit > size && limit < room) ::fcntl(fd, F_SETPIPE_SZ, static_cast<int>(limit));
#else
  (void)fd, (void)room;  // no way to size a pipe here: it keeps the system's size
#endif
}

}  // namespace ecbcat
