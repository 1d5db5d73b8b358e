#pragma once

// An output under way, and -o's output folders: one interface, each system's own way of
// keeping a file unseen until it is whole (output.cpp beside its platform.hpp).

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

// This system's side: FolderHandle, FolderRef, FileInfo, Input and PendingState.
#include "platform.hpp"
#include "result.hpp"

namespace ecbcat {

// `name` in the folder `dir`, as a path for messages.
inline std::string join(const std::string& dir, const std::string& name) {
  const bool ends =
      !dir.empty() && std::string_view(path_separators).find(dir.back()) != std::string_view::npos;
  return ends ? dir + name : dir + path_separators[0] + name;
}

// A new file in a folder that nobody sees under its final name until publish() gives it that
// name, which it never takes from another file. On Linux it is an unnamed O_TMPFILE where the
// file system has them, elsewhere a hidden name (.NAME.ecbcat-XXXXXX, NAME shortened to fit),
// removed when the output is dropped and by remove_hidden_outputs() on a signal; until finish()
// only its owner may read it. On Windows it has the hidden name, is shared with nobody, and is
// marked for deletion, so that Windows removes it when the process ends for any reason.
class PendingOutput {
 public:
  PendingOutput() = default;
  PendingOutput(const PendingOutput&) = delete;
  PendingOutput& operator=(const PendingOutput&) = delete;
  ~PendingOutput();  // drops the file unless it was published

  // Creates the file in the folder `dir`, to be called `name`: Result::ready, or create_output.
  FileResult create(FolderRef dir, const std::string& name);
  int fd() const { return state_.fd; }  // a descriptor for the decryption

  // Once the plaintext is written: gives the file what it may have of the input's (on Linux the
  // owner and group where we may set them, the permission bits but the set-id ones, the access
  // ACL and the times; on Windows the last-write time and attributes); with `sync`, waits until
  // its data is on the disk; checks every step, for some file systems report a failed write only
  // at the close. Result::ready, or the failed step.
  FileResult finish(const Input& input, bool sync);

  // Gives the file its name: Result::decrypted; left_alone when something has that name (it
  // stays as it is, and this file is dropped); or the failed step. With `sync`, the name too
  // reaches the disk. Where the file system neither links nor renames without replacing, the
  // name holds an empty file of ours for a moment first.
  FileResult publish(bool sync);

 private:
  PendingState state_;
};

// With -o, where a folder's outputs go: a folder under DIR at the path of its source below the
// PATH, made on first use and never more visible than its source (on Windows a new folder takes
// its permissions from the one it is made in).
class OutputFolder {
 public:
  // DIR itself, open already (or not, in a dry run that found none), and what it is.
  OutputFolder(FolderHandle dir, std::string shown, const FileInfo& info)
      : path_(std::move(shown)), source_(info), handle_(std::move(dir)) {}
  // The folder `name` in `parent`, mirroring the source folder `source`, whose access ACL
  // (folder_acl) is `acl`.
  OutputFolder(std::shared_ptr<OutputFolder> parent, std::string name, const FileInfo& source,
               std::string acl)
      : parent_(std::move(parent)), name_(std::move(name)), acl_(std::move(acl)), source_(source) {}
  OutputFolder(const OutputFolder&) = delete;
  OutputFolder& operator=(const OutputFolder&) = delete;

  // The folder's handle, with its parents made first when `make` and they are missing. Fails
  // with Result::output_folder and the errno; without `make`, ENOENT for one not made yet. Safe
  // from any thread.
  Maybe<FolderRef> get(bool make);
  std::string path() const { return parent_ ? join(parent_->path(), name_) : path_; }  // shown
  // Whether the folder `key` is DIR, which holds outputs and is never searched.
  bool is_root(const FileKey& key) const {
    return !parent_ && handle_.valid() && key == key_of(source_);
  }

 private:
  std::mutex mutex_;
  std::shared_ptr<OutputFolder> parent_;
  std::string name_, path_, acl_;
  FileInfo source_{};  // the source folder; for DIR itself, DIR
  FolderHandle handle_;
};

// A source folder's access ACL as the system keeps it, for its mirror under DIR: empty where it
// has none, or where a new folder takes its permissions from the one it is made in (Windows).
std::string folder_acl(FolderRef folder);

// Removes the hidden files of every output not yet published or dropped, and keeps any more
// from being made: the clean-up on a signal, after which the process must end.
void remove_hidden_outputs();

}  // namespace ecbcat
