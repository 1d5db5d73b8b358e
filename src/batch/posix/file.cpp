#include "file.hpp"

#include <fcntl.h>
#include <limits.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "decrypt.hpp"

namespace ecbcat {
namespace {

// O_NONBLOCK: a FIFO must not hold the worker up at the open; it is refused after the fstat.
constexpr int input_flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

// Opens the input, relative to its folder: as given, or with open_unswappable.
int open_input(const Job& job, Result& refused) {
  const int dir = job.folder->fd.get();
  if (!job.given.empty()) return ::openat(dir, job.name.c_str(), input_flags);
  return open_unswappable(dir, job.name.c_str(), input_flags, refused);
}

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

}  // namespace

int open_unswappable(int dir, const char* name, int flags, Result& refused) {
  const int fd = ::openat(dir, name, flags | O_NOFOLLOW);
  // A link says ELOOP, or ENOTDIR where a folder was asked for.
  const int err = errno;
  if (fd >= 0 || (err != ELOOP && err != ENOTDIR)) return fd;
  UniqueFd link(::openat(dir, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (link.get() < 0 || ::fstat(link.get(), &st) != 0) return -1;
  if (!S_ISLNK(st.st_mode)) return errno = err, -1;  // not a link, or swapped back
  if (!may_follow_link(st.st_uid)) return refused = Result::foreign_link, -1;
  char target[PATH_MAX];
  const ssize_t n = ::readlinkat(link.get(), "", target, sizeof target - 1);
  if (n < 0) return -1;
  target[n] = '\0';
  // The target, with no further link on its way: one there could be anyone's.
  open_how how{};
  how.flags = static_cast<unsigned>(flags);
  how.resolve = RESOLVE_NO_SYMLINKS;
  // The kernel's own number: glibc before 2.32 (Debian 11) names no SYS_openat2.
  int opened = static_cast<int>(::syscall(__NR_openat2, dir, target, &how, sizeof how));
  if (opened < 0 && (errno == ENOSYS || errno == EPERM)) {
    opened = open_without_links(dir, target, flags);
  }
  if (opened < 0 && errno == ELOOP) return refused = Result::linked_link, -1;
  return opened;
}

FileResult open_output_dir(const std::string& path, bool dry_run,
                           std::shared_ptr<OutputFolder>& dir) {
  if (!dry_run) ::mkdir(path.c_str(), 0700);
  Result refused = Result::ready;
  UniqueFd fd(
      open_unswappable(AT_FDCWD, path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, refused));
  struct stat st {};
  if (refused != Result::ready) return {refused};
  if (fd.get() < 0 && !(errno == ENOENT && dry_run)) return {Result::open_output_dir, errno};
  if (fd.get() >= 0 && ::fstat(fd.get(), &st) != 0) return {Result::open_output_dir, errno};
  if (fd.get() >= 0 && !may_follow_link(st.st_uid)) return {Result::foreign_output_dir};
  dir = std::make_shared<OutputFolder>(fd.release(), path, st);
  return {Result::ready};
}

long long file_size(const Job& job) {
  struct stat st;
  return ::fstatat(job.folder->fd.get(), job.name.c_str(), &st, 0) == 0 ? st.st_size : 0;
}

FileResult decrypt_file(EcbDecryptor& aes, StreamBuffers& buffers, const Job& job,
                        PendingOutput& out, const StepOptions& options) {
  const std::string name = output_name(job.name);
  FileResult r;
  r.output = job.output_path();
  // The output's folder: the input's, or with -o one made now if need be (in a dry run, one
  // not made yet holds nothing, so nothing there is left alone).
  int error = 0;
  const int dir =
      job.folder->out ? job.folder->out->get(!options.dry_run, error) : job.folder->fd.get();
  if (dir < 0 && !(options.dry_run && error == ENOENT)) return {Result::output_folder, error};
  struct stat st;
  if (dir >= 0 && ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    return {Result::left_alone};
  }
  Result refused = Result::ready;
  UniqueFd in(open_input(job, refused));
  if (refused != Result::ready) return {refused};
  // Everything below is of the file actually opened, whatever a race made the open land on.
  if (in.get() < 0 || ::fstat(in.get(), &st) != 0) return {Result::open_file, errno};
  if (!S_ISREG(st.st_mode)) return {Result::not_regular};
  r.bytes = st.st_size;
  if (options.dry_run) {
    if (dir >= 0 && ::faccessat(dir, ".", W_OK | X_OK, AT_EACCESS) != 0) {
      return {Result::create_output, errno};
    }
    // What a second file of the run aiming at the same output would meet: that output.
    struct stat folder;
    r.planned =
        dir >= 0 && ::fstat(dir, &folder) == 0
            ? std::to_string(folder.st_dev) + ":" + std::to_string(folder.st_ino) + "/" + name
            : r.output;
    r.what = Result::would_decrypt;
    return r;
  }
  if (int err = out.create(dir, name)) return {Result::create_output, err};
  FileResult done = result_of(decrypt_stream(aes, in.get(), out.fd(), buffers));
  if (done.what == Result::ready) done = out.finish(in.get(), st, options.sync);
  if (done.what != Result::ready) return done;
  return r;  // ready, with the size and the output's name
}

}  // namespace ecbcat
