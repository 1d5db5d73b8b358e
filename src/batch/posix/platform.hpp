#pragma once

// What ecbcat-batch's shared code holds of a POSIX system: folders as descriptors, outputs
// named with O_TMPFILE and linkat, and the checks on links that someone else may have planted.

#include <sys/stat.h>
#include <sys/types.h>

#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "fdio.hpp"

namespace ecbcat {

struct FileResult;
enum class Result;
template <class T>
class Maybe;

// A folder of the walk is held by a descriptor, and its files are opened relative to it.
using FolderHandle = UniqueFd;
using FolderRef = int;

// Which file or folder a descriptor is, on which device.
struct FileKey {
  dev_t dev = 0;
  ino_t ino = 0;
  auto operator<=>(const FileKey&) const = default;
  std::string text() const { return std::to_string(dev) + ":" + std::to_string(ino); }
};
using FileInfo = struct stat;
inline FileKey key_of(const struct stat& st) {
  return {st.st_dev, st.st_ino};
}

// The most workers a run starts: the most -j takes.
inline constexpr unsigned max_workers = 1024;

// What separates a path's names: in the paths shown, the first; in those given, any.
inline constexpr char path_separators[] = "/";
// Where the last name of a path starts.
inline std::size_t base_of(const std::string& path) {
  return path.find_last_of('/') + 1;
}
// Names as this system compares them: byte for byte.
inline std::string fold_case(std::string name) {
  return name;
}

// Whether a symbolic link in a searched folder may be followed: only one of the user who runs
// us or of root, as the kernel's protected_symlinks rule has it in shared folders. Anyone else's
// could point at what that user cannot read, and its plaintext would land where they can.
bool may_follow_link(uid_t owner);

// Opens `name` in the folder `dir` (or AT_FDCWD) with `flags`. A symbolic link there is
// followed only when may_follow_link allows its owner, and its target may pass through no
// further link; the link is held by an O_PATH descriptor from the check to the reading of its
// target, so one swapped in between is never the one followed. Fails with `failing` and the
// errno, or with Result::foreign_link or linked_link.
Maybe<UniqueFd> open_unswappable(int dir, const char* name, int flags, Result failing);

// An input opened for reading, and what it was when opened.
class Input {
 public:
  Input(UniqueFd fd, const struct stat& st) : fd_(std::move(fd)), st_(st) {}
  int fd() const { return fd_.get(); }
  long long size() const { return st_.st_size; }
  const struct stat& info() const { return st_; }

 private:
  UniqueFd fd_;
  struct stat st_;
};

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

  // Creates the file in the folder dirfd, to be called `name`: Result::ready, or create_output.
  FileResult create(int dirfd, const std::string& name);
  int fd() const { return fd_; }

  // Once the plaintext is written: gives the file the owner and group (where we may set them),
  // the permission bits (never the set-id ones), the access ACL and the times of the file it
  // was read from; with `sync`, waits until its data is on the disk; then closes it, checking
  // the close, for some file systems report a failed write only there. Result::ready, or the
  // failed step.
  FileResult finish(const Input& input, bool sync);

  // Gives the file its name: Result::decrypted; left_alone when something has that name (it
  // stays as it is, and this file is dropped); or the failed step. With `sync`, the folder too
  // reaches the disk.
  FileResult publish(bool sync);

 private:
  int dirfd_ = -1, fd_ = -1;
  std::string name_, hidden_;  // hidden_ is empty for an O_TMPFILE
};

// With -o, where a folder's outputs go: a folder under DIR at the path of its source below the
// PATH, made on first use and never more visible than its source.
class OutputFolder {
 public:
  // DIR itself, open already (or -1 in a dry run that found none), and what it is.
  OutputFolder(UniqueFd dir, std::string shown, const struct stat& st)
      : path_(std::move(shown)), source_(st), fd_(std::move(dir)) {}
  // The folder `name` in `parent`, mirroring the source folder `source`.
  OutputFolder(std::shared_ptr<OutputFolder> parent, std::string name, const struct stat& source);
  OutputFolder(const OutputFolder&) = delete;
  OutputFolder& operator=(const OutputFolder&) = delete;

  // The folder's descriptor, with its parents made first when `make` and they are missing: a new
  // one gets the source's owner and group where we may set them and its permission bits. Fails
  // with Result::output_folder and the errno; without `make`, ENOENT for one not made yet. Safe
  // from any thread.
  Maybe<int> get(bool make);
  std::string path() const;  // for messages
  // Whether the folder `key` is DIR, which holds outputs and is never searched.
  bool is_root(const FileKey& key) const {
    return !parent_ && fd_.get() >= 0 && key == key_of(source_);
  }

 private:
  std::mutex mutex_;
  std::shared_ptr<OutputFolder> parent_;
  std::string name_, path_;
  struct stat source_ {};  // the source folder; for DIR itself, DIR
  UniqueFd fd_{-1};
};

// Removes the hidden files of every output not yet published or dropped: the clean-up on a
// signal, after which the process must end. No hidden file is created after it.
void remove_hidden_outputs();

}  // namespace ecbcat
