#pragma once

#include <set>
#include <string>

#include "options.hpp"
#include "result.hpp"

namespace ecbcat {

// Exit statuses, the first that holds: some failed, or an output is not the decryption of its
// input as it is now; some were left alone, for a file of other origin has their output's name;
// some are for a later run (still being written, changed while read, or too young); otherwise
// every file is decrypted, now or before. And: the command line was wrong.
inline constexpr int all_done = 0, some_failed = 1, some_left_alone = 2, run_again_later = 3,
                     usage_error = 64;

// A name as it can be shown on a terminal: backslashes, control characters (C0, DEL and C1,
// which a terminal may take for a command) and bytes that are not UTF-8 escaped as \ooo.
std::string shown(const std::string& name);

// What a run reports about a file that was not decrypted, after its name; empty for one that was.
std::string wording(const std::string& path, const FileResult& r);

// What one file gives to say: a line for standard error, one for standard output (-v, -n).
struct Lines {
  std::string err, out;
};

// What became of the files so far, counted and worded: the one place that does both. The caller
// keeps it from being used by two threads at once.
class Report {
 public:
  explicit Report(const Options& o) : o_(o) {}
  // Counts what became of a file, or of a PATH or folder the walk could not take, and words what
  // there is to say of it.
  Lines count(const std::string& path, FileResult r);
  // A file that failed where nothing could be worded (out of memory).
  void count_failure() { ++failed_; }
  long done() const { return decrypted_ + done_before_ + failed_ + left_alone_ + later_; }
  long long bytes_done() const { return bytes_done_; }
  // The run's last line, or none, once every file is counted; `found`: the files the walk found.
  std::string summary(long found) const;
  // The last line of a run that a signal ends, with `under_way` files dropped unfinished.
  std::string interrupted(long under_way) const;
  // The exit status; `out_failed`: standard output could not be written.
  int status(bool out_failed) const;

 private:
  const Options& o_;
  long decrypted_ = 0, done_before_ = 0, failed_ = 0, left_alone_ = 0, later_ = 0;
  long long bytes_done_ = 0;       // of the files decrypted
  std::set<std::string> planned_;  // the outputs a dry run would have made
};

}  // namespace ecbcat
