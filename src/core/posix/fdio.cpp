#include "fdio.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace ecbcat {
namespace {

bool would_block(int err) {
  return err == EAGAIN || err == EWOULDBLOCK;
}

// Sleeps until fd is ready for `events`: a descriptor that the caller left non-blocking then
// behaves as a blocking one, without spinning. Returns 0, or the errno to report. An error or
// hang-up on fd also returns 0, so that the next read or write reports the real cause.
int wait_for(int fd, short events) {
  pollfd p{fd, events, 0};
  for (;;) {
    if (::poll(&p, 1, -1) < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    return (p.revents & POLLNVAL) ? EBADF : 0;
  }
}

// Moves a descriptor that took the place of a closed standard stream (0, 1 or 2) above them,
// so that a closed standard output stays closed (writes to it fail) rather than landing in a
// file we opened, and a message to a closed standard error never goes into one.
int above_std(int fd) {
  if (fd < 0 || fd > STDERR_FILENO) return fd;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  const int err = errno;
  ::close(fd);
  errno = err;
  return moved;
}

}  // namespace

int open_input(int argc, char** argv) {
  if (argc < 2) return no_input;
  // O_NOCTTY: a terminal named as FILE never becomes the controlling terminal of a process
  // that has none (a daemon, a job started with setsid).
  const int fd = ::open(argv[1], O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd >= 0 || errno != ENXIO) return above_std(fd);
  // Standard input named through /dev or /proc cannot be opened again where it is a socket
  // (inetd, systemd's socket activation): the descriptor itself is read instead.
  for (const char* self : {"/dev/stdin", "/dev/fd/0", "/proc/self/fd/0"}) {
    if (std::strcmp(argv[1], self) == 0)
      return ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  }
  errno = ENXIO;
  return -1;
}

void binary_stdio() {}  // POSIX has no text mode

ssize_t read_some(int fd, unsigned char* buf, std::size_t len) {
  for (;;) {
    ssize_t n = ::read(fd, buf, len);
    if (n >= 0) return n;
    if (would_block(errno)) {
      if (int err = wait_for(fd, POLLIN)) return errno = err, -1;
    } else if (errno != EINTR) {
      return -1;
    }
  }
}

int write_all(int fd, const unsigned char* buf, std::size_t len) {
  while (len > 0) {
    ssize_t n = ::write(fd, buf, len);
    if (n < 0) {
      if (would_block(errno)) {
        if (int err = wait_for(fd, POLLOUT)) return err;
      } else if (errno != EINTR) {
        return errno;
      }
      continue;
    }
    // write(2) never returns 0 for len > 0 on a regular file, pipe or tty; treat it as
    // "no progress" rather than spinning forever.
    if (n == 0) return EIO;
    buf += n;
    len -= static_cast<std::size_t>(n);
  }
  return 0;
}

bool output_is_input(int in_fd, int out_fd) {
  struct stat in, out;
  if (::fstat(in_fd, &in) != 0 || ::fstat(out_fd, &out) != 0) return false;
  if (!S_ISREG(in.st_mode) || in.st_dev != out.st_dev || in.st_ino != out.st_ino) return false;
  if (in.st_size == 0) return false;
  int flags = ::fcntl(out_fd, F_GETFL);
  return (flags >= 0 && (flags & O_APPEND)) || ::lseek(out_fd, 0, SEEK_CUR) > 0;
}

void widen_pipe(int fd, int room) {
#ifdef F_SETPIPE_SZ
  int size = ::fcntl(fd, F_GETPIPE_SZ);  // fails on anything but a pipe or FIFO
  if (size < 0 || size >= room) return;
  if (::fcntl(fd, F_SETPIPE_SZ, room) >= 0) return;
  // Without privilege a pipe may not grow past /proc/sys/fs/pipe-max-size: take that much.
  int max = above_std(::open("/proc/sys/fs/pipe-max-size", O_RDONLY | O_CLOEXEC));
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
