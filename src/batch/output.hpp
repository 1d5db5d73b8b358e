#pragma once

#include <string>

namespace ecbcat {

// A new file in a folder that nobody sees under its final name until publish() gives it that
// name, which it never takes from another file. Where the file system has them it is an
// unnamed O_TMPFILE; elsewhere it has a hidden name (.NAME.ecbcat-XXXXXX) until then, removed
// when the output is dropped and by remove_hidden_outputs() on a signal.
class PendingOutput {
 public:
  PendingOutput() = default;
  PendingOutput(const PendingOutput&) = delete;
  PendingOutput& operator=(const PendingOutput&) = delete;
  ~PendingOutput();  // drops the file unless it was published

  // Creates the file in the folder dirfd, to be called `name`. Returns 0 or the errno.
  int create(int dirfd, const std::string& name);
  int fd() const { return fd_; }

  // Gives the file its name: 0, EEXIST when something has that name (it stays as it is, and
  // this file is dropped), or another errno.
  int publish();

 private:
  int dirfd_ = -1, fd_ = -1;
  std::string name_, hidden_;  // hidden_ is empty for an O_TMPFILE
};

// Removes the hidden files of every output not yet published or dropped: the clean-up on a
// signal, after which the process must end.
void remove_hidden_outputs();

}  // namespace ecbcat
