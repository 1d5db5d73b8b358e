// The installed command end to end: arguments, messages, exit statuses and where its
// standard output goes.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support.hpp"

namespace ecbcat::test {
namespace {

namespace fs = std::filesystem;

enum class Stdout { pipe, dev_full, closed, reader_gone };

struct Result {
  int status = -1;  // exit status, or 128 + signal
  std::string out, err;
};

// Starts the program as a shell would (SIGPIPE at its default unless asked otherwise),
// with argv exactly as given, and collects both output streams.
Result run(const std::vector<std::string>& args, Stdout mode = Stdout::pipe,
           const fs::path& cwd = {}, bool ignore_sigpipe = false) {
  int out[2], err[2];
  if (::pipe(out) != 0 || ::pipe(err) != 0) throw std::runtime_error("pipe failed");
  if (mode == Stdout::reader_gone) ::close(out[0]);
  pid_t pid = ::fork();
  if (pid == 0) {
    std::signal(SIGPIPE, ignore_sigpipe ? SIG_IGN : SIG_DFL);
    if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) _exit(120);
    if (mode == Stdout::dev_full) {
      int full = ::open("/dev/full", O_WRONLY);
      ::dup2(full, 1);
    } else if (mode == Stdout::closed) {
      ::close(1);
    } else {
      ::dup2(out[1], 1);
    }
    ::dup2(err[1], 2);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(ECBCAT_BINARY, argv.data());
    _exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  Result r;
  pollfd fds[2] = {{mode == Stdout::reader_gone ? -1 : out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
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

std::string text_of(const fs::path& p) {
  Bytes b = read_file(p);
  return std::string(b.begin(), b.end());
}

class Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("ecbcat-cli-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    for (const char* name : {"-", "--help", "-x"}) fs::copy_file(enc_, dir_ / name);
    std::ofstream(dir_ / "empty").close();
    Bytes big = random_bytes(4 << 20, 9);
    std::ofstream(dir_ / "big", std::ios::binary)
        .write(reinterpret_cast<const char*>(big.data()), big.size());
  }
  void TearDown() override { fs::remove_all(dir_); }

  const fs::path enc_ = ECBCAT_EXAMPLES "/hello.enc";
  const std::string plain_ = text_of(ECBCAT_EXAMPLES "/hello.txt");
  fs::path dir_;
};

TEST_F(Cli, MessagesAndStatuses) {
  const std::string enc = enc_.string(), usage = "usage: ecbcat FILE\n";
  struct Case {
    const char* name;
    std::vector<std::string> args;
    Stdout mode;
    std::string out, err;
    int status;
  } cases[] = {
      {"decrypts", {"ecbcat", enc}, Stdout::pipe, plain_, "", 0},
      {"ignores later arguments",
       {"ecbcat", enc, "--help", "/nonexistent"},
       Stdout::pipe,
       plain_,
       "",
       0},
      {"empty file", {"ecbcat", (dir_ / "empty").string()}, Stdout::pipe, "", "", 0},
      {"missing file",
       {"ecbcat", "/nonexistent/x"},
       Stdout::pipe,
       "",
       "failed opening file: No such file or directory\n",
       255},
      {"empty path",
       {"ecbcat", ""},
       Stdout::pipe,
       "",
       "failed opening file: No such file or directory\n",
       255},
      {"no argument", {"ecbcat"}, Stdout::pipe, "", usage, 255},
      {"empty argument vector", {}, Stdout::pipe, "", usage, 255},
      {"directory",
       {"ecbcat", "/"},
       Stdout::pipe,
       "",
       "failed reading file: Is a directory\n",
       255},
      {"full disk",
       {"ecbcat", enc},
       Stdout::dev_full,
       "",
       "failed writing output: No space left on device\n",
       255},
      {"closed stdout",
       {"ecbcat", enc},
       Stdout::closed,
       "",
       "failed writing output: Bad file descriptor\n",
       255},
  };
  for (const auto& c : cases) {
    Result r = run(c.args, c.mode);
    EXPECT_EQ(r.out, c.out) << c.name;
    EXPECT_EQ(r.err, c.err) << c.name;
    EXPECT_EQ(r.status, c.status) << c.name;
  }
}

TEST_F(Cli, NamesStartingWithDashAreFiles) {
  for (const char* name : {"-", "--help", "-x"}) {
    Result r = run({"ecbcat", name}, Stdout::pipe, dir_);
    EXPECT_EQ(r.out, plain_) << name;
    EXPECT_EQ(r.err, "") << name;
    EXPECT_EQ(r.status, 0) << name;
  }
}

TEST_F(Cli, ReaderGoingAwayEndsQuietlyLikeAnyFilter) {
  const std::string big = (dir_ / "big").string();
  Result quiet = run({"ecbcat", big}, Stdout::reader_gone);
  EXPECT_EQ(quiet.status, 128 + SIGPIPE);
  EXPECT_EQ(quiet.err, "");

  Result ignored = run({"ecbcat", big}, Stdout::reader_gone, {}, /*ignore_sigpipe=*/true);
  EXPECT_EQ(ignored.status, 255);
  EXPECT_EQ(ignored.err, "failed writing output: Broken pipe\n");
}

TEST_F(Cli, LargeInputMatchesReference) {
  Bytes in = read_file(dir_ / "big");
  in.resize(in.size() - 7);
  std::ofstream(dir_ / "odd", std::ios::binary)
      .write(reinterpret_cast<const char*>(in.data()), in.size());
  Result r = run({"ecbcat", (dir_ / "odd").string()});
  EXPECT_EQ(r.status, 0);
  // Spelled out here rather than taken from the program, so a wrong built-in key fails.
  const Bytes key = from_hex("5e0b9a31c874e2061fd94ba76328f08d");
  Bytes expected = reference_decrypt(std::span<const unsigned char, 16>(key.data(), 16), in);
  EXPECT_TRUE(r.out == std::string(expected.begin(), expected.end()));
}

}  // namespace
}  // namespace ecbcat::test
