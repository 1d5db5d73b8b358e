#pragma once

#include <sys/stat.h>

#include <memory>
#include <mutex>
#include <string>

#include "job.hpp"

namespace ecbcat {

// A new file in a folder that nobody sees under its final name until publish() gives it that
// name, which it never takes from another file. Where the file system has them it is an
// unnamed O_TMPFILE; elsewhere it has a hidden name (.NAME.ecbcat-XXXXXX, NAME shortened to fit)
// until then, removed when the output is dropped and by remove_hidden_outputs() on a signal.
// Until finish() it can be read by its owner only.
class PendingOutput {
 public:
  PendingOutput() = default;
  PendingOutput(const PendingOutput&) = delete;
  PendingOutput& operator=(const PendingOutput&) = delete;
  ~PendingOutput();  // drops the file unless it was published

  // Creates the file in the folder dirfd, to be called `name`. Returns 0 or the errno.
  int create(int dirfd, const std::string& name);
  int fd() const { return fd_; }

  // Once the plaintext is written: gives the file the owner and group (where we may set them),
  // the permission bits (never the set-id ones), the access ACL and the times of the file it
  // was read from (`input_fd`, `input`); with `sync`, waits until its data is on the disk; then
  // closes it, checking the close, for some file systems report a failed write only there.
  // Result::ready, or the failed step.
  FileResult finish(int input_fd, const struct stat& input, bool sync);

  // Gives the file its name: Result::decrypted; left_alone when something has that name (it
  // stays as it is, and this file is dropped); or the failed step. With `sync`, the folder too
  // reaches the disk.
  FileResult publish(bool sync);

 private:
  int dirfd_ = -1, fd_ = -1;
  std::string name_, hidden_;  // hidden_ is empty for an O_TMPFILE
};

class OutputFolder {
 public:
  // DIR itself, open already.
  explicit OutputFolder(int dir, std::string shown) : path_(std::move(shown)), fd_(dir) {}
  // The folder `name` in `parent`, mirroring the source folder `source`.
  OutputFolder(std::shared_ptr<OutputFolder> parent, std::string name, const struct stat& source);
  OutputFolder(const OutputFolder&) = delete;
  OutputFolder& operator=(const OutputFolder&) = delete;

  // The folder's descriptor, with its parents made first when `make` and they are missing: a new
  // one gets the source's owner and group where we may set them and its permission bits. -1 with
  // the errno in `error`; without `make`, ENOENT for one not made yet. Safe from any thread.
  int get(bool make, int& error);
  std::string path() const;  // for messages

 private:
  std::mutex mutex_;
  std::shared_ptr<OutputFolder> parent_;
  std::string name_, path_;
  struct stat source_ {};
  UniqueFd fd_{-1};
};

// Removes the hidden files of every output not yet published or dropped: the clean-up on a
// signal, after which the process must end. No hidden file is created after it.
void remove_hidden_outputs();

}  // namespace ecbcat
