#pragma once

#include <optional>
#include <string>
#include <vector>

namespace ecbcat {

// The command line. Options may come anywhere before "--".
struct Options {
  unsigned jobs = 0;  // 0: one for each CPU
  bool dry_run = false, quiet = false, verbose = false, sync = false;
  bool remove = false;    // --rm: each input removed once its output is named and on the disk
  bool watch = false;     // --watch: stay, and decrypt each file that arrives once complete
  long long min_age = 0;  // --min-age: seconds since an input last changed before it is taken
  int progress = -1;      // -1: when standard error is a terminal
  const char* output_dir = nullptr;
  const char* files0_from =
      nullptr;  // --files0-from: more PATHs, read as the walk goes; "-": stdin
  std::vector<std::string> paths;
  // -S sets input_suffix (job.hpp), which the walk's primitives read too.
};

// Reads the command line into `o`, and -S into input_suffix. Nothing to go on; or the status to
// exit with, once --help or
// --version is written or a wrong command line said so on standard error.
std::optional<int> parse(int argc, char** argv, Options& o);

}  // namespace ecbcat
