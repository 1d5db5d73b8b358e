#pragma once

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "fdio.hpp"
#include "job.hpp"

namespace ecbcat {

// What the walk hands on: a file to decrypt, or a path it could not take; and with -o, DIR,
// under which each folder's outputs go, at its path below the PATH it was found under (a folder
// PATH keeps its own name), and which is not searched.
struct WalkSink {
  std::function<void(Job job)> file;
  std::function<void(const std::string& path, FileResult result)> failed;
  std::shared_ptr<OutputFolder> output_dir = {};
  // With --watch: a folder about to be listed, so that what arrives in it from now on is told.
  std::function<void(const std::shared_ptr<const Folder>& folder, const FileKey& key)> searching =
      {};
};

// --files0-from's list of PATHs, each ended by a NUL byte (the last one may lack it), read a
// buffer at a time as the walk takes them: a list of any length costs the buffer and one name,
// and a name longer than a path may be is skipped to its end, not held.
class NameList {
 public:
  // Opens `file`, as given; "-" is standard input, read from where it stands.
  explicit NameList(const std::string& file);
  // The next name into `name`: true with `failure` ready for a PATH, or with `name` set to what
  // the failure is of (FILE:N for the Nth name, empty or too long; FILE itself when it cannot
  // be opened or read, after which the list ends); false at the end of the list.
  bool next(std::string& name, FileResult& failure);
  // Back to where the list started, for a second walk: false, and nothing done, when it cannot
  // go back (a pipe, a terminal), or did not open.
  bool rewind();

 private:
  std::string file_;
  UniqueFd owned_;  // none for standard input
  int fd_ = -1;
  int error_ = 0;         // of the open
  long long start_ = -1;  // the list's offset where it starts, in a file
  long long count_ = 0;   // names taken so far
  std::size_t at_ = 0, end_ = 0;
  bool ended_ = false;
  std::vector<unsigned char> buffer_ = std::vector<unsigned char>(65536);  // not on the stack
};

// Walks the PATHs of the command line, then those of `list` if any, each taken as given, links
// included. A folder is
// searched at any depth for every entry whose name ends in ".enc" and that is not a folder; each
// folder below it is opened from its parent's descriptor without following a link, and a link
// to a folder is neither searched nor decrypted (on Windows, no junction or symbolic link in a
// searched folder is followed). A file named on the
// command line is taken when its name ends in ".enc". Each folder is read whole before any of
// its files is handed on, and each folder is searched once however often it is met, so outputs
// written beside their inputs are never taken for inputs. The walk is bounded in depth. With
// -S, its suffix takes the place of ".enc" (output_name).
void walk(const std::vector<std::string>& paths, NameList* list, const WalkSink& sink);

// The same walk, kept for --watch, which searches folders again and searches those that appear.
class Walk {
 public:
  explicit Walk(const WalkSink& sink) : sink_(sink) {}
  // The PATHs of the command line, then those of `list` if any.
  void all(const std::vector<std::string>& paths, NameList* list);
  // A PATH of the command line.
  void path(const std::string& path);
  // A folder searched before, listed again: its files handed on, and its folders not met before
  // searched at any depth.
  void again(const std::shared_ptr<const Folder>& folder);
  // The folder `name` that appeared in `folder`: searched at any depth, unless met before.
  void added(const std::shared_ptr<const Folder>& folder, const std::string& name);
  // A folder that left the tree: if it comes back, it is searched again.
  void forget(const FileKey& key) { seen_.erase(key); }

 private:
  struct Pending {  // a folder to search, named in its parent
    std::shared_ptr<const Folder> parent;
    std::string name;
    int depth;
  };
  void search(const std::shared_ptr<const Folder>& folder, int depth);
  void open_pending(Pending p);
  void open_all_pending();
  bool to_search(const FileInfo& info);

  const WalkSink& sink_;
  std::set<FileKey> seen_;
  std::vector<Pending> pending_;  // depth first, without recursion
};

}  // namespace ecbcat
