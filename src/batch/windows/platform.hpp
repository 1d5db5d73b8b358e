#pragma once

// What ecbcat-batch's shared code holds of Windows: folders as handles, each file and folder
// opened by one name relative to its folder's handle (NtCreateFile), outputs made hidden and
// marked for deletion until they are whole, then given their name without replacing anything.

#include <windows.h>
#include <winternl.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "win32.hpp"

namespace ecbcat {

struct FileResult;
enum class Result;
template <class T>
class Maybe;

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
// A folder of the walk is held by a handle, and its files are opened relative to it.
using FolderHandle = UniqueHandle;
using FolderRef = HANDLE;

// The most workers a run starts. Each holds two C runtime descriptors while it decrypts, and
// msvcrt has 2,048 in all, standard input, output and error among them.
inline constexpr unsigned max_workers = 1000;

// What separates a path's names: in the paths shown, the first; in those given, any.
inline constexpr char path_separators[] = "\\/";
// Where the last name of a path starts: after its last separator, or its drive (C:name).
inline std::size_t base_of(const std::string& path) {
  const std::size_t slash = path.find_last_of(path_separators);
  if (slash != std::string::npos) return slash + 1;
  return path.size() >= 2 && path[1] == ':' ? 2 : 0;
}

// Names are UTF-16 to Windows and UTF-8 to the shared code; a lone surrogate, which Windows
// allows in a name, goes through as its three-byte form (WTF-8), so every name comes back.
std::wstring wide(const std::string& utf8);
std::string narrow(const wchar_t* utf16, std::size_t length);

// The errno that a Windows error code or NTSTATUS stands for, so that messages read as on
// POSIX systems ("Permission denied" for a file that another program holds without sharing).
int errno_of(DWORD error);
int errno_of_status(NTSTATUS status);

// Names as Windows compares them: without regard to case (a.enc and A.enc are one file).
std::string fold_case(const std::string& name);

// The file or folder `name`, one name in the folder `dir`, opened with NtCreateFile as
// `disposition` (FILE_OPEN, FILE_CREATE, FILE_OPEN_IF) and `options` say. Fails with `failing`
// and the errno.
Maybe<UniqueHandle> open_at(HANDLE dir, const std::wstring& name, ACCESS_MASK access, ULONG share,
                            ULONG disposition, ULONG options, Result failing, ULONG attributes = 0);

// A folder or file on its volume, as Windows tells them apart.
struct FileKey {
  DWORD volume = 0, high = 0, low = 0;
  auto operator<=>(const FileKey&) const = default;
  std::string text() const {
    return std::to_string(volume) + ":" + std::to_string(high) + ":" + std::to_string(low);
  }
};
struct FileInfo {
  FileKey key;
  DWORD attributes = 0;
};
inline FileKey key_of(const FileInfo& info) {
  return info.key;
}
// What the handle is; nothing when it cannot be told (GetLastError says why).
std::optional<FileInfo> identify(HANDLE h);

// An input opened for reading: a C runtime descriptor for the decryption over the handle.
class Input {
 public:
  Input(int fd, long long size) : fd_(fd), size_(size) {}
  Input(Input&& other) noexcept : fd_(std::exchange(other.fd_, -1)), size_(other.size_) {}
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;
  ~Input();
  int fd() const { return fd_; }
  HANDLE handle() const { return handle_of(fd_); }
  long long size() const { return size_; }

 private:
  int fd_;
  long long size_;
};

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

  // Creates the file in the folder `dir`, to be called `name`: Result::ready, or create_output.
  FileResult create(HANDLE dir, const std::string& name);
  int fd() const { return fd_; }  // a C runtime descriptor, for the decryption

  // Once the plaintext is written: gives the file the last-write time of `input`; with `sync`,
  // waits until its data is on the disk. Result::ready, or the failed step.
  FileResult finish(const Input& input, bool sync);

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
  // The folder `name` in `parent`, for the source folder `source` (whose permissions a new
  // folder does not take: it takes those of the folder it is made in).
  OutputFolder(std::shared_ptr<OutputFolder> parent, std::string name, const FileInfo&)
      : parent_(std::move(parent)), name_(std::move(name)) {}
  OutputFolder(const OutputFolder&) = delete;
  OutputFolder& operator=(const OutputFolder&) = delete;

  // The folder's handle, with its parents made first when `make` and they are missing. Fails
  // with Result::output_folder and the errno; without `make`, ENOENT for one not made yet. Safe
  // from any thread.
  Maybe<HANDLE> get(bool make);
  std::string path() const;  // for messages
  // Whether the folder `key` is DIR, which holds outputs and is never searched.
  bool is_root(const FileKey& key) const { return !parent_ && h_.valid() && key == key_; }

 private:
  std::mutex mutex_;
  std::shared_ptr<OutputFolder> parent_;
  std::string name_, path_;
  UniqueHandle h_;
  FileKey key_;
};

// Keeps any further output from being made: the clean-up on an interruption, after which the
// process must end. Windows deletes the outputs under way as the process ends.
void remove_hidden_outputs();

}  // namespace ecbcat
