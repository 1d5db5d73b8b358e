#include "walk.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <utility>
#include <vector>

namespace ecbcat {
namespace {

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};

std::string join(const std::string& dir, const std::string& name) {
  return dir.ends_with('/') ? dir + name : dir + "/" + name;
}

void walk_folder(const std::string& path, const WalkSink& sink) {
  std::unique_ptr<DIR, DirCloser> dir(::opendir(path.c_str()));
  if (!dir) return sink.failed(path, "failed reading folder", errno);
  // The whole listing first: what is decrypted into this folder later must not show up here.
  std::vector<std::pair<std::string, unsigned char>> entries;
  errno = 0;
  while (const dirent* e = ::readdir(dir.get())) {
    std::string name = e->d_name;
    if (name != "." && name != "..") entries.emplace_back(std::move(name), e->d_type);
  }
  if (errno != 0) sink.failed(path, "failed reading folder", errno);
  const int fd = ::dirfd(dir.get());
  std::vector<std::string> folders;
  for (const auto& [name, type] : entries) {
    bool folder = type == DT_DIR;
    if (type == DT_UNKNOWN) {  // some file systems leave the type to a stat
      struct stat st;
      folder = ::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    }
    if (folder) {
      folders.push_back(join(path, name));
    } else if (!output_name(name).empty()) {
      // A link to a folder is neither searched nor decrypted; any other link is the file it
      // names, and a dangling one fails when it is opened, with its name.
      struct stat st;
      if (type == DT_LNK || type == DT_UNKNOWN) {
        if (::fstatat(fd, name.c_str(), &st, 0) == 0 && S_ISDIR(st.st_mode)) continue;
      }
      sink.file(join(path, name));
    }
  }
  dir.reset();
  for (const auto& f : folders) walk_folder(f, sink);
}

}  // namespace

std::string output_name(const std::string& name) {
  const std::string suffix = ".enc";
  if (name.size() <= suffix.size() || !name.ends_with(suffix)) return {};
  return name.substr(0, name.size() - suffix.size());
}

void walk(const std::string& path, const WalkSink& sink) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return sink.failed(path, "failed opening file", errno);
  if (S_ISDIR(st.st_mode)) return walk_folder(path, sink);
  std::string base = path.substr(path.find_last_of('/') + 1);
  if (output_name(base).empty()) return sink.failed(path, "name does not end in .enc", 0);
  sink.file(path);
}

}  // namespace ecbcat
