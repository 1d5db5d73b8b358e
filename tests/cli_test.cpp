// The installed command end to end: arguments, messages, exit statuses and where its
// standard output goes.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "decrypt.hpp"
#include "process.hpp"
#include "support.hpp"

namespace ecbcat::test {
namespace {

namespace fs = std::filesystem;

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
    write_file(dir_ / "big", big);
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
    int pipe_size = 0;       // stdout pipe's size at the start; it must end up with two chunks
    bool socket_in = false;  // standard input is a socket carrying the example
  } cases[] = {
      {"/dev/stdin from a socket", {"ecbcat", "/dev/stdin"}, Stdout::pipe, plain_, "", 0, 0, true},
      {"/proc/self/fd/0 from a socket",
       {"ecbcat", "/proc/self/fd/0"},
       Stdout::pipe,
       plain_,
       "",
       0,
       0,
       true},
      {"decrypts", {"ecbcat", enc}, Stdout::pipe, plain_, "", 0},
      {"ignores later arguments",
       {"ecbcat", enc, "--help", "/nonexistent"},
       Stdout::pipe,
       plain_,
       "",
       0},
      {"gives a shell's 64 KiB pipe two chunks",
       {"ecbcat", enc},
       Stdout::pipe,
       plain_,
       "",
       0,
       64 << 10},
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
    Result r = run(ECBCAT_BINARY, c.args,
                   {.out = c.mode,
                    .pipe_size = c.pipe_size,
                    .socket_in = c.socket_in ? std::optional(text_of(enc_)) : std::nullopt});
    if (c.pipe_size) {
      EXPECT_EQ(r.pipe_after, static_cast<int>(2 * chunk_size)) << c.name;
    }
    EXPECT_EQ(r.out, c.out) << c.name;
    EXPECT_EQ(r.err, c.err) << c.name;
    EXPECT_EQ(r.status, c.status) << c.name;
  }
}

TEST_F(Cli, OutputThatWouldFeedBackIntoTheInputIsRefused) {
  const std::string refused = "failed writing output: input file is output file\n";
  const std::string enc = text_of(enc_);
  fs::create_hard_link(dir_ / "-", dir_ / "link");
  struct Case {
    const char *name, *input, *output;
    int flags;
    off_t offset;
    bool refuses;
    std::string after;  // the file's content after the run
  } cases[] = {
      {"appending", "-", "-", O_WRONLY | O_APPEND, 0, true, enc},
      {"positioned past 0", "-", "-", O_RDWR, 16, true, enc},
      {"through a second link", "-", "link", O_WRONLY | O_APPEND, 0, true, enc},
      {"in place from offset 0", "-x", "-x", O_RDWR, 0, false, plain_},
      {"empty, appending", "empty", "empty", O_WRONLY | O_APPEND, 0, false, ""},
  };
  for (const auto& c : cases) {
    Result r = run(ECBCAT_BINARY, {"ecbcat", c.input},
                   {.out = Stdout::file,
                    .cwd = dir_,
                    .out_file = dir_ / c.output,
                    .out_flags = c.flags,
                    .out_offset = c.offset});
    EXPECT_EQ(r.err, c.refuses ? refused : "") << c.name;
    EXPECT_EQ(r.status, c.refuses ? 255 : 0) << c.name;
    EXPECT_TRUE(text_of(dir_ / c.output) == c.after) << c.name;
  }
}

// Each configuration would stop the run if libcrypto read it; the program reads none.
TEST_F(Cli, OpenSslConfigurationIsNeverRead) {
  const std::string strict = "config_diagnostics = 1\nopenssl_conf = init\n[init]\n";
  struct Case {
    const char *name, *config;
  } cases[] = {
      {"unknown module", "no_such_module = nowhere\n[nowhere]\nx = 1\n"},
      {"FIPS properties only", "alg_section = algs\n[algs]\ndefault_properties = fips=yes\n"},
      {"only the null provider",
       "providers = provs\n[provs]\nnull = null_sect\n[null_sect]\nactivate = 1\n"},
  };
  for (const auto& c : cases) {
    const fs::path conf = dir_ / "openssl.cnf";
    std::ofstream(conf) << strict << c.config;
    Result r =
        run(ECBCAT_BINARY, {"ecbcat", enc_.string()}, {.env = {"OPENSSL_CONF=" + conf.string()}});
    EXPECT_EQ(r.out, plain_) << c.name;
    EXPECT_EQ(r.err, "") << c.name;
    EXPECT_EQ(r.status, 0) << c.name;
  }
}

TEST_F(Cli, NamesStartingWithDashAreFiles) {
  for (const char* name : {"-", "--help", "-x"}) {
    Result r = run(ECBCAT_BINARY, {"ecbcat", name}, {.cwd = dir_});
    EXPECT_EQ(r.out, plain_) << name;
    EXPECT_EQ(r.err, "") << name;
    EXPECT_EQ(r.status, 0) << name;
  }
}

TEST_F(Cli, ReaderGoingAwayEndsQuietlyLikeAnyFilter) {
  const std::string big = (dir_ / "big").string();
  Result quiet = run(ECBCAT_BINARY, {"ecbcat", big}, {.out = Stdout::reader_gone});
  EXPECT_EQ(quiet.status, 128 + SIGPIPE);
  EXPECT_EQ(quiet.err, "");

  Result ignored =
      run(ECBCAT_BINARY, {"ecbcat", big}, {.out = Stdout::reader_gone, .ignore_sigpipe = true});
  EXPECT_EQ(ignored.status, 255);
  EXPECT_EQ(ignored.err, "failed writing output: Broken pipe\n");
}

// A terminal named as FILE, by a process that has no controlling terminal (a daemon, a job
// started with setsid), must not become its controlling terminal.
TEST_F(Cli, TerminalDoesNotBecomeControlling) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master) | ::unlockpt(master), 0);
  const std::string terminal = ::ptsname(master);
  std::vector<std::string> words = command_line(ECBCAT_BINARY, {"ecbcat", terminal});
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setsid();
    ::execv(argv[0], argv.data() + 1);
    _exit(127);
  }
  // tty_nr, the 7th field of /proc/PID/stat, once the program has the terminal open.
  std::string tty = "unknown";
  for (int tries = 0; tries < 500 && tty == "unknown"; ++tries, ::usleep(10000)) {
    std::error_code ec;
    for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
      if (fs::read_symlink(fd.path(), ec) != terminal) continue;
      std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
      std::string line((std::istreambuf_iterator<char>(stat)), {});
      std::istringstream fields(line.substr(line.rfind(')') + 2));
      std::string state, ppid, pgrp, session;
      fields >> state >> ppid >> pgrp >> session >> tty;
    }
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  ::close(master);
  EXPECT_EQ(tty, "0");
}

TEST_F(Cli, LargeInputMatchesReference) {
  Bytes in = read_file(dir_ / "big");
  in.resize(in.size() - 7);
  write_file(dir_ / "odd", in);
  Result r = run(ECBCAT_BINARY, {"ecbcat", (dir_ / "odd").string()});
  EXPECT_EQ(r.status, 0);
  // Spelled out here rather than taken from the program, so a wrong built-in key fails.
  const Bytes key = from_hex("5e0b9a31c874e2061fd94ba76328f08d");
  Bytes expected = reference_decrypt(std::span<const unsigned char, 16>(key.data(), 16), in);
  EXPECT_TRUE(r.out == std::string(expected.begin(), expected.end()));
}

}  // namespace
}  // namespace ecbcat::test
