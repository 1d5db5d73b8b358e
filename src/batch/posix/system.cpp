#include "system.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <thread>

#include "platform.hpp"

namespace ecbcat {
namespace {

sigset_t routed;

}  // namespace

void protect_std_descriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0) continue;
    // The lowest free descriptor is this one. /dev/null opened the other way round from the
    // stream's use fails every read or write with EBADF; where there is no /dev/null, an O_PATH
    // descriptor of the root does the same.
    if (::open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY) != fd) {
      ::open("/", O_PATH);
    }
  }
}

int open_list(const std::string& file) {
  return file == "-" ? STDIN_FILENO : ::open(file.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
}

std::vector<std::string> arguments(int argc, char** argv) {
  return {argv, argv + argc};
}

bool stderr_is_terminal() {
  return ::isatty(STDERR_FILENO) == 1;
}

unsigned usable_cpus() {
  cpu_set_t set;
  if (::sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
  return std::max(1u, std::thread::hardware_concurrency());
}

void raise_descriptor_limit() {
  struct rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

bool route_signals() {
  std::signal(SIGXFSZ, SIG_IGN);
  std::signal(SIGPIPE, SIG_IGN);
  sigemptyset(&routed);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction was;
    // A signal ignored from the start is left so: blocked, it would be queued for sigwait.
    if (::sigaction(sig, nullptr, &was) == 0 && was.sa_handler == SIG_IGN) continue;
    sigaddset(&routed, sig);
  }
  // A broken lease's signal would end the process, and so would SIGIO, which the kernel sends
  // in its place when the queue of signals is full: both are taken with the others, always, so
  // a thread must wait for them even where the three are ignored.
  sigaddset(&routed, lease_signal());
  sigaddset(&routed, SIGIO);
  ::pthread_sigmask(SIG_BLOCK, &routed, nullptr);
  return true;
}

namespace {

// A signal from the routed set, waiting at most `timeout` (none: forever), or 0. A broken lease
// is dealt with here: the lease is let go at once, so the writer that broke it need not wait
// for the kernel's lease-break-time, and the reader, which checks its lease after the read,
// drops what it made of the file.
int next_signal(const timespec* timeout) {
  for (;;) {
    siginfo_t info;
    const int sig =
        timeout ? ::sigtimedwait(&routed, &info, timeout) : ::sigwaitinfo(&routed, &info);
    if (sig < 0 && errno == EINTR) continue;
    if (sig < 0) return 0;
    // SIGIO tells of no descriptor: the reader sees the broken lease after the read.
    if (sig == SIGIO) continue;
    if (sig != lease_signal()) return sig;
    ::fcntl(info.si_fd, F_SETLEASE, F_UNLCK);
  }
}

}  // namespace

int wait_for_signal() {
  return next_signal(nullptr);
}

int take_signal() {
  const timespec now{0, 0};
  return next_signal(&now);
}

int write_unless_signal(int fd, const unsigned char* data, std::size_t len, int& sig) {
  // Readable while one of the signals is pending; they stay for take_signal to take.
  static const int pending = ::signalfd(-1, &routed, SFD_CLOEXEC | SFD_NONBLOCK);
  // What `fd` writes to, opened again without blocking where it can be (a terminal, a pipe), so
  // that a write never waits while `fd`'s own flags, which other processes share, stay as they
  // are. Elsewhere `fd` itself, in pieces that it takes once poll says it takes any: a file
  // never keeps a write waiting, nor a socket with room. The caller writes from one thread.
  static int own[3] = {-2, -2, -2};
  int w = fd;
  if (fd >= 0 && fd <= STDERR_FILENO) {
    struct stat st;
    if (own[fd] == -2) {
      char proc[32];
      std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
      own[fd] = ::fstat(fd, &st) == 0 && !S_ISREG(st.st_mode)
                    ? ::open(proc, O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)
                    : -1;
    }
    if (own[fd] >= 0) w = own[fd];
  }
  for (bool wait = w == fd; len > 0;) {
    if ((sig = take_signal()) != 0) return 0;
    if (wait) {
      pollfd p[2] = {{w, POLLOUT, 0}, {pending, POLLIN, 0}};
      if (::poll(p, pending >= 0 ? 2 : 1, -1) < 0 && errno != EINTR) return errno;
      if (!p[0].revents) continue;  // a signal, or an interruption
    }
    const ssize_t n = ::write(w, data, w == fd ? std::min(len, std::size_t{512}) : len);
    if (n < 0 && errno != EINTR && errno != EAGAIN) return errno;
    wait = w == fd || n < 0;
    if (n > 0) data += n, len -= static_cast<std::size_t>(n);
  }
  return 0;
}

void write_briefly(const std::string& text) {
  pollfd p{STDERR_FILENO, POLLOUT, 0};
  if (::poll(&p, 1, 200) == 1 && (p.revents & POLLOUT)) {
    [[maybe_unused]] ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
  }
}

}  // namespace ecbcat
