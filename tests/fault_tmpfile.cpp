// For the fault-injection build of ecbcat-batch: ECBCAT_NO_TMPFILE=1 makes every O_TMPFILE open
// fail as on a file system without them (ld --wrap=openat64), so the hidden-name fallback runs;
// ECBCAT_NO_LINK=1 makes linkat fail as on one without hard links (FAT), so a rename names it.
// ECBCAT_MAX_WATCHES=N lets --watch have N inotify watches, as fs.inotify.max_user_watches
// would, and fails the next with ENOSPC (ld --wrap=inotify_add_watch).

#include <fcntl.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>

extern "C" int __real_openat64(int dirfd, const char* path, int flags, ...);
extern "C" int __real_linkat(int from_dir, const char* from, int to_dir, const char* to, int flags);
extern "C" int __real_inotify_add_watch(int fd, const char* path, std::uint32_t mask);

extern "C" int __wrap_inotify_add_watch(int fd, const char* path, std::uint32_t mask) {
  static std::atomic<long> left = [] {
    const char* most = std::getenv("ECBCAT_MAX_WATCHES");
    return most ? std::atol(most) : -1;
  }();
  if (left == 0) {  // none left, for good: -1 is no limit
    errno = ENOSPC;
    return -1;
  }
  if (left > 0) --left;
  return __real_inotify_add_watch(fd, path, mask);
}

extern "C" int __wrap_openat64(int dirfd, const char* path, int flags, ...) {
  mode_t mode = 0;
  if (flags & (O_CREAT | __O_TMPFILE)) {
    va_list args;
    va_start(args, flags);
    mode = va_arg(args, mode_t);
    va_end(args);
  }
  if ((flags & __O_TMPFILE) == __O_TMPFILE && std::getenv("ECBCAT_NO_TMPFILE")) {
    errno = EOPNOTSUPP;
    return -1;
  }
  return __real_openat64(dirfd, path, flags, mode);
}

extern "C" int __wrap_linkat(int from_dir, const char* from, int to_dir, const char* to,
                             int flags) {
  if (std::getenv("ECBCAT_NO_LINK")) {
    errno = EPERM;
    return -1;
  }
  return __real_linkat(from_dir, from, to_dir, to, flags);
}
