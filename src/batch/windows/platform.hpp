#pragma once

// What ecbcat-batch's shared code holds of Windows: folders as handles, each file and folder
// opened by one name relative to its folder's handle (NtCreateFile), outputs made hidden and
// marked for deletion until they are whole, then given their name without replacing anything.

#include <windows.h>
#include <winternl.h>

#include <optional>
#include <string>
#include <utility>

#include "result.hpp"
#include "win32.hpp"

namespace ecbcat {

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

// The longest path Windows takes is 32,767 UTF-16 units, each at most 3 bytes in UTF-8.
inline constexpr std::size_t max_path_bytes = 32767 * 3;

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

// A file's size and times, from its handle; nothing when they cannot be had.
std::optional<Stamp> stamp_of(HANDLE h);

// An input opened for reading: a C runtime descriptor for the decryption over the handle. It is
// opened without FILE_SHARE_WRITE, so a file that someone has open for writing fails to open
// (still being written), and nobody can open it for writing while it is read.
class Input {
 public:
  Input(int fd, const Stamp& stamp, bool deletable)
      : fd_(fd), stamp_(stamp), deletable_(deletable) {}
  Input(Input&& other) noexcept
      : fd_(std::exchange(other.fd_, -1)), stamp_(other.stamp_), deletable_(other.deletable_) {}
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;
  ~Input();
  int fd() const { return fd_; }
  HANDLE handle() const { return handle_of(fd_); }
  long long size() const { return stamp_.size; }
  Stamp stamp() const { return stamp_; }
  // Whether the handle may mark the file for deletion (--rm).
  bool deletable() const { return deletable_; }
  // The sharing mode holds the file already: Result::ready.
  Result hold() { return Result::ready; }
  // After the read: Result::ready when the size and times are as they were at the open and
  // every byte up to that size was read, else changed.
  Result unchanged(long long bytes_read) const;
  // Nobody can open it for writing while it is open: as good as a lease.
  bool leased() const { return true; }
  // Outputs get no owner of the input's: none to tell.
  long long output_owner() const { return -1; }

 private:
  int fd_;
  Stamp stamp_;
  bool deletable_;
};

// What an output under way holds: the folder, the descriptor and the name it is to have.
struct PendingState {
  HANDLE dir = nullptr;
  int fd = -1;
  std::wstring name;
};

}  // namespace ecbcat
