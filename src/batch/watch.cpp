#include "watch.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <utility>

#include "fs.hpp"

namespace ecbcat {
namespace {

using Clock = std::chrono::steady_clock;
constexpr Clock::time_point never = Clock::time_point::max();

// How long a file is left after the last change told of it: a writer that sets the times or the
// mode just after its close (scp, rsync --inplace) is done by then, and is not read twice.
constexpr std::chrono::milliseconds settle{100};
// How often the folders that have no watch are searched again.
constexpr std::chrono::seconds unwatched_period{10};
// The most changes kept while their files settle (constant memory whatever arrives); past it,
// the folder of a change is searched again instead.
constexpr std::size_t most_waiting = 16384;

using NameKey = std::pair<const Folder*, std::string>;

}  // namespace

struct Watch::State {
  State(Walk& w, WatchHooks h) : walk(w), hooks(std::move(h)) {}
  Walk& walk;
  WatchHooks hooks;
  Notices notices;

  struct Held {  // a folder of the watch
    std::shared_ptr<const Folder> folder;
    FileKey key;
    long id = -1;                   // its watch: -1 for none, searched on a timer
    Clock::time_point due = never;  // when it is to be searched again
  };
  std::map<const Folder*, Held> held;
  std::map<long, const Folder*> by_id;
  std::map<NameKey, const Folder*> by_name;                // each folder, by its parent and name
  std::multimap<Clock::time_point, const Folder*> timers;  // stale entries are passed over
  Clock::time_point next_unwatched = never;
  bool said_full = false;

  struct Waiting {  // a file told of, left to settle
    Clock::time_point due;
    std::shared_ptr<const Folder> folder;
    std::string name;
    bool made;  // told only that it was made
  };
  std::deque<Waiting> waiting;  // in the order told, so in the order due
  std::map<NameKey, int> waiting_count;

  std::multimap<Clock::time_point, Waiting> retrying;  // files to try again, by when

  std::mutex mutex;  // guards `retries`, which the workers fill
  std::vector<Waiting> retries;

  void search_at(const Folder* f, Clock::time_point when) {
    auto it = held.find(f);
    if (it == held.end() || when >= it->second.due) return;
    it->second.due = when;
    timers.emplace(when, f);
  }
  // The folder a change's path is in, and the file's or folder's name there; none for a folder
  // not held (gone, or not met yet: its own search will take what it holds).
  const Folder* locate(const Change& c, std::string& name) const {
    const auto top = by_id.find(c.id);
    if (top == by_id.end()) return nullptr;
    const Folder* f = top->second;
    std::size_t from = 0;
    for (std::size_t sep; (sep = c.path.find_first_of(path_separators, from)) != std::string::npos;
         from = sep + 1) {
      const auto sub = by_name.find({f, c.path.substr(from, sep - from)});
      if (sub == by_name.end()) return nullptr;
      f = sub->second;
    }
    name = c.path.substr(from);
    return f;
  }
  // Stops watching `f` and every folder below it: they have left the tree.
  void drop(const Folder* f) {
    std::vector<const Folder*> gone;
    for (const auto& [folder, h] : held) {
      for (const Folder* up = folder; up; up = up->parent.get()) {
        if (up == f) {
          gone.push_back(folder);
          break;
        }
      }
    }
    for (const Folder* g : gone) {
      Held& h = held.at(g);
      if (h.id >= 0) {
        notices.remove(h.id);
        by_id.erase(h.id);
      }
      if (g->parent) by_name.erase({g->parent.get(), g->name});
      walk.forget(h.key);
      held.erase(g);
    }
  }
  // Drops the folders that left the tree, or a PATH removed, while no change was told of them
  // (lost in an overflow, or below a folder without a watch).
  void drop_gone() {
    std::vector<const Folder*> gone;
    for (const auto& [f, h] : held) {
      if (!in_place(*f, h.key)) gone.push_back(f);
    }
    for (const Folder* f : gone) {
      if (!held.count(f)) continue;  // below one dropped already
      if (!f->parent) hooks.failed(f->path(), {Result::watch_ended});
      drop(f);
    }
  }
  void told(const Change& c, Clock::time_point now);
  void take_due(Clock::time_point now);
};

Watch::Watch(Walk& walk, WatchHooks hooks) : s_(std::make_unique<State>(walk, std::move(hooks))) {}
Watch::~Watch() = default;

int Watch::error() const {
  return s_->notices.error();
}

void Watch::searching(const std::shared_ptr<const Folder>& folder, const FileKey& key) {
  State& s = *s_;
  int error = 0;
  State::Held h{folder, key};
  h.id = s.notices.add(*folder, !folder->parent, error);
  if (h.id >= 0) s.by_id[h.id] = folder.get();
  if (h.id == -1) {
    // Searched on a timer instead; the first such folder starts it.
    if (s.next_unwatched == never) s.next_unwatched = Clock::now() + unwatched_period;
    if (error != ENOSPC) {
      s.hooks.failed(folder->path(), {Result::watch_folder, error});
    } else if (!std::exchange(s.said_full, true)) {
      s.hooks.say("ecbcat-batch: no more folders can be watched (" + std::string(Notices::limit()) +
                  "): those past it are searched every " +
                  std::to_string(unwatched_period.count()) + " s\n");
    }
  }
  if (folder->parent) s.by_name[{folder->parent.get(), folder->name}] = folder.get();
  s.held[folder.get()] = std::move(h);
}

void Watch::retry(const Job& job, std::chrono::nanoseconds after) {
  {
    std::lock_guard lock(s_->mutex);
    s_->retries.push_back({Clock::now() + std::chrono::duration_cast<Clock::duration>(after),
                           job.folder, job.name, job.lease_only});
  }
  s_->notices.wake();
}

void Watch::State::told(const Change& c, Clock::time_point now) {
  if (c.kind == Change::overflow) {
    drop_gone();
    for (auto& [f, h] : held) search_at(f, now);
    return;
  }
  if (c.kind == Change::ended) {
    const auto it = by_id.find(c.id);
    if (it == by_id.end()) return;
    if (!it->second->parent) hooks.failed(it->second->path(), {Result::watch_ended});
    return drop(it->second);
  }
  std::string name;
  const Folder* f = locate(c, name);
  if (!f) return;
  if (c.kind == Change::left) {
    if (const auto sub = by_name.find({f, name}); sub != by_name.end()) drop(sub->second);
    return;
  }
  const std::shared_ptr<const Folder> folder = held.at(f).folder;
  if (c.kind == Change::folder) return walk.added(folder, name);
  if (output_name(name).empty()) return;
  if (waiting.size() + retrying.size() >= most_waiting) return search_at(f, now + settle);
  ++waiting_count[{f, name}];
  waiting.push_back({now + settle, folder, std::move(name), c.kind == Change::made});
}

void Watch::State::take_due(Clock::time_point now) {
  {
    std::lock_guard lock(mutex);
    for (Waiting& w : retries) {
      if (waiting.size() + retrying.size() >= most_waiting) {
        search_at(w.folder.get(), w.due);
      } else {
        retrying.emplace(w.due, std::move(w));
      }
    }
    retries.clear();
  }
  while (!retrying.empty() && retrying.begin()->first <= now) {
    Waiting w = std::move(retrying.begin()->second);
    retrying.erase(retrying.begin());
    if (held.count(w.folder.get())) hooks.file({w.folder, std::move(w.name), {}, w.made, true});
  }
  while (!waiting.empty() && waiting.front().due <= now) {
    Waiting w = std::move(waiting.front());
    waiting.pop_front();
    const auto count = waiting_count.find({w.folder.get(), w.name});
    if (--count->second > 0) continue;  // changed again since: taken once that settles
    waiting_count.erase(count);
    if (held.count(w.folder.get())) hooks.file({w.folder, std::move(w.name), {}, w.made, true});
  }
  std::vector<std::shared_ptr<const Folder>> again;
  while (!timers.empty() && timers.begin()->first <= now) {
    const auto [when, f] = *timers.begin();
    timers.erase(timers.begin());
    const auto it = held.find(f);
    if (it == held.end() || it->second.due != when) continue;
    it->second.due = never;
    again.push_back(it->second.folder);
  }
  if (next_unwatched <= now) {
    next_unwatched = now + unwatched_period;
    drop_gone();
    for (auto& [f, h] : held) {
      if (h.id == -1) again.push_back(h.folder);
    }
  }
  for (const auto& folder : again) {
    if (held.count(folder.get())) walk.again(folder);
  }
}

void Watch::run() {
  State& s = *s_;
  std::vector<Change> changes;
  while (!s.held.empty()) {
    Clock::time_point now = Clock::now();
    s.take_due(now);
    Clock::time_point next = s.next_unwatched;
    if (!s.waiting.empty()) next = std::min(next, s.waiting.front().due);
    if (!s.retrying.empty()) next = std::min(next, s.retrying.begin()->first);
    if (!s.timers.empty()) next = std::min(next, s.timers.begin()->first);
    now = Clock::now();
    const auto timeout =
        next == never ? std::chrono::milliseconds(-1)
                      : std::chrono::ceil<std::chrono::milliseconds>(std::max(next - now, {}));
    changes.clear();
    s.notices.wait(changes, timeout);
    now = Clock::now();
    for (const Change& c : changes) s.told(c, now);
  }
}

}  // namespace ecbcat
