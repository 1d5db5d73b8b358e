#pragma once

// What ecbcat-batch's shared code holds of Windows: folders as handles, each file and folder
// opened by one name relative to its folder's handle (NtCreateFile), outputs made hidden and
// marked for deletion until they are whole, then given their name without replacing anything.

#include <windows.h>
#include <winternl.h>

#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace ecbcat {

struct FileResult;
enum class Result;

// Owns a handle: closes it when it goes.
class UniqueHandle {
 public:
  explicit UniqueHandle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
  UniqueHandle(UniqueHandle&& other) noexcept : h_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) {
      if (valid()) ::CloseHandle(h_);
      h_ = other.release();
    }
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() {
    if (valid()) ::CloseHandle(h_);
  }
  HANDLE get() const { return h_; }
  bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  HANDLE release() { return std::exchange(h_, INVALID_HANDLE_VALUE); }

 private:
  HANDLE h_;
};
using FolderHandle = UniqueHandle;

// The most workers a run starts. Each holds two C runtime descriptors while it decrypts, and
// msvcrt has 2,048 in all, standard input, output and error among them.
inline constexpr unsigned max_workers = 1000;

// What separates a path's names: in the paths shown, the first; in those given, any.
inline constexpr char path_separators[] = "\\/";

// Names are UTF-16 to Windows and UTF-8 to the shared code; a lone surrogate, which Windows
// allows in a name, goes through as its three-byte form (WTF-8), so every name comes back.
std::wstring wide(const std::string& utf8);
std::string narrow(const wchar_t* utf16, std::size_t length);

// The errno that a Windows error code or NTSTATUS stands for, so that messages read as on
// POSIX systems ("Permission denied" for a file that another program holds without sharing).
int errno_of(DWORD error);
int errno_of_status(NTSTATUS status);

// The file or folder `name`, one name in the folder `dir`, opened with NtCreateFile as
// `disposition` (FILE_OPEN, FILE_CREATE, FILE_OPEN_IF) and `options` say. `created` tells
// whether it was made. An invalid handle with `error` (an errno) set on failure.
UniqueHandle open_at(HANDLE dir, const std::wstring& name, ACCESS_MASK access, ULONG share,
                     ULONG disposition, ULONG options, int& error, ULONG attributes = 0,
                     bool* created = nullptr);

// A folder or file on its volume, as Windows tells them apart.
struct FileId {
  DWORD volume = 0, high = 0, low = 0;
  auto operator<=>(const FileId&) const = default;
};
// The handle's FileId and attributes; false when it cannot be told.
bool identify(HANDLE h, FileId& id, DWORD& attributes);

// A new file in a folder that nobody sees under its final name until publish() gives it that
// name, which it never takes from another file. It is made hidden (.NAME.ecbcat-XXXXXX), shared
// with nobody, and marked for deletion, so that Windows removes it when the process ends for
// any reason; publish() takes the mark away and renames it.
class PendingOutput {
 public:
  PendingOutput() = default;
  PendingOutput(const PendingOutput&) = delete;
  PendingOutput& operator=(const PendingOutput&) = delete;
  ~PendingOutput();  // drops the file unless it was published

  // Creates the file in the folder `dir`, to be called `name`. Returns 0 or the errno.
  int create(HANDLE dir, const std::string& name);
  int fd() const { return fd_; }  // a C runtime descriptor, for the decryption

  // Once the plaintext is written: gives the file the last-write time of `input`; with `sync`,
  // waits until its data is on the disk. Result::ready, or the failed step.
  FileResult finish(HANDLE input, bool sync);

  // Gives the file its name: Result::decrypted; left_alone when something has that name (it
  // stays as it is, and this file is dropped); or the failed step.
  FileResult publish(bool sync);

 private:
  HANDLE dir_ = nullptr;
  int fd_ = -1;
  std::wstring name_;
};

// With -o, where a folder's outputs go: a folder under DIR at the path of its source below the
// PATH, made on first use. Like any new folder on Windows, it takes its permissions from the
// folder it is made in.
class OutputFolder {
 public:
  // DIR itself, open already (or not, in a dry run that found none).
  OutputFolder(UniqueHandle dir, std::string shown);
  // The folder `name` in `parent`.
  OutputFolder(std::shared_ptr<OutputFolder> parent, std::string name)
      : parent_(std::move(parent)), name_(std::move(name)) {}
  OutputFolder(const OutputFolder&) = delete;
  OutputFolder& operator=(const OutputFolder&) = delete;

  // The folder's handle, with its parents made first when `make` and they are missing. An
  // invalid handle with the errno in `error`; without `make`, ENOENT for one not made yet.
  // Safe from any thread.
  HANDLE get(bool make, int& error);
  std::string path() const;  // for messages
  // Whether the folder `id` is DIR, which holds outputs and is never searched.
  bool is_root(const FileId& id) const { return !parent_ && h_.valid() && id == id_; }

 private:
  std::mutex mutex_;
  std::shared_ptr<OutputFolder> parent_;
  std::string name_, path_;
  UniqueHandle h_;
  FileId id_;
};

// Keeps any further output from being made: the clean-up on an interruption, after which the
// process must end. Windows deletes the outputs under way as the process ends.
void remove_hidden_outputs();

}  // namespace ecbcat
