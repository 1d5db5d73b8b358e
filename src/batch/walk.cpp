#include "walk.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <utility>
#include <vector>

#include "output.hpp"

namespace ecbcat {
namespace {

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};

std::string join(const std::string& dir, const std::string& name) {
  return dir.ends_with('/') ? dir + name : dir + "/" + name;
}

void walk_folder(const std::shared_ptr<const Folder>& folder, const WalkSink& sink) {
  const int fd = folder->fd.get();
  // The listing reads through a second descriptor; the folder's own stays for the *at calls.
  const int listing = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  std::unique_ptr<DIR, DirCloser> dir(listing >= 0 ? ::fdopendir(listing) : nullptr);
  if (!dir) {
    if (listing >= 0) ::close(listing);
    return sink.failed(folder->path, {Result::read_folder, errno});
  }
  ::rewinddir(dir.get());
  // The whole listing first: what is decrypted into this folder later must not show up here.
  std::vector<std::pair<std::string, unsigned char>> entries;
  errno = 0;
  while (const dirent* e = ::readdir(dir.get())) {
    std::string name = e->d_name;
    if (name != "." && name != "..") entries.emplace_back(std::move(name), e->d_type);
  }
  if (errno != 0) sink.failed(folder->path, {Result::read_folder, errno});
  dir.reset();
  std::vector<std::string> folders;
  for (auto& [name, type] : entries) {
    struct stat st;
    if (type == DT_UNKNOWN || type == DT_LNK) {  // some file systems leave the type to a stat
      if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone
      type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISLNK(st.st_mode) ? DT_LNK : DT_REG;
    }
    if (type == DT_DIR) {
      folders.push_back(std::move(name));
    } else if (!output_name(name).empty()) {
      // A link to a folder that we would follow is neither searched nor decrypted. Any other
      // link is handed on, and the decryption follows it or refuses it.
      struct stat target;
      if (type == DT_LNK && may_follow_link(st.st_uid) &&
          ::fstatat(fd, name.c_str(), &target, 0) == 0 && S_ISDIR(target.st_mode)) {
        continue;
      }
      sink.file({folder, name, join(folder->path, name), false});
    }
  }
  for (const auto& name : folders) {
    const std::string path = join(folder->path, name);
    // One name below a descriptor, never followed: a folder swapped for a link fails here.
    const int sub = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (sub < 0 || ::fstat(sub, &st) != 0) {
      sink.failed(path, {Result::read_folder, errno});
      if (sub >= 0) ::close(sub);
      continue;
    }
    if (sink.output_dir && st.st_dev == sink.output_dev && st.st_ino == sink.output_ino) {
      ::close(sub);  // the outputs' own folder
      continue;
    }
    auto out = folder->out ? std::make_shared<OutputFolder>(folder->out, name, st) : nullptr;
    walk_folder(std::make_shared<const Folder>(sub, path, std::move(out)), sink);
  }
}

}  // namespace

bool may_follow_link(uid_t owner) {
  return owner == 0 || owner == ::geteuid();
}

std::string output_name(const std::string& name) {
  const std::string suffix = ".enc";
  if (name.size() <= suffix.size() || !name.ends_with(suffix)) return {};
  return name.substr(0, name.size() - suffix.size());
}

void walk(const std::string& path, const WalkSink& sink) {
  // The PATH resolved once, as given: a link there is the user's own choice.
  UniqueFd at(::open(path.c_str(), O_PATH | O_CLOEXEC));
  struct stat st;
  if (at.get() < 0 || ::fstat(at.get(), &st) != 0) {
    return sink.failed(path, {Result::open_path, errno});
  }
  if (S_ISDIR(st.st_mode)) {
    const int fd = ::openat(at.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return sink.failed(path, {Result::read_folder, errno});
    // With -o the folder keeps its own name under DIR; ".", ".." and "/" have none to keep.
    std::string name = path.substr(0, path.find_last_not_of('/') + 1);
    name = name.substr(name.find_last_of('/') + 1);
    std::shared_ptr<OutputFolder> out = sink.output_dir;
    if (out && !name.empty() && name != "." && name != "..") {
      out = std::make_shared<OutputFolder>(out, name, st);
    }
    return walk_folder(std::make_shared<const Folder>(fd, path, std::move(out)), sink);
  }
  const std::size_t slash = path.find_last_of('/');
  std::string base = path.substr(slash + 1);
  if (output_name(base).empty()) return sink.failed(path, {Result::not_enc, 0});
  const std::string parent = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  // O_PATH: a folder that may be entered but not listed still takes the output.
  const int fd = ::open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return sink.failed(path, {Result::open_folder, errno});
  sink.file(
      {std::make_shared<const Folder>(fd, parent, sink.output_dir), std::move(base), path, true});
}

}  // namespace ecbcat
