// The walk's and the per-file step's primitives on POSIX systems: every open relative to a
// folder's descriptor, one name at a time, and no link followed that someone else could have
// planted.

#include "fs.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "file.hpp"

namespace ecbcat {
namespace {

// O_NONBLOCK: a FIFO must not hold the worker up at the open; it is refused after the fstat.
constexpr int input_flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};

// What openat2's RESOLVE_NO_SYMLINKS does, a name at a time, where the kernel lacks the call
// (before 5.6) or a sandbox or an emulator refuses it: each folder on the way is opened without
// following a link, and so is the last name. ELOOP where a link stands anywhere on the way.
int open_without_links(int dir, const std::string& path, int flags) {
  UniqueFd held(path.starts_with('/') ? ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC) : -1);
  int at = path.starts_with('/') ? held.get() : dir;
  for (std::size_t from = path.find_first_not_of('/');;) {
    if (from == std::string::npos) return ::openat(at, ".", flags);  // "/", or a trailing "/"
    const std::size_t end = path.find('/', from);
    const std::size_t next = end == std::string::npos ? end : path.find_first_not_of('/', end);
    const std::string name = path.substr(from, end - from);
    const int wanted = next == std::string::npos
                           ? flags | O_NOFOLLOW | (end == std::string::npos ? 0 : O_DIRECTORY)
                           : O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    UniqueFd fd(::openat(at, name.c_str(), wanted));
    struct stat st;
    if (fd.get() < 0 && errno == ENOTDIR &&
        ::fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
      errno = ELOOP;  // a link where a folder should be
    }
    if (fd.get() < 0 || next == std::string::npos) return fd.release();
    held = std::move(fd);
    at = held.get();
    from = next;
  }
}

// The target of the link `link` (held by an O_PATH descriptor) in `dir`, with no further link
// on its way: one there could be anyone's.
Maybe<UniqueFd> open_link_target(int dir, int link, int flags, Result failing) {
  char target[PATH_MAX];
  const ssize_t n = ::readlinkat(link, "", target, sizeof target - 1);
  if (n < 0) return FileResult{failing, errno};
  target[n] = '\0';
  open_how how{};
  how.flags = static_cast<unsigned>(flags);
  how.resolve = RESOLVE_NO_SYMLINKS;
  // The kernel's own number: glibc before 2.32 (Debian 11) names no SYS_openat2.
  int opened = static_cast<int>(::syscall(__NR_openat2, dir, target, &how, sizeof how));
  if (opened < 0 && (errno == ENOSYS || errno == EPERM)) {
    opened = open_without_links(dir, target, flags);
  }
  if (opened < 0) return FileResult{errno == ELOOP ? Result::linked_link : failing, errno};
  return UniqueFd(opened);
}

// A name of the command line, opened as given, links followed (the user's choice) but for the
// last one: a symbolic link there is followed only as one in a searched folder is (its target
// passing through no further link), for
// `ecbcat-batch /drop/*.enc` must not follow one that a partner planted in the drop folder.
// The folder that holds the last name is opened first, so that its owner is the one told and
// the link's target is taken from it; the target is read from the very link that was checked.
Maybe<UniqueFd> open_given(int dir, const std::string& path, int flags, Result failing) {
  // A trailing "/" would make the kernel follow the last link whatever the flags say.
  const std::size_t end = path.find_last_not_of('/');
  std::string name = end == std::string::npos ? path.substr(0, 1) : path.substr(0, end + 1);
  const std::size_t slash = name.find_last_of('/');
  UniqueFd folder;
  if (slash != std::string::npos && name != "/") {
    folder = UniqueFd(::openat(dir, slash == 0 ? "/" : name.substr(0, slash).c_str(),
                               O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!folder.valid()) return FileResult{failing, errno};
    dir = folder.get();
    name.erase(0, slash + 1);
  }
  UniqueFd link(::openat(dir, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (!link.valid() || ::fstat(link.get(), &st) != 0) return FileResult{failing, errno};
  if (!S_ISLNK(st.st_mode)) {
    if (end + 1 < path.size() && !S_ISDIR(st.st_mode)) return FileResult{failing, ENOTDIR};
    if (flags & O_PATH) return link;
    // Not a link when checked; one swapped in since fails here (ELOOP).
    UniqueFd fd(::openat(dir, name.c_str(), flags | O_NOFOLLOW));
    if (!fd.valid()) return FileResult{failing, errno};
    return fd;
  }
  if (const Result may = may_follow_link(st.st_uid, dir); may != Result::ready)
    return FileResult{may};
  return open_link_target(dir, link.get(), flags, failing);
}

}  // namespace

Result may_follow_link(uid_t owner, int dir) {
  const auto ours = [](uid_t uid) { return uid == 0 || uid == ::geteuid(); };
  if (!ours(owner)) return Result::foreign_link;
  struct stat st;
  UniqueFd here(dir == AT_FDCWD ? ::open(".", O_PATH | O_CLOEXEC) : -1);
  const bool known = ::fstat(dir == AT_FDCWD ? here.get() : dir, &st) == 0;
  return known && ours(st.st_uid) ? Result::ready : Result::foreign_folder;
}

Maybe<UniqueFd> open_unswappable(int dir, const char* name, int flags, Result failing) {
  UniqueFd fd(::openat(dir, name, flags | O_NOFOLLOW));
  // A link says ELOOP, or ENOTDIR where a folder was asked for.
  const int err = errno;
  if (fd.get() >= 0) return fd;
  if (err != ELOOP && err != ENOTDIR) return FileResult{failing, err};
  UniqueFd link(::openat(dir, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (link.get() < 0 || ::fstat(link.get(), &st) != 0) return FileResult{failing, errno};
  if (!S_ISLNK(st.st_mode)) return FileResult{failing, err};  // not a link, or swapped back
  if (const Result may = may_follow_link(st.st_uid, dir); may != Result::ready)
    return FileResult{may};
  return open_link_target(dir, link.get(), flags, failing);
}

Maybe<std::shared_ptr<OutputFolder>> open_output_dir(const std::string& path, bool dry_run) {
  // A name at a time from the current folder or the root, as the kernel resolves it, but every
  // link on the way, wherever it stands ("DIR/" and "DIR/." included), followed only when
  // may_follow_link allows its owner, and a relative target read from the link's own folder.
  // The last folder is made (owner-only) where it is missing, relative to its parent.
  std::vector<std::string> names;                // the names still to resolve, the next one last
  const auto push = [&](const std::string& p) {  // p's names, to be resolved before the rest
    std::vector<std::string> parts;
    for (std::size_t from = 0; from <= p.size();) {
      const std::size_t end = std::min(p.find('/', from), p.size());
      if (end > from) parts.push_back(p.substr(from, end - from));
      from = end + 1;
    }
    names.insert(names.end(), parts.rbegin(), parts.rend());
  };
  const auto failed = [](int error) { return FileResult{Result::open_output_dir, error}; };
  UniqueFd at(::open(path.starts_with('/') ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  push(path);
  for (int links = 0; at.valid() && !names.empty();) {
    const std::string name = std::move(names.back());
    names.pop_back();
    if (!dry_run && names.empty()) ::mkdirat(at.get(), name.c_str(), 0700);
    UniqueFd next(::openat(at.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!next.valid() || ::fstat(next.get(), &st) != 0) {
      // In a dry run, a DIR not made yet holds nothing.
      if (dry_run && names.empty() && errno == ENOENT) {
        return std::make_shared<OutputFolder>(UniqueFd(), path, FileInfo{});
      }
      return failed(errno);
    }
    if (S_ISLNK(st.st_mode)) {
      if (const Result may = may_follow_link(st.st_uid, at.get()); may != Result::ready) {
        return FileResult{may};
      }
      char target[PATH_MAX];
      const ssize_t n = ::readlinkat(next.get(), "", target, sizeof target - 1);
      if (n < 0) return failed(errno);
      if (++links > 40) return failed(ELOOP);
      target[n] = '\0';
      if (target[0] == '/') at = UniqueFd(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
      push(target);
      continue;
    }
    if (!S_ISDIR(st.st_mode)) return failed(ENOTDIR);
    at = std::move(next);
  }
  UniqueFd fd(at.valid() ? ::openat(at.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1);
  struct stat st {};
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0) return failed(errno);
  if (st.st_uid != 0 && st.st_uid != ::geteuid()) return FileResult{Result::foreign_output_dir};
  return std::make_shared<OutputFolder>(std::move(fd), path, st);
}

long long file_size(const Job& job) {
  struct stat st;
  return ::fstatat(job.folder->fd.get(), job.name.c_str(), &st, 0) == 0 ? st.st_size : 0;
}

Maybe<Opened> open_path(const std::string& path) {
  Maybe<UniqueFd> at = open_given(AT_FDCWD, path, O_PATH | O_CLOEXEC, Result::open_path);
  if (!at) return at.failure();
  struct stat st;
  if (::fstat(at->get(), &st) != 0) return FileResult{Result::open_path, errno};
  const bool folder = S_ISDIR(st.st_mode);
  return Opened{std::move(*at), st, folder};
}

Maybe<FolderHandle> open_listing(Opened& path) {
  UniqueFd fd(::openat(path.handle.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0) return FileResult{Result::read_folder, errno};
  return fd;
}

Maybe<FolderHandle> open_parent(const std::string& path, std::size_t base) {
  // O_PATH: a folder that may be entered but not listed still takes the output.
  const std::string parent = base == 0 ? "." : path.substr(0, base);
  UniqueFd fd(::open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0) return FileResult{Result::open_folder, errno};
  return fd;
}

Maybe<std::optional<Opened>> open_folder(const Folder& parent, const std::string& name) {
  // One name below a descriptor, never followed: a folder swapped for a link fails here.
  UniqueFd sub(
      ::openat(parent.fd.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (sub.get() < 0 || ::fstat(sub.get(), &st) != 0) return FileResult{Result::read_folder, errno};
  return std::optional<Opened>(Opened{std::move(sub), st, true});
}

std::vector<Entry> list(const Folder& folder, FileResult& error) {
  const int fd = folder.fd.get();
  std::vector<Entry> entries;
  // The listing reads through a second descriptor; the folder's own stays for the *at calls.
  const int listing = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  std::unique_ptr<DIR, DirCloser> dir(listing >= 0 ? ::fdopendir(listing) : nullptr);
  if (!dir) {
    error = {Result::read_folder, errno};
    if (listing >= 0) ::close(listing);
    return entries;
  }
  ::rewinddir(dir.get());
  std::vector<std::pair<std::string, unsigned char>> names;
  errno = 0;
  while (const dirent* e = ::readdir(dir.get())) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.emplace_back(std::move(name), e->d_type);
  }
  if (errno != 0) error = {Result::read_folder, errno};
  dir.reset();
  for (auto& [name, type] : names) {
    struct stat st;
    if (type == DT_UNKNOWN || type == DT_LNK) {  // some file systems leave the type to a stat
      if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone
      type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISLNK(st.st_mode) ? DT_LNK : DT_REG;
    }
    // A link to a folder that we would follow is neither searched nor decrypted. Any other
    // link is handed on, and the decryption follows it or refuses it.
    struct stat target;
    const bool followed_folder = type == DT_LNK && !output_name(name).empty() &&
                                 may_follow_link(st.st_uid, fd) == Result::ready &&
                                 ::fstatat(fd, name.c_str(), &target, 0) == 0 &&
                                 S_ISDIR(target.st_mode);
    const Entry::Kind kind = type == DT_DIR    ? Entry::folder
                             : followed_folder ? Entry::other
                                               : Entry::file;
    entries.push_back({kind, std::move(name)});
  }
  return entries;
}

Existing existing_output(int dir, const std::string& name) {
  struct stat st;
  if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return {};
  if (!S_ISREG(st.st_mode)) return {Existing::other};
  Existing x{Existing::file, stamp_of(st), std::nullopt, st.st_uid};
  // Opened only once it is known to be a regular file: opening a device may do something.
  UniqueFd fd(::openat(dir, name.c_str(), input_flags | O_NOFOLLOW));
  char text[128];
  const ssize_t n = fd.valid() && ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode)
                        ? ::fgetxattr(fd.get(), record_attribute, text, sizeof text)
                        : -1;
  if (n > 0) x.record = stamp_from_record({text, static_cast<std::size_t>(n)});
  return x;
}

Maybe<Input> open_input(const Job& job) {
  const int dir = job.folder->fd.get();
  // A file named on the command line is opened as given (open_given); one found by the walk
  // with open_unswappable.
  Maybe<UniqueFd> in = job.given.empty()
                           ? open_unswappable(dir, job.name.c_str(), input_flags, Result::open_file)
                           : open_given(dir, job.name, input_flags, Result::open_file);
  if (!in) return in.failure();
  struct stat st;
  if (in->get() < 0 || ::fstat(in->get(), &st) != 0) return FileResult{Result::open_file, errno};
  if (!S_ISREG(st.st_mode)) return FileResult{Result::not_regular};
  return Input(std::move(*in), st);
}

Result Input::hold() {
  // The kernel tells of a break with the signal, which carries the descriptor.
  if (::fcntl(fd_.get(), F_SETSIG, lease_signal()) == 0 &&
      ::fcntl(fd_.get(), F_SETLEASE, F_RDLCK) == 0) {
    leased_ = true;
  } else if (errno == EAGAIN) {
    return Result::still_arriving;
  }
  return Result::ready;
}

Result Input::unchanged(long long bytes_read, bool renamed) const {
  if (leased_ && ::fcntl(fd_.get(), F_GETLEASE) != F_RDLCK) return Result::still_arriving;
  struct stat now;
  if (::fstat(fd_.get(), &now) != 0) return Result::changed;
  Stamp was = stamp_of(st_), is = stamp_of(now);
  if (renamed) was.ctime = is.ctime;  // a rename changes the file's own time
  return is == was && bytes_read == st_.st_size ? Result::ready : Result::changed;
}

FileResult remove_input(const Job& job, Input& in) {
  const int dir = job.folder->fd.get();
  const auto same = [&](const char* name) {
    struct stat st;
    return ::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && key_of(st) == key_of(in.info());
  };
  // Never onto a name that exists. Where rename takes no flags (NFS, FUSE, kernels before 3.15)
  // the test and the rename are two steps, on a name of our own making, or on the input's own
  // name just after we took the input away from it.
  const auto rename = [&](const std::string& from, const std::string& to) {
    if (::syscall(SYS_renameat2, dir, from.c_str(), dir, to.c_str(), RENAME_NOREPLACE) == 0) {
      return true;
    }
    if (errno != EINVAL && errno != ENOSYS) return false;
    struct stat st;
    if (::fstatat(dir, to.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) errno = EEXIST;
    return errno == ENOENT && ::renameat(dir, from.c_str(), dir, to.c_str()) == 0;
  };
  // Nobody may have begun writing it since it was read (a writer that opened it broke the lease).
  if (in.unchanged(in.size()) != Result::ready) return {Result::written_since};
  // The name is moved aside first, under a name of its own, so that what goes is what it named
  // at that moment: a file renamed over it just before stays.
  static thread_local std::minstd_rand random(std::random_device{}());
  std::string aside;
  int error = EEXIST;
  for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
    char suffix[20];
    std::snprintf(suffix, sizeof suffix, ".ecbcat-rm-%06x",
                  static_cast<unsigned>(random() & 0xffffff));
    aside.assign(1, '.');
    aside.append(name_prefix(job.name, 200)).append(suffix);
    error = rename(job.name, aside) ? 0 : errno;
  }
  if (error) return {Result::remove_input, error};
  // A writer that had it open, and broke the lease after the check above, shows now; one that
  // comes later finds no file under the old name.
  const bool read = same(aside.c_str());
  if (!read || in.unchanged(in.size(), true) != Result::ready) {
    if (rename(aside, job.name)) {
      return {read ? Result::written_since : Result::input_replaced};
    }
    FileResult kept{Result::input_aside};  // yet another file took the name meanwhile
    kept.output = aside;
    return kept;
  }
  if (::unlinkat(dir, aside.c_str(), 0) != 0) return {Result::remove_input, errno};
  return {Result::decrypted};
}

int narrow_output(int dir, const std::string& name, const Job& job) {
  struct stat in, st;
  if (::fstatat(job.folder->fd.get(), job.name.c_str(), &in, AT_SYMLINK_NOFOLLOW) != 0)
    return errno;
  if (!S_ISREG(in.st_mode)) return 0;
  UniqueFd fd(::openat(dir, name.c_str(), input_flags | O_NOFOLLOW));
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0) return errno;
  const mode_t bits = st.st_mode & in.st_mode & 0777;
  // Only a file whose owner is the one an output of this input has: never one planted.
  const uid_t owner = ::geteuid() == 0 ? in.st_uid : ::geteuid();
  if (!S_ISREG(st.st_mode) || st.st_uid != owner || bits == (st.st_mode & 07777)) return 0;
  return ::fchmod(fd.get(), bits) == 0 ? 0 : errno;
}

bool in_place(const Folder& folder, const FileKey& key) {
  struct stat st;
  if (!folder.parent) return ::fstat(folder.fd.get(), &st) == 0 && st.st_nlink > 0;
  return ::fstatat(folder.parent->fd.get(), folder.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
         key_of(st) == key;
}

int may_create_in(int dir) {
  return ::faccessat(dir, ".", W_OK | X_OK, AT_EACCESS) == 0 ? 0 : errno;
}

std::optional<FileKey> folder_key(int dir) {
  struct stat st;
  if (::fstat(dir, &st) != 0) return std::nullopt;
  return key_of(st);
}

}  // namespace ecbcat
