#include "walk.hpp"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <set>
#include <utility>
#include <vector>

namespace ecbcat {
namespace {

// Folders below a PATH are held open from the top down to the one being read, so the depth is
// bounded.
constexpr int max_depth = 4096;

constexpr ACCESS_MASK folder_access = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES;
constexpr ULONG share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The name after a path's last separator (or drive, as in C:name).
std::size_t base_at(const std::string& path) {
  const std::size_t slash = path.find_last_of(path_separators);
  if (slash != std::string::npos) return slash + 1;
  return path.size() >= 2 && path[1] == ':' ? 2 : 0;
}

// One walk over all the PATHs: a folder met twice is searched once, so a run never takes its
// own outputs for inputs.
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
  // Whether the folder is searched: not DIR, and not met before.
  bool to_search(const FileId& id) {
    return !(sink_.output_dir && sink_.output_dir->is_root(id)) && seen_.insert(id).second;
  }

  const WalkSink& sink_;
  std::set<FileId> seen_;
  std::vector<Pending> pending_;  // depth first, without recursion
};

// Lists one folder whole (what is decrypted into it later must not show up here), hands on
// its files and puts its folders on the stack. No junction or symbolic link in it is followed:
// one named like an input is reported, any other passed over.
void Walker::search(const std::shared_ptr<const Folder>& folder, int depth) {
  std::vector<std::pair<std::string, DWORD>> entries;
  std::vector<unsigned long long> buffer(8192);  // 64 KiB, aligned for the records
  for (auto kind = FileIdBothDirectoryRestartInfo;; kind = FileIdBothDirectoryInfo) {
    if (!::GetFileInformationByHandleEx(folder->fd.get(), kind, buffer.data(),
                                        static_cast<DWORD>(buffer.size() * sizeof buffer[0]))) {
      const DWORD error = ::GetLastError();
      if (error != ERROR_NO_MORE_FILES)
        sink_.failed(folder->path(), {Result::read_folder, errno_of(error)});
      break;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(buffer.data());
    for (std::size_t at = 0;;) {
      const auto* e = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(bytes + at);
      std::string name = narrow(e->FileName, e->FileNameLength / sizeof(wchar_t));
      if (name != "." && name != "..") entries.emplace_back(std::move(name), e->FileAttributes);
      if (e->NextEntryOffset == 0) break;
      at += e->NextEntryOffset;
    }
  }
  const std::size_t first_folder = pending_.size();
  for (auto& [name, attributes] : entries) {
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      if (!output_name(name).empty()) {
        sink_.failed(Folder::join(folder->path(), name), {Result::reparse_point});
      }
    } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
      pending_.push_back({folder, std::move(name), depth + 1});
    } else if (!output_name(name).empty()) {
      sink_.file({folder, name, {}});
    }
  }
  std::reverse(pending_.begin() + first_folder, pending_.end());  // searched in listing order
}

void Walker::open_pending(Pending p) {
  const std::string path = Folder::join(p.parent->path(), p.name);
  if (p.depth > max_depth) return sink_.failed(path, {Result::too_deep});
  // One name below a handle: a folder swapped for a junction is opened as the junction itself,
  // which is then passed over.
  int error = 0;
  UniqueHandle sub = open_at(p.parent->fd.get(), wide(p.name), folder_access, share_all, FILE_OPEN,
                             FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, error);
  FileId id;
  DWORD attributes = 0;
  if (!sub.valid()) return sink_.failed(path, {Result::read_folder, error});
  if (!identify(sub.get(), id, attributes)) {
    return sink_.failed(path, {Result::read_folder, errno_of(::GetLastError())});
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) || !to_search(id)) return;
  auto out = p.parent->out ? std::make_shared<OutputFolder>(p.parent->out, p.name) : nullptr;
  search(
      std::make_shared<const Folder>(std::move(sub), std::move(p.parent), p.name, std::move(out)),
      p.depth);
}

void Walker::path(const std::string& path) {
  // The PATH resolved once, as given: a junction or link there is the user's own choice.
  UniqueHandle at(::CreateFileW(wide(path).c_str(), folder_access | SYNCHRONIZE, share_all, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  FileId id;
  DWORD attributes = 0;
  if (!at.valid() || !identify(at.get(), id, attributes)) {
    return sink_.failed(path, {Result::open_path, errno_of(::GetLastError())});
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    if (!to_search(id)) return;  // DIR holds outputs, never inputs
    // With -o the folder keeps its own name under DIR; ".", ".." and a drive have none to keep.
    std::string name = path.substr(0, path.find_last_not_of(path_separators) + 1);
    name = name.substr(base_at(name));
    std::shared_ptr<OutputFolder> out = sink_.output_dir;
    if (out && !name.empty() && name != "." && name != "..") {
      out = std::make_shared<OutputFolder>(out, name);
    }
    search(std::make_shared<const Folder>(std::move(at), nullptr, path, std::move(out)), 0);
    while (!pending_.empty()) {
      Pending p = std::move(pending_.back());
      pending_.pop_back();
      open_pending(std::move(p));
    }
    return;
  }
  const std::size_t base = base_at(path);
  if (output_name(path.substr(base)).empty()) return sink_.failed(path, {Result::not_enc, 0});
  // NAME:STREAM names a file's alternate stream, whose output would be another file's stream.
  if (path.find(':', base) != std::string::npos) {
    return sink_.failed(path, {Result::open_path, EINVAL});
  }
  const std::string parent = base == 0 ? "." : path.substr(0, base);
  UniqueHandle folder(::CreateFileW(wide(parent).c_str(),
                                    FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, share_all,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!folder.valid()) return sink_.failed(path, {Result::open_folder, errno_of(::GetLastError())});
  sink_.file({std::make_shared<const Folder>(std::move(folder), nullptr, parent, sink_.output_dir),
              path.substr(base), path});
}

}  // namespace

void walk(const std::vector<std::string>& paths, const WalkSink& sink) {
  Walker walker(sink);
  for (const auto& path : paths) walker.path(path);
}

}  // namespace ecbcat
