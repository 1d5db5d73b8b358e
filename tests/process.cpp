#include "process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace ecbcat::test {
namespace {

struct Exec {
  std::string path;
  std::vector<std::string> argv;
};

// The program itself, or, cross-compiled, the emulator the tests run under (ECBCAT_EMULATOR,
// blank-separated words) with qemu-user's -0 carrying the program's own argv[0]. An empty
// argv cannot pass through the emulator; the program then sees only its path.
Exec command(const char* program, const std::vector<std::string>& args) {
  Exec e{program, {}};
  std::istringstream words(ECBCAT_EMULATOR);
  for (std::string w; words >> w;) e.argv.push_back(w);
  if (e.argv.empty()) return {program, args};
  e.path = e.argv[0];
  if (!args.empty()) e.argv.insert(e.argv.end(), {"-0", args[0]});
  e.argv.push_back(program);
  if (!args.empty()) e.argv.insert(e.argv.end(), args.begin() + 1, args.end());
  return e;
}

}  // namespace

std::vector<std::string> command_line(const char* program, const std::vector<std::string>& args) {
  Exec e = command(program, args);
  e.argv.insert(e.argv.begin(), e.path);
  return e.argv;
}

Result run(const char* program, const std::vector<std::string>& args, const Options& opt) {
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  Exec cmd = command(program, args);
  std::vector<char*> argv;
  for (auto& a : cmd.argv) argv.push_back(a.data());
  argv.push_back(nullptr);
  if (opt.out == Stdout::reader_gone) ::close(out[0]);
  if (opt.pipe_size) ::fcntl(out[0], F_SETPIPE_SZ, opt.pipe_size);
  int in[2] = {-1, -1};
  if (opt.socket_in) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in) != 0 ||
        ::write(in[1], opt.socket_in->data(), opt.socket_in->size()) !=
            static_cast<ssize_t>(opt.socket_in->size()))
      throw std::runtime_error("socket input failed");
    ::close(in[1]);
  }
  Result r;
  pid_t pid = ::fork();
  if (pid == 0) {
    std::signal(SIGPIPE, opt.ignore_sigpipe ? SIG_IGN : SIG_DFL);
    if (!opt.cwd.empty() && ::chdir(opt.cwd.c_str()) != 0) _exit(120);
    for (const auto& e : opt.env) ::putenv(const_cast<char*>(e.c_str()));
    if (opt.out == Stdout::dev_full) {
      ::dup2(::open("/dev/full", O_WRONLY), 1);
    } else if (opt.out == Stdout::file) {
      int fd = ::open(opt.out_file.c_str(), opt.out_flags);
      if (fd < 0 || ::lseek(fd, opt.out_offset, SEEK_SET) < 0) _exit(121);
      ::dup2(fd, 1);
      rlimit cap{1 << 20, 1 << 20};  // a program that feeds on its own output stops here
      ::setrlimit(RLIMIT_FSIZE, &cap);
    } else if (opt.out == Stdout::closed) {
      ::close(1);
    } else {
      ::dup2(out[1], 1);
    }
    ::dup2(err[1], 2);
    if (opt.socket_in) ::dup2(in[0], 0);
    // Nothing the test runner holds open leaks into the program. (glibc before 2.34 has no
    // wrapper for close_range; kernels before 5.9 not the call.)
    if (::syscall(__NR_close_range, 3, ~0U, 0) != 0) {
      for (int fd = 3; fd < 4096; ++fd) ::close(fd);
    }
    ::execvp(cmd.path.c_str(), argv.data());
    _exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  if (opt.socket_in) ::close(in[0]);
  pollfd fds[2] = {{opt.out == Stdout::reader_gone ? -1 : out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&r.out, &r.err};
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    ::poll(fds, 2, -1);
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[65536];
      ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<std::size_t>(n));
      } else {
        if (i == 0) r.pipe_after = ::fcntl(fds[i].fd, F_GETPIPE_SZ);
        ::close(fds[i].fd);
        fds[i].fd = -1;
      }
    }
  }
  int ws;
  ::waitpid(pid, &ws, 0);
  r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
  return r;
}

}  // namespace ecbcat::test
