#include "walk.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <set>
#include <utility>
#include <vector>

namespace ecbcat {
namespace {

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};

// Folders below a PATH are held open from the top down to the one being read, so the depth is
// bounded: beyond it a tree would run out of descriptors, or of stack in whoever walks it.
constexpr int max_depth = 4096;

// One walk over all the PATHs: a folder met twice (PATHs that overlap, a bind mount inside
// itself) is searched once, so a run never takes its own outputs for inputs.
class Walker {
 public:
  explicit Walker(const WalkSink& sink) : sink_(sink) {}
  void path(const std::string& path);

 private:
  struct Pending {  // a folder to search, named in its parent
    std::shared_ptr<const Folder> parent;
    std::string name;
    int depth;
  };
  void search(const std::shared_ptr<const Folder>& folder, int depth);
  void open_pending(Pending p);
  bool first_time(const struct stat& st) { return seen_.emplace(st.st_dev, st.st_ino).second; }

  const WalkSink& sink_;
  std::set<std::pair<dev_t, ino_t>> seen_;
  std::vector<Pending> pending_;  // depth first, without recursion
};

// Lists one folder whole (what is decrypted into it later must not show up here), hands on
// its files and puts its folders on the stack.
void Walker::search(const std::shared_ptr<const Folder>& folder, int depth) {
  const int fd = folder->fd.get();
  // The listing reads through a second descriptor; the folder's own stays for the *at calls.
  const int listing = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  std::unique_ptr<DIR, DirCloser> dir(listing >= 0 ? ::fdopendir(listing) : nullptr);
  if (!dir) {
    if (listing >= 0) ::close(listing);
    return sink_.failed(folder->path(), {Result::read_folder, errno});
  }
  ::rewinddir(dir.get());
  std::vector<std::pair<std::string, unsigned char>> entries;
  errno = 0;
  while (const dirent* e = ::readdir(dir.get())) {
    std::string name = e->d_name;
    if (name != "." && name != "..") entries.emplace_back(std::move(name), e->d_type);
  }
  if (errno != 0) sink_.failed(folder->path(), {Result::read_folder, errno});
  dir.reset();
  const std::size_t first_folder = pending_.size();
  for (auto& [name, type] : entries) {
    struct stat st;
    if (type == DT_UNKNOWN || type == DT_LNK) {  // some file systems leave the type to a stat
      if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone
      type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISLNK(st.st_mode) ? DT_LNK : DT_REG;
    }
    if (type == DT_DIR) {
      pending_.push_back({folder, std::move(name), depth + 1});
    } else if (!output_name(name).empty()) {
      // A link to a folder that we would follow is neither searched nor decrypted. Any other
      // link is handed on, and the decryption follows it or refuses it.
      struct stat target;
      if (type == DT_LNK && may_follow_link(st.st_uid) &&
          ::fstatat(fd, name.c_str(), &target, 0) == 0 && S_ISDIR(target.st_mode)) {
        continue;
      }
      sink_.file({folder, name, {}});
    }
  }
  std::reverse(pending_.begin() + first_folder, pending_.end());  // searched in listing order
}

void Walker::open_pending(Pending p) {
  const std::string& name = p.name;
  if (p.depth > max_depth)
    return sink_.failed(Folder::join(p.parent->path(), name), {Result::too_deep});
  // One name below a descriptor, never followed: a folder swapped for a link fails here.
  UniqueFd sub(
      ::openat(p.parent->fd.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (sub.get() < 0 || ::fstat(sub.get(), &st) != 0) {
    return sink_.failed(Folder::join(p.parent->path(), name), {Result::read_folder, errno});
  }
  if ((sink_.output_dir && sink_.output_dir->is_root(st)) || !first_time(st)) return;
  auto out = p.parent->out ? std::make_shared<OutputFolder>(p.parent->out, name, st) : nullptr;
  search(std::make_shared<const Folder>(std::move(sub), std::move(p.parent), name, std::move(out)),
         p.depth);
}

void Walker::path(const std::string& path) {
  // The PATH resolved once, as given: a link there is the user's own choice.
  UniqueFd at(::open(path.c_str(), O_PATH | O_CLOEXEC));
  struct stat st;
  if (at.get() < 0 || ::fstat(at.get(), &st) != 0) {
    return sink_.failed(path, {Result::open_path, errno});
  }
  if (S_ISDIR(st.st_mode)) {
    // DIR holds outputs, never inputs
    if ((sink_.output_dir && sink_.output_dir->is_root(st)) || !first_time(st)) return;
    UniqueFd fd(::openat(at.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0) return sink_.failed(path, {Result::read_folder, errno});
    // With -o the folder keeps its own name under DIR; ".", ".." and "/" have none to keep.
    std::string name = path.substr(0, path.find_last_not_of('/') + 1);
    name = name.substr(name.find_last_of('/') + 1);
    std::shared_ptr<OutputFolder> out = sink_.output_dir;
    if (out && !name.empty() && name != "." && name != "..") {
      out = std::make_shared<OutputFolder>(out, name, st);
    }
    search(std::make_shared<const Folder>(std::move(fd), nullptr, path, std::move(out)), 0);
    while (!pending_.empty()) {
      Pending p = std::move(pending_.back());
      pending_.pop_back();
      open_pending(std::move(p));
    }
    return;
  }
  const std::size_t slash = path.find_last_of('/');
  std::string base = path.substr(slash + 1);
  if (output_name(base).empty()) return sink_.failed(path, {Result::not_enc, 0});
  const std::string parent = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  // O_PATH: a folder that may be entered but not listed still takes the output.
  UniqueFd fd(::open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0) return sink_.failed(path, {Result::open_folder, errno});
  sink_.file({std::make_shared<const Folder>(std::move(fd), nullptr, parent, sink_.output_dir),
              std::move(base), path});
}

}  // namespace

bool may_follow_link(uid_t owner) {
  return owner == 0 || owner == ::geteuid();
}

void walk(const std::vector<std::string>& paths, const WalkSink& sink) {
  Walker walker(sink);
  for (const auto& path : paths) walker.path(path);
}

}  // namespace ecbcat
