#pragma once

// --watch: after the first pass, the folders searched are watched, and each file is decrypted
// once it is complete, with every rule of a run. What this system tells of a folder's changes
// is in its own file (posix/watch.cpp: inotify; windows/watch.cpp: ReadDirectoryChangesW);
// what is done about them is written once, in watch.cpp.

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "job.hpp"
#include "walk.hpp"

namespace ecbcat {

// What the system told of a watched folder. Each is a hint: the file or folder is opened
// relative to its folder's handle all the same, and may be gone by then.
struct Change {
  enum Kind {
    file,      // `path` was written and closed, moved in, or had its times or mode set
    made,      // `path` was made: by a writer that may still be writing, or whole, by a link
    folder,    // `path`, a folder, was made or moved in
    left,      // `path`, a folder, was moved out or removed
    ended,     // the watched folder itself was moved, removed or unmounted
    overflow,  // changes were lost: every folder is to be searched again
  } kind;
  long id = -1;           // the watch it came from
  std::string path = {};  // below the watched folder: one name, or on Windows names joined by '\'
};

// The system's notices of change.
class Notices {
 public:
  Notices();
  ~Notices();
  Notices(const Notices&) = delete;
  Notices& operator=(const Notices&) = delete;
  // 0 where folders can be watched at all, else the errno.
  int error() const;
  // Starts watching `folder` (`top`: a PATH of the command line). Returns its watch's id, or
  // -1 with `error` set (ENOSPC: no more watches may be had), or `covered` where the watch of
  // its top tells of it already (Windows watches a PATH with all below it).
  static constexpr long covered = -2;
  long add(const Folder& folder, bool top, int& error);
  // Stops a watch.
  void remove(long id);
  // Waits for changes, at most `timeout` (negative: as long as it takes, using no CPU), or until
  // wake(); appends them to `changes`.
  void wait(std::vector<Change>& changes, std::chrono::milliseconds timeout);
  // Ends a wait early: from another thread.
  void wake();
  // Whether the end of every writer's writing is told (a close on Linux). Where it is not
  // (Windows), a file still being written is tried again on a timer.
  static bool closes_told();
  // What limits the number of watches, for the message that says it is reached.
  static const char* limit();

 private:
  struct State;
  std::unique_ptr<State> s_;
};

// What the shell gives the watch.
struct WatchHooks {
  // Queues a file found by the watch (it may wait while the queue is full).
  std::function<void(Job job)> file;
  // Counts a failure to watch a folder and says it.
  std::function<void(const std::string& path, FileResult result)> failed;
  // Says a line on standard error.
  std::function<void(const std::string& line)> say;
};

// The folders of a watch, what is known of each, and what is due when. The walk's `searching`
// hook adds each folder it lists; run() waits for changes until a signal ends the process, or
// until no folder is left to watch.
class Watch {
 public:
  Watch(Walk& walk, WatchHooks hooks);
  ~Watch();
  // 0 where folders can be watched here, else the errno.
  int error() const;
  // Takes the folder that the walk is about to list.
  void searching(const std::shared_ptr<const Folder>& folder, const FileKey& key);
  // A file whose outcome was "for a later run": tried again after `after` (from any thread);
  // its folder searched again instead where too many wait.
  void retry(const Job& job, std::chrono::nanoseconds after);
  void run();

 private:
  struct State;
  std::unique_ptr<State> s_;
};

}  // namespace ecbcat
