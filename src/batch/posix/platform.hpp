#pragma once

// What ecbcat-batch's shared code holds of a POSIX system: folders as descriptors, outputs
// named with O_TMPFILE and linkat (or a rename), and the checks on links that someone else may
// have planted.

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <string>
#include <utility>

#include "fdio.hpp"
#include "result.hpp"

namespace ecbcat {

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
// The first bytes of `name`, at most `most`, not ending inside a UTF-8 sequence, for the hidden
// names made from it: some file systems (exFAT) refuse a name that is not valid UTF-8.
inline std::string name_prefix(const std::string& name, std::size_t most) {
  std::size_t n = std::min(most, name.size());
  while (n > 0 && n < name.size() && (static_cast<unsigned char>(name[n]) & 0xc0) == 0x80) --n;
  return name.substr(0, n);
}

// The longest path the system takes, in bytes: PATH_MAX holds its NUL too.
inline constexpr std::size_t max_path_bytes = PATH_MAX - 1;
// Names as this system compares them: byte for byte.
inline std::string fold_case(std::string name) {
  return name;
}

// Whether a symbolic link in a searched folder may be followed: only one that nobody but the
// user who runs us or root could have placed or changed, so the link and the folder that holds
// it (`dir`) must both be theirs, as the kernel's protected_symlinks rule has it in shared
// folders. Anyone else's could point at what that user cannot read, and its plaintext would land
// where they can; root's own link, placed in a user's folder (a tar extracted as root, a hard
// link to it), points where root chose for another folder, not for this one.
// Result::ready, foreign_link or foreign_folder.
Result may_follow_link(uid_t owner, int dir);

// Opens `name` in the folder `dir` (or AT_FDCWD) with `flags`. A symbolic link there is
// followed only when may_follow_link allows its owner, and its target may pass through no
// further link; the link is held by an O_PATH descriptor from the check to the reading of its
// target, so one swapped in between is never the one followed. Fails with `failing` and the
// errno, or with Result::foreign_link, foreign_folder or linked_link.
Maybe<UniqueFd> open_unswappable(int dir, const char* name, int flags, Result failing);

// What a file's status says of its size and times.
inline Stamp stamp_of(const struct stat& st) {
  const auto ns = [](const timespec& t) { return t.tv_sec * 1'000'000'000LL + t.tv_nsec; };
  return {st.st_size, ns(st.st_mtim), ns(st.st_ctim)};
}

// Where an output keeps the record of the input it was made from.
inline constexpr char record_attribute[] = "user.ecbcat.input";

// The signal that tells of a broken lease: routed to the signal thread, which lets the writer in.
inline int lease_signal() {
  return SIGRTMIN;
}

// An input opened for reading, and what it was when opened.
class Input {
 public:
  Input(UniqueFd fd, const struct stat& st) : fd_(std::move(fd)), st_(st) {}
  int fd() const { return fd_.get(); }
  long long size() const { return st_.st_size; }
  const struct stat& info() const { return st_; }
  Stamp stamp() const { return stamp_of(st_); }
  // Takes a read lease, which the kernel grants only while nobody has the file open for writing,
  // and which makes a writer that opens it later tell us (and wait until the lease is let go, at
  // the latest when the descriptor is closed). Result::ready, or still_arriving. Where no lease
  // can be had (a file of another user without CAP_LEASE, a network or FUSE file system) the
  // check after the read is all there is.
  Result hold();
  // After the read: Result::ready when the lease, if any, is unbroken, and the size and times are
  // as they were at the open and every byte up to that size was read; else still_arriving (a
  // writer opened it) or changed.
  // `renamed`: the file was renamed since, which changes its own time.
  Result unchanged(long long bytes_read, bool renamed = false) const;
  // Whether a lease holds it: where none could be had, nothing tells of a writer that pauses.
  bool leased() const { return leased_; }
  // Whom its output belongs to: its owner where we may give it (as root), else us.
  long long output_owner() const { return ::geteuid() == 0 ? st_.st_uid : ::geteuid(); }

 private:
  UniqueFd fd_;
  struct stat st_;
  bool leased_ = false;
};

// What an output under way holds: the folder, the descriptor, the name it is to have, and its
// hidden name (empty for an O_TMPFILE, which has none).
struct PendingState {
  int dirfd = -1, fd = -1;
  std::string name, hidden;
};

}  // namespace ecbcat
