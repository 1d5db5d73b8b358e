// --watch's notices on Linux: inotify, one watch per folder, added through the folder's own
// descriptor so that a folder swapped for a link meanwhile cannot move it.

#include "watch.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

namespace ecbcat {
namespace {

// A file is told of when a writer closes it, when it is moved in (rsync's last step), when its
// times or mode are set (after the close, by scp and rsync --inplace), and when it is made (a
// link to a whole file, or an O_TMPFILE linked in, has no close of its own there); a folder when
// it is made, moved in or out, or removed; the folder itself when it moves or goes.
constexpr std::uint32_t mask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_ATTRIB | IN_CREATE |
                               IN_MOVED_FROM | IN_DELETE | IN_MOVE_SELF | IN_DELETE_SELF |
                               IN_ONLYDIR | IN_EXCL_UNLINK;

}  // namespace

struct Notices::State {
  UniqueFd inotify{::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)};
  // A PATH removed while its descriptor is held gives no event of its own until that is closed:
  // its parent's watch tells of the removal, and each PATH then found removed has ended.
  std::map<long, int> tops;  // a PATH's watch, and its descriptor
  std::set<int> parents;     // the watches of their parents
  int error = inotify.get() < 0 ? errno : 0;
  UniqueFd wake{::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)};
  alignas(inotify_event) char buffer[64 * 1024];
};

Notices::Notices() : s_(std::make_unique<State>()) {
  if (!s_->error && s_->wake.get() < 0) s_->error = errno;
}
Notices::~Notices() = default;

int Notices::error() const {
  return s_->error;
}

bool Notices::closes_told() {
  return true;
}

const char* Notices::limit() {
  return "fs.inotify.max_user_watches";
}

namespace {

int add_watch(int inotify, int fd, std::uint32_t events) {
  char proc[40];
  std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
  return ::inotify_add_watch(inotify, proc, events);
}

}  // namespace

long Notices::add(const Folder& folder, bool top, int& error) {
  const int wd = add_watch(s_->inotify.get(), folder.fd.get(), mask);
  if (wd < 0) {
    error = errno;
    return -1;
  }
  if (top) {
    s_->tops[wd] = folder.fd.get();
    // Added to whatever watch the parent has already (IN_MASK_ADD); none where it cannot be
    // read, and then a removal shows only when the last descriptor goes.
    const UniqueFd parent(::openat(folder.fd.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
    const int up = parent.valid() ? add_watch(s_->inotify.get(), parent.get(),
                                              IN_DELETE | IN_ONLYDIR | IN_MASK_ADD)
                                  : -1;
    if (up >= 0) s_->parents.insert(up);
  }
  return wd;
}

void Notices::remove(long id) {
  s_->tops.erase(id);
  ::inotify_rm_watch(s_->inotify.get(), static_cast<int>(id));
}

void Notices::wake() {
  const std::uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(s_->wake.get(), &one, sizeof one);
}

void Notices::wait(std::vector<Change>& changes, std::chrono::milliseconds timeout) {
  pollfd p[2] = {{s_->inotify.get(), POLLIN, 0}, {s_->wake.get(), POLLIN, 0}};
  const int ms =
      timeout.count() < 0 ? -1 : static_cast<int>(std::min<long long>(timeout.count(), 1 << 30));
  if (::poll(p, 2, ms) <= 0) return;
  if (p[1].revents) {
    std::uint64_t n;
    [[maybe_unused]] ssize_t got = ::read(s_->wake.get(), &n, sizeof n);
  }
  if (!p[0].revents) return;
  const ssize_t n = ::read(s_->inotify.get(), s_->buffer, sizeof s_->buffer);
  for (ssize_t at = 0; at < n;) {
    const auto* e = reinterpret_cast<const inotify_event*>(s_->buffer + at);
    at += static_cast<ssize_t>(sizeof *e + e->len);
    const std::string name = e->len ? e->name : "";
    if ((e->mask & IN_DELETE) && (e->mask & IN_ISDIR) && s_->parents.count(e->wd)) {
      for (const auto& [id, fd] : s_->tops) {
        struct stat st;
        if (::fstat(fd, &st) == 0 && st.st_nlink == 0) changes.push_back({Change::ended, id});
      }
    }
    if (e->mask & IN_Q_OVERFLOW) {
      changes.push_back({Change::overflow});
    } else if (e->mask & (IN_MOVE_SELF | IN_DELETE_SELF | IN_IGNORED | IN_UNMOUNT)) {
      changes.push_back({Change::ended, e->wd});
    } else if (e->mask & IN_ISDIR) {
      if (e->mask & (IN_CREATE | IN_MOVED_TO)) changes.push_back({Change::folder, e->wd, name});
      if (e->mask & (IN_MOVED_FROM | IN_DELETE)) changes.push_back({Change::left, e->wd, name});
    } else if (e->mask & (IN_CLOSE_WRITE | IN_MOVED_TO | IN_ATTRIB)) {
      changes.push_back({Change::file, e->wd, name});
    } else if (e->mask & IN_CREATE) {
      changes.push_back({Change::made, e->wd, name});
    }
  }
}

}  // namespace ecbcat
