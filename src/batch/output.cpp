#include "output.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <random>
#include <set>
#include <utility>

namespace ecbcat {
namespace {

// The hidden files that exist now, as (folder, name), for the clean-up on a signal.
std::mutex hidden_mutex;
std::set<std::pair<int, std::string>> hidden_files;
bool removed_all = false;  // after the clean-up no new hidden file may appear

bool track(int dirfd, const std::string& name, bool exists) {
  std::lock_guard lock(hidden_mutex);
  if (!exists) {
    hidden_files.erase({dirfd, name});
  } else if (!removed_all) {
    hidden_files.emplace(dirfd, name);
  }
  return !removed_all;
}

// A file system without O_TMPFILE says so with one of these (EISDIR before Linux 3.11).
bool no_tmpfile(int err) {
  return err == EOPNOTSUPP || err == EISDIR || err == EINVAL || err == ENOSYS;
}

}  // namespace

PendingOutput::~PendingOutput() {
  if (fd_ >= 0) ::close(fd_);
  if (!hidden_.empty()) {
    ::unlinkat(dirfd_, hidden_.c_str(), 0);
    track(dirfd_, hidden_, false);
  }
}

int PendingOutput::create(int dirfd, const std::string& name) {
  dirfd_ = dirfd;
  name_ = name;
  // Mode 0666 less the umask, as a shell's `>` creates a file.
  fd_ = ::openat(dirfd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (fd_ >= 0) return 0;
  if (!no_tmpfile(errno)) return errno;
  static thread_local std::minstd_rand random(std::random_device{}());
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".ecbcat-%06x",
                  static_cast<unsigned>(random() & 0xffffff));
    std::string hidden = "." + name + suffix;
    // Registered before it exists, so that a signal in between cannot leave it behind.
    if (!track(dirfd, hidden, true)) return EINTR;
    fd_ = ::openat(dirfd, hidden.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
    if (fd_ >= 0) {
      hidden_ = std::move(hidden);
      return 0;
    }
    int err = errno;
    track(dirfd, hidden, false);
    if (err != EEXIST) return err;
  }
  return EEXIST;
}

int PendingOutput::publish() {
  int err = 0;
  if (hidden_.empty()) {
    // An unnamed file gets its name through /proc (linkat's AT_EMPTY_PATH needs a privilege);
    // linkat never replaces an existing name.
    char proc[32];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd_);
    if (::linkat(AT_FDCWD, proc, dirfd_, name_.c_str(), AT_SYMLINK_FOLLOW) != 0) {
      err = errno;
      if (err == ENOENT && ::linkat(fd_, "", dirfd_, name_.c_str(), AT_EMPTY_PATH) == 0) err = 0;
    }
  } else if (::linkat(dirfd_, hidden_.c_str(), dirfd_, name_.c_str(), 0) != 0) {
    err = errno;  // the hidden name goes either way, in the destructor
  }
  return err;
}

void remove_hidden_outputs() {
  std::lock_guard lock(hidden_mutex);
  for (const auto& [dirfd, name] : hidden_files) ::unlinkat(dirfd, name.c_str(), 0);
  hidden_files.clear();
  removed_all = true;
}

}  // namespace ecbcat
