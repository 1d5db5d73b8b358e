#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace ecbcat::test {

enum class Stdout { pipe, dev_full, closed, reader_gone };

struct Options {
  Stdout out = Stdout::pipe;
  std::filesystem::path cwd = {};
  bool ignore_sigpipe = false;
  std::vector<std::string> env = {};  // NAME=value, added to the environment
};

struct Result {
  int status = -1;  // exit status, or 128 + signal
  std::string out, err;
};

// Starts `program` as a shell would (SIGPIPE at its default unless asked otherwise), with
// argv exactly as given, and collects both output streams.
Result run(const char* program, const std::vector<std::string>& args, const Options& opt = {});

}  // namespace ecbcat::test
