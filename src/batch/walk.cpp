#include "walk.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "fs.hpp"
#include "system.hpp"

namespace ecbcat {
namespace {

// Folders below a PATH are held open from the top down to the one being read, so the depth is
// bounded: beyond it a tree would run out of descriptors, or of stack in whoever walks it.
constexpr int max_depth = 4096;

// The depth of a folder below its PATH.
int depth_of(const Folder& folder) {
  int depth = 0;
  for (const Folder* f = &folder; f->parent; f = f->parent.get()) ++depth;
  return depth;
}

}  // namespace

// One walk over all the PATHs: a folder met twice (PATHs that overlap, a bind mount inside
// itself) is searched once, so a run never takes its own outputs for inputs. Not DIR either,
// which holds outputs.
bool Walk::to_search(const FileInfo& info) {
  const FileKey key = key_of(info);
  return !(sink_.output_dir && sink_.output_dir->is_root(key)) && seen_.insert(key).second;
}

// Lists one folder whole (what is decrypted into it later must not show up here), hands on
// its files and puts its folders on the stack.
void Walk::search(const std::shared_ptr<const Folder>& folder, int depth) {
  FileResult error;
  std::vector<Entry> entries = list(*folder, error);
  if (error.what != Result::ready) sink_.failed(folder->path(), error);
  const std::size_t first_folder = pending_.size();
  for (Entry& e : entries) {
    if (e.kind == Entry::folder) {
      pending_.push_back({folder, std::move(e.name), depth + 1});
    } else if (e.kind != Entry::other && !output_name(e.name).empty()) {
      if (e.kind == Entry::file) {
        sink_.file({folder, std::move(e.name), {}});
      } else {
        sink_.failed(join(folder->path(), e.name), {e.why});
      }
    }
  }
  std::reverse(pending_.begin() + first_folder, pending_.end());  // searched in listing order
}

void Walk::open_pending(Pending p) {
  if (p.depth > max_depth) {
    return sink_.failed(join(p.parent->path(), p.name), {Result::too_deep});
  }
  Maybe<std::optional<Opened>> sub = open_folder(*p.parent, p.name);
  if (!sub) return sink_.failed(join(p.parent->path(), p.name), sub.failure());
  if (!*sub || !to_search((*sub)->info)) return;
  auto out = p.parent->out ? std::make_shared<OutputFolder>(p.parent->out, p.name, (*sub)->info,
                                                            folder_acl((*sub)->handle.get()))
                           : nullptr;
  auto folder = std::make_shared<const Folder>(std::move((*sub)->handle), std::move(p.parent),
                                               p.name, std::move(out));
  if (sink_.searching) sink_.searching(folder, key_of((*sub)->info));
  search(folder, p.depth);
}

void Walk::open_all_pending() {
  while (!pending_.empty()) {
    Pending p = std::move(pending_.back());
    pending_.pop_back();
    open_pending(std::move(p));
  }
}

void Walk::again(const std::shared_ptr<const Folder>& folder) {
  search(folder, depth_of(*folder));
  open_all_pending();
}

void Walk::added(const std::shared_ptr<const Folder>& folder, const std::string& name) {
  pending_.push_back({folder, name, depth_of(*folder) + 1});
  open_all_pending();
}

void Walk::path(const std::string& path) {
  Maybe<Opened> at = open_path(path);
  if (!at) return sink_.failed(path, at.failure());
  const std::size_t base = base_of(path);
  if (at->folder) {
    if (!to_search(at->info)) return;
    Maybe<FolderHandle> listing = open_listing(*at);
    if (!listing) return sink_.failed(path, listing.failure());
    // With -o the folder keeps its own name under DIR; ".", ".." and "/" (or a drive) have none.
    std::string name = path.substr(0, path.find_last_not_of(path_separators) + 1);
    name = name.substr(base_of(name));
    std::shared_ptr<OutputFolder> out = sink_.output_dir;
    if (out && !name.empty() && name != "." && name != "..") {
      out = std::make_shared<OutputFolder>(out, name, at->info, folder_acl(listing->get()));
    }
    auto folder =
        std::make_shared<const Folder>(std::move(*listing), nullptr, path, std::move(out));
    if (sink_.searching) sink_.searching(folder, key_of(at->info));
    search(folder, 0);
    return open_all_pending();
  }
  if (output_name(path.substr(base)).empty()) return sink_.failed(path, {Result::not_enc});
  Maybe<FolderHandle> parent = open_parent(path, base);
  if (!parent) return sink_.failed(path, parent.failure());
  sink_.file(
      {std::make_shared<const Folder>(std::move(*parent), nullptr,
                                      base == 0 ? "." : path.substr(0, base), sink_.output_dir),
       path.substr(base), path});
}

NameList::NameList(const std::string& file) : file_(file) {
  fd_ = open_list(file);
  if (fd_ < 0) {
    error_ = errno;
    return;
  }
  if (fd_ != STDIN_FILENO) owned_ = UniqueFd(fd_);
  struct stat st;
  if (::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) start_ = ::lseek(fd_, 0, SEEK_CUR);
}

bool NameList::next(std::string& name, FileResult& failure) {
  failure = {};
  if (ended_) return false;
  if (fd_ < 0) {
    ended_ = true;
    name = file_;
    failure = {Result::open_list, error_};
    return true;
  }
  name.clear();
  bool too_long = false, any = false;
  for (;;) {
    if (at_ == end_) {
      const ssize_t n = read_some(fd_, buffer_.data(), buffer_.size());
      if (n < 0) {  // a name cut short is not taken
        ended_ = true;
        name = file_;
        failure = {Result::read_list, errno};
        return true;
      }
      if (n == 0) {
        ended_ = true;
        break;
      }
      at_ = 0;
      end_ = static_cast<std::size_t>(n);
    }
    any = true;
    const unsigned char* from = buffer_.data() + at_;
    const auto* nul = static_cast<const unsigned char*>(std::memchr(from, 0, end_ - at_));
    const std::size_t len = (nul ? nul : buffer_.data() + end_) - from;
    if (!too_long && name.size() + len <= max_path_bytes) {
      name.append(reinterpret_cast<const char*>(from), len);
    } else {
      too_long = true;
    }
    at_ += len;
    if (nul) {
      ++at_;
      break;
    }
  }
  if (!any) return false;  // the end, after the last NUL or with none
  ++count_;
  if (too_long || name.empty()) {
    failure = {too_long ? Result::long_name : Result::empty_name};
    name = file_ + ":" + std::to_string(count_);
  }
  return true;
}

bool NameList::rewind() {
  if (start_ < 0 || ::lseek(fd_, start_, SEEK_SET) != start_) return false;
  at_ = end_ = 0;
  count_ = 0;
  ended_ = false;
  return true;
}

void Walk::all(const std::vector<std::string>& paths, NameList* list) {
  for (const auto& p : paths) path(p);
  std::string name;
  FileResult failure;
  while (list && list->next(name, failure)) {
    if (failure.what == Result::ready) {
      path(name);
    } else {
      sink_.failed(name, failure);
    }
  }
}

void walk(const std::vector<std::string>& paths, NameList* list, const WalkSink& sink) {
  Walk(sink).all(paths, list);
}

}  // namespace ecbcat
