// ecbcat-batch [OPTION]... PATH...: decrypts every X.enc that the PATHs name or hold into X
// beside it (or under DIR with -o), in one process with a fixed number of workers. An output
// appears under its name only once it is whole, and never in place of an existing file. This file
// is the shell: the queue of files, the workers, progress and signals. The options are read in
// options.cpp; what became of each file is counted and worded in report.cpp.

#include <openssl/crypto.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "cipher.hpp"
#include "fdio.hpp"
#include "file.hpp"
#include "fs.hpp"
#include "key.hpp"
#include "options.hpp"
#include "report.hpp"
#include "system.hpp"
#include "walk.hpp"
#include "watch.hpp"

namespace {

using namespace ecbcat;

struct Batch;
// The end of a run on a signal; `locked`: the caller holds the batch's mutex already.
[[noreturn]] void interrupt(Batch& b, int sig, bool locked = false);
// The end of a watch whose standard output failed (its reader gone): it would go on for good
// with nobody told what it decrypts.
[[noreturn]] void end_watch(Batch& b, int error);

// Everything the threads share. `mutex` guards the queue and the report, and is held while an
// output gets its name, so that the count a signal reports is exact; it is never held while
// writing. `io` only keeps lines whole; nothing waits for it but writers.
struct Batch {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<Job> queue;
  bool walk_done = false;
  long under_way = 0;
  long files_total = 0;
  long long bytes_total = 0;
  bool progress = false, signal_thread = true;
  Options options;
  Report report{options};
  Watch* watch = nullptr;  // with --watch, which tries again what is for a later run
  std::mutex io;
  int out_error = 0;  // of the first failed write to standard output, under io

  // Each queued file holds its folder open: this bounds the descriptors as well as the memory.
  static constexpr std::size_t queue_limit = 512;

  // Writes a file's lines, the one on standard error over the progress line. No count is held
  // up meanwhile. A standard output that fails is reported at the end.
  void tell(const Lines& lines) {
    if (!lines.out.empty()) {
      int err;
      {
        std::lock_guard lock(io);
        err = put(STDOUT_FILENO, lines.out);
        if (err && !out_error) out_error = err;
      }
      if (err && watch) end_watch(*this, err);
    }
    say(lines.err.empty() || !progress ? lines.err : "\r\033[K" + lines.err);
  }
  void say(const std::string& line) {
    if (line.empty()) return;
    std::lock_guard lock(io);
    put(STDERR_FILENO, line);
  }
  // Writes `text` whole: 0, or the errno. Without a thread for the signals, one that comes
  // while the descriptor takes nothing (a pipe or terminal that nobody reads) ends the run here.
  int put(int fd, const std::string& text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    if (signal_thread) return write_all(fd, bytes, text.size());
    int sig = 0;
    const int err = write_unless_signal(fd, bytes, text.size(), sig);
    if (sig) interrupt(*this, sig);
    return err;
  }
};

// Without a thread for the signals, one that has come ends the run; the caller holds the
// batch's mutex when `locked`.
void take_signals(Batch& b, bool locked = false) {
  if (b.signal_thread) return;
  if (const int sig = take_signal()) interrupt(b, sig, locked);
}

// What a thread decrypts with: the key expanded once, the buffers made once.
struct Decryption {
  EcbDecryptor aes;
  StreamBuffers buffers;
  unsigned long setup = aes.init(key);  // the set-up failure, if any
};

void between_chunks(void* batch) {
  take_signals(*static_cast<Batch*>(batch));
}

// What a watch does with a file for a later run: one too young is tried again once old enough;
// one still being written or changed while read, at its next change, or where the end of a
// writer's writing is not told, a second later. So is one that was told only that it was made,
// and that someone still has open for writing: a writer that links its file in whole (O_TMPFILE)
// may close it only after, and that close names no file.
void retry_later(Watch& watch, const Job& job, const FileResult& r) {
  if (r.what == Result::too_young) {
    watch.retry(job, std::chrono::nanoseconds(r.young_for));
  } else if (((r.what == Result::still_arriving || r.what == Result::changed) &&
              !Notices::closes_told()) ||
             (r.what == Result::still_arriving && job.lease_only && r.error != ENOLCK)) {
    watch.retry(job, std::chrono::seconds(1));
  }
}

// One file from the queue to its count.
void run_job(Batch& b, Decryption& d, const Job& job) {
  // Without a thread for the signals, they are taken between files and between chunks.
  take_signals(b);
  const Options& o = b.options;
  // With --rm, the output is on the disk, name and all, before the input goes.
  const bool sync = o.sync || o.remove;
  PendingOutput out;
  std::optional<Input> input;  // held until the output is named
  FileResult r = d.setup ? FileResult{Result::setup, 0, d.setup}
                         : decrypt_file(d.aes, d.buffers, job, out, input,
                                        {sync, o.dry_run, o.min_age, o.remove,
                                         b.signal_thread ? nullptr : between_chunks, &b});
  // Where no lease holds the input, a writer that pauses between writes cannot be seen: only
  // --min-age vouches that it is whole.
  const auto remove = [&](const Job& j, Input& in) {
    return in.leased() || o.min_age > 0 ? remove_input(j, in) : FileResult{Result::unleased_remove};
  };
  Lines lines;
  {
    std::lock_guard lock(b.mutex);
    if (r.what == Result::ready) {
      take_signals(b, true);  // no output gets its name after a signal
      FileResult named = out.publish(sync);
      if (named.what == Result::left_alone) named.what = when_taken(job, *input);
      if (named.what == Result::decrypted && o.remove) named = remove(job, *input);
      if (named.what != Result::decrypted) r = named;
      r.what = named.what;
    } else if (r.what == Result::done_before && input) {
      if (FileResult gone = remove(job, *input); gone.what != Result::decrypted) r = gone;
    }
    // The messages that name an output that exists say where it is.
    if (r.output.empty() && (r.what == Result::left_alone || r.what == Result::stale_output)) {
      r.output = job.output_path();
    }
    lines = b.report.count(job.path(), r);
    --b.under_way;
  }
  if (b.watch) retry_later(*b.watch, job, r);
  b.tell(lines);
}

// Without memory nothing can be worded: a fixed line.
void say_out_of_memory() {
  static const char text[] = "ecbcat-batch: a file failed: out of memory\n";
  write_all(STDERR_FILENO, reinterpret_cast<const unsigned char*>(text), sizeof text - 1);
}

void work(Batch& b) {
  Decryption d;
  for (;;) {
    std::unique_lock lock(b.mutex);
    b.changed.wait(lock, [&] { return !b.queue.empty() || b.walk_done; });
    if (b.queue.empty()) return;
    const Job job = std::move(b.queue.front());
    b.queue.pop_front();
    ++b.under_way;
    lock.unlock();
    b.changed.notify_all();  // room in the queue
    try {
      run_job(b, d, job);
    } catch (const std::bad_alloc&) {  // the file fails; the run goes on
      {
        std::lock_guard lock(b.mutex);
        b.report.count_failure();
        --b.under_way;
      }
      say_out_of_memory();
    }
  }
}

// Files and bytes done of the total, and the rate, redrawn on one line of the terminal about
// five times a second, and once more at the end, when the totals are what was done.
void show_progress(Batch& b, const std::atomic<bool>& stop) {
  const auto start = std::chrono::steady_clock::now();
  for (int tick = 1;; ++tick) {
    const bool last = stop;
    if (last || tick % 4 == 0) {
      char line[160];
      {
        std::lock_guard lock(b.mutex);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const long done = b.report.done();
        const double mib = b.report.bytes_done() / 1048576.0;
        std::snprintf(line, sizeof line, "\r\033[K%ld/%ld files, %.0f/%.0f MiB, %.0f MiB/s%s", done,
                      last ? done : std::max(done, b.files_total), mib,
                      std::max(mib, b.bytes_total / 1048576.0), seconds > 0 ? mib / seconds : 0.0,
                      last ? "\n" : "");
      }
      b.say(line);
    }
    if (last) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

// SIGINT, SIGTERM and SIGHUP end the run here. The mutex is taken and kept to the end, so no
// output gets its name after the count is taken; the hidden files of the outputs under way are
// removed and the process ends, which drops the unnamed ones. It waits for no writer: a
// standard error that nobody reads gets a moment, then the run ends anyway.
[[noreturn]] void interrupt(Batch& b, int sig, bool locked) {
  if (!locked) b.mutex.lock();
  remove_hidden_outputs();
  write_briefly((b.progress ? "\r\033[K" : "") + b.report.interrupted(b.under_way));
  std::_Exit(128 + sig);
}

[[noreturn]] void end_watch(Batch& b, int error) {
  b.mutex.lock();
  remove_hidden_outputs();
  write_briefly("ecbcat-batch: failed writing to standard output: " +
                std::string(std::strerror(error)) + "\n" + b.report.interrupted(b.under_way));
  std::_Exit(some_failed);
}

// The signals arrive here, on a thread of their own, not in a handler.
void on_signals(Batch& b) {
  if (const int sig = wait_for_signal()) interrupt(b, sig);
}

int run(int argc, char** argv) {
  Batch b;
  Options& o = b.options;
  // The arguments as this system spells names (UTF-8 on Windows, whatever the code page).
  std::vector<std::string> args = arguments(argc, argv);
  std::vector<char*> arg_pointers;
  for (auto& a : args) arg_pointers.push_back(a.data());
  arg_pointers.push_back(nullptr);
  if (const std::optional<int> status =
          parse(static_cast<int>(args.size()), arg_pointers.data(), o)) {
    return *status;
  }
  if (o.jobs == 0) o.jobs = usable_cpus();
  o.jobs = std::min(o.jobs, max_workers);
  OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG | OPENSSL_INIT_NO_ADD_ALL_CIPHERS |
                          OPENSSL_INIT_NO_ADD_ALL_DIGESTS,
                      nullptr);
  raise_descriptor_limit();

  // A thread that cannot be started is said once; the run goes on with those that did start,
  // and with none, on this thread.
  bool said = false;
  const auto start = [&](auto&&... args) -> std::thread {
    try {
      return std::thread(std::forward<decltype(args)>(args)...);
    } catch (const std::system_error& e) {
      if (!std::exchange(said, true)) {
        b.say("ecbcat-batch: cannot start a thread (" + std::string(e.code().message()) +
              "): going on with the threads it has\n");
      }
      return {};
    }
  };
  // A watch has no total to show progress against.
  b.progress = !o.watch && (o.progress < 0 ? stderr_is_terminal() : o.progress);
  // Every thread started from here on inherits the blocked signals; only on_signals takes them.
  if (route_signals()) {
    std::thread waiter = start(on_signals, std::ref(b));
    b.signal_thread = waiter.joinable();
    if (b.signal_thread) waiter.detach();
  }

  WalkSink sink;
  if (o.output_dir) {
    Maybe<std::shared_ptr<OutputFolder>> dir = open_output_dir(o.output_dir, o.dry_run);
    if (!dir) {
      b.say("ecbcat-batch: " + shown(o.output_dir) + ": " + wording(o.output_dir, dir.failure()) +
            "\n");
      return some_failed;
    }
    sink.output_dir = *dir;
  }

  std::optional<NameList> list;
  if (o.files0_from) list.emplace(o.files0_from);
  if (b.progress) {  // the totals, from a walk that only counts
    WalkSink counter = sink;
    counter.file = [&](const Job& job) {
      ++b.files_total;
      b.bytes_total += file_size(job);
    };
    counter.failed = [](const std::string&, const FileResult&) {};
    // A list that cannot be read twice (a pipe) is left out of the totals.
    const bool again = list && list->rewind();
    walk(o.paths, again ? &*list : nullptr, counter);
    if (again) list->rewind();
  }
  std::atomic<bool> stop_progress{false};
  std::thread progress;
  if (b.progress) progress = start(show_progress, std::ref(b), std::cref(stop_progress));

  std::vector<std::thread> workers;
  for (unsigned w = 0; w < o.jobs; ++w) {
    std::thread worker = start(work, std::ref(b));
    if (!worker.joinable()) break;
    workers.push_back(std::move(worker));
  }
  std::optional<Decryption> here;  // for this thread, when no worker started
  if (workers.empty()) here.emplace();
  long found = 0;
  sink.file = [&](Job job) {
    ++found;
    if (workers.empty()) {
      {
        std::lock_guard lock(b.mutex);
        ++b.under_way;
      }
      return run_job(b, *here, job);
    }
    std::unique_lock lock(b.mutex);
    b.changed.wait(lock, [&] { return b.queue.size() < Batch::queue_limit; });
    b.queue.push_back(std::move(job));
    lock.unlock();
    b.changed.notify_all();
  };
  sink.failed = [&](const std::string& path, const FileResult& r) {
    Lines lines;
    {
      std::lock_guard lock(b.mutex);
      lines = b.report.count(path, r);
    }
    b.tell(lines);
  };
  Walk walker(sink);
  std::optional<Watch> watch;
  if (o.watch) {
    watch.emplace(walker, WatchHooks{[&](Job job) { sink.file(std::move(job)); }, sink.failed,
                                     [&](const std::string& line) { b.say(line); }});
    if (const int error = watch->error()) {
      b.say("ecbcat-batch: cannot watch folders: " + std::string(std::strerror(error)) + "\n");
      std::_Exit(some_failed);  // the workers wait still
    }
    sink.searching = [&](const std::shared_ptr<const Folder>& folder, const FileKey& key) {
      watch->searching(folder, key);
    };
    b.watch = &*watch;
  }
  walker.all(o.paths, list ? &*list : nullptr);
  // With --watch, until a signal ends the process, or no folder is left to watch.
  if (watch) watch->run();
  {
    std::lock_guard lock(b.mutex);
    b.walk_done = true;
  }
  b.changed.notify_all();
  for (auto& w : workers) w.join();
  stop_progress = true;
  if (progress.joinable()) progress.join();

  // Every worker is done, so the counts stay as they are; a signal from here on reports them too.
  b.say(b.report.summary(found));
  if (b.out_error) {
    b.say("ecbcat-batch: failed writing to standard output: " +
          std::string(std::strerror(b.out_error)) + "\n");
  }
  // The signal thread still waits; ending here must not wait for it.
  std::_Exit(b.report.status(b.out_error != 0));
}

}  // namespace

int main(int argc, char** argv) {
  protect_std_descriptors();
  try {
    return run(argc, argv);
  } catch (const std::bad_alloc&) {
    say_out_of_memory();
    std::_Exit(some_failed);
  }
}
