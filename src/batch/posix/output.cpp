#include <fcntl.h>
#include <linux/fs.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <random>
#include <set>
#include <utility>

#include "acl.hpp"
#include "fs.hpp"
#include "job.hpp"

namespace ecbcat {
namespace {

// The hidden files that exist now, as (folder, name), for the clean-up on a signal. The mutex
// is held while one is created, so the clean-up sees every file that exists or can come.
std::mutex hidden_mutex;
std::set<std::pair<int, std::string>> hidden_files;
bool removed_all = false;  // after the clean-up no new hidden file may appear

// A file system without O_TMPFILE says so with one of these (EISDIR before Linux 3.11).
bool no_tmpfile(int err) {
  return err == EOPNOTSUPP || err == EISDIR || err == EINVAL || err == ENOSYS;
}

// A file system without hard links (FAT, exFAT, some FUSE ones) refuses linkat with one of these.
bool no_links(int err) {
  return err == EPERM || err == EOPNOTSUPP || err == ENOSYS || err == EMLINK;
}

// Where Linux keeps a file's access ACL; what folder_acl gives for one that cannot be read
// (larger than we take, say), whose folder's mirror only its owner may enter.
constexpr char acl_access[] = "system.posix_acl_access";
constexpr std::string_view unreadable_acl = "?";

// Owner-only until finish() gives the input's mode: a plaintext is never readable by more
// people than its ciphertext, not even while it is written.
constexpr mode_t private_mode = 0600;
// The suffix of a hidden name, ".ecbcat-XXXXXX", and the longest name a folder takes.
constexpr std::size_t suffix_length = 14, name_max = 255;

// The name `name` in the folder `dir` on the disk: the folder, through a descriptor that can be
// synced or, in a folder we may enter but not read, the whole file system through the file.
int sync_folder(int dir, const std::string& name) {
  UniqueFd folder(::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.valid()) return ::fsync(folder.get()) == 0 ? 0 : errno;
  UniqueFd named(::openat(dir, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  return named.valid() && ::syncfs(named.get()) == 0 ? 0 : errno;
}

// Gives the hidden file `hidden` in `dir` the name `name` where it cannot be linked: 0, or the
// errno; EEXIST when the name is taken, which stays as it is. After a success the hidden name is
// gone.
int rename_hidden(int dir, const std::string& hidden, const std::string& name) {
  if (::syscall(SYS_renameat2, dir, hidden.c_str(), dir, name.c_str(), RENAME_NOREPLACE) == 0)
    return 0;
  // Without rename flags (FUSE file systems that have none, kernels before 3.15) a rename
  // replaces whatever has the name. So the name is first taken by an empty file of our own, which
  // the rename replaces once a check shows it still there: the name holds an empty file for that
  // moment, and only a file put there between the check and the rename would be replaced.
  if (errno != EINVAL && errno != ENOSYS) return errno;
  UniqueFd placeholder(::openat(
      dir, name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC | O_NOFOLLOW, private_mode));
  struct stat made;
  if (!placeholder.valid() || ::fstat(placeholder.get(), &made) != 0) return errno;
  const auto ours = [&] {
    struct stat now;
    return ::fstatat(dir, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
           key_of(now) == key_of(made);
  };
  if (!ours()) return EEXIST;  // another file took its place, and stays
  if (::renameat(dir, hidden.c_str(), dir, name.c_str()) == 0) return 0;
  const int error = errno;
  if (ours()) ::unlinkat(dir, name.c_str(), 0);
  return error;
}

}  // namespace

int sync_existing(int dir, const std::string& name) {
  UniqueFd fd(::openat(dir, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!fd.valid() || ::fdatasync(fd.get()) != 0) return errno;
  return sync_folder(dir, name);
}

PendingOutput::~PendingOutput() {
  if (state_.fd >= 0) ::close(state_.fd);
  if (!state_.hidden.empty()) {
    std::lock_guard lock(hidden_mutex);
    ::unlinkat(state_.dirfd, state_.hidden.c_str(), 0);
    hidden_files.erase({state_.dirfd, state_.hidden});
  }
}

FileResult PendingOutput::create(int dirfd, const std::string& name) {
  state_.dirfd = dirfd;
  state_.name = name;
  state_.fd = ::openat(dirfd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, private_mode);
  if (state_.fd >= 0) return {Result::ready};
  if (!no_tmpfile(errno)) return {Result::create_output, errno};
  static thread_local std::minstd_rand random(std::random_device{}());
  std::string stem = ".";
  stem.append(name_prefix(name, name_max - 1 - suffix_length));
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[suffix_length + 1];
    std::snprintf(suffix, sizeof suffix, ".ecbcat-%06x",
                  static_cast<unsigned>(random() & 0xffffff));
    std::string hidden = stem + suffix;
    std::lock_guard lock(hidden_mutex);
    if (removed_all) return {Result::create_output, EINTR};
    state_.fd = ::openat(dirfd, hidden.c_str(),
                         O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC | O_NOFOLLOW, private_mode);
    if (state_.fd >= 0) {
      hidden_files.emplace(dirfd, hidden);
      state_.hidden = std::move(hidden);
      return {Result::ready};
    }
    if (errno != EEXIST) return {Result::create_output, errno};
  }
  return {Result::create_output, EEXIST};
}

FileResult PendingOutput::finish(const Input& in, bool sync) {
  const struct stat& input = in.info();
  // The record of the input, while the file is still ours to write: a rerun tells by it that the
  // output is of this input as it is now. Where the file system keeps none, the times tell.
  const std::string record = record_of(in.stamp());
  ::fsetxattr(state_.fd, record_attribute, record.data(), record.size(), 0);
  // The input's access ACL, copied where its entries keep their meaning on the output.
  char acl[4096];
  ssize_t acl_size = ::fgetxattr(in.fd(), acl_access, acl, sizeof acl);
  // Where the input's cannot be read, only the owner reads.
  mode_t mode = input.st_mode & 0777;
  if (acl_size < 0 && errno != ENODATA && errno != EOPNOTSUPP) mode &= 0700;
  // The owner and group where we may set them (as root, or a group we are in). Where the group
  // stays ours, its bits go, and others get no more than every class of the input had in
  // common: our group, and the others, may hold people the input's group, ACL entries or mode
  // kept out. Nor is the ACL copied then, whose group entries would name our group.
  if (::fchown(state_.fd, input.st_uid, input.st_gid) != 0) {
    if (errno != EPERM) return {Result::copy_attributes, errno};
    if (::fchown(state_.fd, static_cast<uid_t>(-1), input.st_gid) != 0) {
      if (errno != EPERM) return {Result::copy_attributes, errno};
      mode = (mode & 0700) | others_bound(mode, {acl, acl_size > 0 ? std::size_t(acl_size) : 0});
      acl_size = 0;
    }
  }
  // No access ACL but the input's: one inherited from the folder's default ACL (which its owner
  // sets) would let in whom it names.
  if (::fremovexattr(state_.fd, acl_access) != 0 && errno != ENODATA && errno != EOPNOTSUPP) {
    return {Result::copy_attributes, errno};
  }
  // The ACL before the mode: a hidden output may be seen by name, and its mode alone would let
  // in whom the ACL keeps out. The mode then sets the entries it shares with the ACL, to the
  // input's. An ACL that cannot be set leaves the output to its owner.
  if (acl_size > 0 && ::fsetxattr(state_.fd, acl_access, acl, acl_size, 0) != 0) mode &= 0700;
  const struct timespec times[2] = {input.st_atim, input.st_mtim};
  if (::fchmod(state_.fd, mode) != 0 || ::futimens(state_.fd, times) != 0) {
    return {Result::copy_attributes, errno};
  }
  if (sync && ::fdatasync(state_.fd) != 0) return {Result::sync_output, errno};
  // An unnamed file is named through its descriptor, so it stays open: closing a duplicate runs
  // the same flush (the file system's flush runs at every close).
  const int closing = state_.hidden.empty() ? ::dup(state_.fd) : std::exchange(state_.fd, -1);
  if (closing < 0 || ::close(closing) != 0) return {Result::write, errno};
  return {Result::ready};
}

FileResult PendingOutput::publish(bool sync) {
  int err = 0;
  if (state_.hidden.empty()) {
    // An unnamed file gets its name through /proc (linkat's AT_EMPTY_PATH needs a privilege);
    // linkat never replaces an existing name.
    char proc[32];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", state_.fd);
    if (::linkat(AT_FDCWD, proc, state_.dirfd, state_.name.c_str(), AT_SYMLINK_FOLLOW) != 0) {
      err = errno;
      if (err == ENOENT &&
          ::linkat(state_.fd, "", state_.dirfd, state_.name.c_str(), AT_EMPTY_PATH) == 0)
        err = 0;
    }
  } else {
    // Under the lock: the clean-up on a signal waits until the name holds the whole file, not
    // the empty one that rename_hidden may put there first.
    std::lock_guard lock(hidden_mutex);
    if (::linkat(state_.dirfd, state_.hidden.c_str(), state_.dirfd, state_.name.c_str(), 0) != 0) {
      err = errno;
      if (no_links(err) && (err = rename_hidden(state_.dirfd, state_.hidden, state_.name)) == 0) {
        hidden_files.erase({state_.dirfd, state_.hidden});
        state_.hidden.clear();  // nothing left for the destructor to remove
      }
    }  // a hidden name that remains goes in the destructor
  }
  if (err == EEXIST) return {Result::left_alone};
  if (err) return {Result::name_output, err};
  if (sync) {  // the new name on the disk too
    if (const int error = sync_folder(state_.dirfd, state_.name))
      return {Result::sync_output, error};
  }
  return {Result::decrypted};
}

Maybe<int> OutputFolder::get(bool make) {
  const auto failed = [](int error) { return FileResult{Result::output_folder, error}; };
  std::lock_guard lock(mutex_);
  if (handle_.get() >= 0) return handle_.get();
  if (!parent_) return failed(ENOENT);  // DIR, in a dry run that found none
  Maybe<int> parent = parent_->get(make);
  if (!parent) return parent;
  // Made owner-only, then given the source's owner and mode: never more visible on the way.
  const bool made = make && ::mkdirat(*parent, name_.c_str(), 0700) == 0;
  if (make && !made && errno != EEXIST) return failed(errno);
  UniqueFd fd(::openat(*parent, name_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) return failed(errno);
  // The sticky and set-group-ID bits too: in a folder everyone may write, only a file's owner
  // may remove it, there as in the source.
  mode_t mode = source_.st_mode & (0777 | S_ISVTX | S_ISGID);
  if (made) {
    // As for an output: the source's ACL where its group is given, else no group bits, and
    // others no more than every class of the source had in common.
    bool copy_acl = !acl_.empty() && acl_ != unreadable_acl;
    if (acl_ == unreadable_acl) mode &= ~mode_t{077};
    if (::fchown(fd.get(), source_.st_uid, source_.st_gid) != 0 &&
        ::fchown(fd.get(), static_cast<uid_t>(-1), source_.st_gid) != 0) {
      mode = (mode & ~mode_t{077}) | others_bound(mode, acl_);
      copy_acl = false;
    }
    // No ACL inherited from DIR's default one: the mode says who may enter. The owner keeps the
    // right to fill it, as the source's owner may fill the source.
    if (::fremovexattr(fd.get(), "system.posix_acl_default") != 0 && errno != ENODATA &&
        errno != EOPNOTSUPP) {
      return failed(errno);
    }
    if ((::fremovexattr(fd.get(), acl_access) != 0 && errno != ENODATA && errno != EOPNOTSUPP) ||
        (copy_acl && ::fsetxattr(fd.get(), acl_access, acl_.data(), acl_.size(), 0) != 0) ||
        ::fchmod(fd.get(), mode | S_IRWXU) != 0) {
      return failed(errno);
    }
    // The new folder's name on the disk, once, before outputs in it are (and, with --rm, before
    // their inputs go). Where folders cannot be synced, the file system keeps its own order.
    ::fsync(*parent);
  } else if (!(st.st_uid == ::geteuid() || st.st_uid == 0 || st.st_uid == source_.st_uid) ||
             (st.st_mode & 077 & ~mode) != 0 || ((mode & S_ISVTX) && !(st.st_mode & S_ISVTX))) {
    // One that was there before, of another user, more open than its source or without the
    // sticky bit the source has, could let others see or remove what goes into it.
    return failed(EPERM);
  }
  handle_ = std::move(fd);
  return handle_.get();
}

std::string folder_acl(int folder) {
  char acl[4096];
  const ssize_t n = ::fgetxattr(folder, acl_access, acl, sizeof acl);
  if (n < 0) return errno == ENODATA || errno == EOPNOTSUPP ? "" : std::string(unreadable_acl);
  return {acl, static_cast<std::size_t>(n)};
}

void remove_hidden_outputs() {
  std::lock_guard lock(hidden_mutex);
  for (const auto& [dirfd, name] : hidden_files) ::unlinkat(dirfd, name.c_str(), 0);
  hidden_files.clear();
  removed_all = true;
}

}  // namespace ecbcat
