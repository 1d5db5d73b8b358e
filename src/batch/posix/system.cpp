#include "system.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
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

int wait_writable(int fd) {
  // Readable while one of the signals is pending; they stay for take_signal to take.
  static const int pending = ::signalfd(-1, &routed, SFD_CLOEXEC | SFD_NONBLOCK);
  for (;;) {
    if (const int sig = take_signal()) return sig;
    pollfd p[2] = {{fd, POLLOUT, 0}, {pending, POLLIN, 0}};
    if (::poll(p, pending >= 0 ? 2 : 1, -1) < 0 && errno != EINTR) return 0;
    if (p[0].revents) return 0;
  }
}

void write_briefly(const std::string& text) {
  pollfd p{STDERR_FILENO, POLLOUT, 0};
  if (::poll(&p, 1, 200) == 1 && (p.revents & POLLOUT)) {
    [[maybe_unused]] ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
  }
}

}  // namespace ecbcat
