#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace ecbcat::test {

enum class Stdout { pipe, dev_full, closed, reader_gone, file };

struct Options {
  Stdout out = Stdout::pipe;
  std::filesystem::path cwd = {};
  bool ignore_sigpipe = false;
  std::vector<std::string> env = {};  // NAME=value, added to the environment
  int pipe_size = 0;                  // if set, the stdout pipe is sized so before the start
  // Stdout::file: standard output is out_file opened with out_flags, positioned at out_offset.
  std::filesystem::path out_file = {};
  int out_flags = 0;
  off_t out_offset = 0;
  // If set, standard input is a socket that carries these bytes (as under inetd).
  std::optional<std::string> socket_in = {};
};

struct Result {
  int status = -1;  // exit status, or 128 + signal
  std::string out, err;
  int pipe_after = 0;  // the stdout pipe's size after the run
};

// Starts `program` as a shell would (SIGPIPE at its default unless asked otherwise), with
// argv exactly as given, and collects both output streams.
// The words that start `program` with `args` as run() does: the file to execute, then argv.
std::vector<std::string> command_line(const char* program, const std::vector<std::string>& args);

Result run(const char* program, const std::vector<std::string>& args, const Options& opt = {});

}  // namespace ecbcat::test
