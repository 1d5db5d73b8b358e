// ecbcat-batch [-j N] [--sync] PATH...: decrypts every X.enc that the PATHs name or hold into X
// beside it, in one process with a fixed number of workers. An output appears under its name
// only once it is whole, and never in place of an existing file.
// This file is the shell: options, the queue of files, the workers, progress, signals, and the
// one place where what became of each file is counted and worded.

#include <openssl/crypto.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "cipher.hpp"
#include "fdio.hpp"
#include "file.hpp"
#include "key.hpp"
#include "output.hpp"
#include "system.hpp"
#include "walk.hpp"

namespace {

using namespace ecbcat;

// Exit statuses: every file decrypted; some failed; none failed but some were left alone
// because their output existed; the command line was wrong.
constexpr int all_done = 0, some_failed = 1, some_left_alone = 2, usage_error = 64;

const char usage_text[] = "usage: ecbcat-batch [-j N] [--sync] PATH...\n";

// A name as it can be shown on a terminal: control characters and backslashes escaped.
std::string shown(const std::string& name) {
  std::string s;
  for (unsigned char c : name) {
    if (c == '\\') {
      s += "\\\\";
    } else if (c < 0x20 || c == 0x7f) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\%03o", c);
      s += esc;
    } else {
      s += static_cast<char>(c);
    }
  }
  return s;
}

// What a run reports about a file that was not decrypted, after its name; empty for one that was.
std::string wording(const std::string& path, const FileResult& r) {
  const auto because = [&](const char* what) {
    return what + (": " + std::string(std::strerror(r.error)));
  };
  const auto crypto = [&](const char* what) {
    char text[256];
    describe_crypto_error(r.crypto, text, sizeof text);
    return what + (": " + std::string(text));
  };
  switch (r.what) {
    case Result::ready:
    case Result::decrypted:
      return {};
    case Result::left_alone:
      return "left alone: " + shown(output_name(path.substr(path.find_last_of('/') + 1))) +
             " exists";
    case Result::not_enc:
      return "name does not end in .enc";
    case Result::open_path:
    case Result::open_file:
      return because("failed opening file");
    case Result::open_folder:
      return because("failed opening folder");
    case Result::read_folder:
      return because("failed reading folder");
    case Result::foreign_link:
      return "not followed: a symbolic link of another user";
    case Result::not_regular:
      return "not a regular file";
    case Result::create_output:
      return because("failed creating output");
    case Result::read:
      return because("failed reading file");
    case Result::write:
      return because("failed writing output");
    case Result::setup:
      return crypto("failed setting up AES-128-ECB");
    case Result::cipher:
      return crypto("failed decrypting");
    case Result::memory:
      return because("failed allocating buffers");
    case Result::output_is_input:
      return "failed writing output: input file is output file";
    case Result::copy_attributes:
      return because("failed giving the output the input's owner, mode and times");
    case Result::sync_output:
      return because("failed syncing output");
    case Result::name_output:
      return because("failed naming output");
  }
  return "failed";
}

// Everything the threads share. `mutex` guards the queue and the counts, and is held while an
// output gets its name, so that the count a signal reports is exact; it is never held while
// writing. `io` only keeps lines on standard error whole; nothing waits for it but writers.
struct Batch {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<Job> queue;
  bool walk_done = false;
  long decrypted = 0, failed = 0, left_alone = 0, under_way = 0;
  long long bytes_done = 0;  // of the files decrypted, like the counts above
  long files_total = 0;
  long long bytes_total = 0;
  bool progress = false, sync = false;
  std::mutex io;

  // Each queued file holds its folder open: this bounds the descriptors as well as the memory.
  static constexpr std::size_t queue_limit = 512;

  // Counts what became of a file and returns its message line (empty for none); mutex held.
  std::string count(const std::string& path, const FileResult& r) {
    if (r.what == Result::decrypted) {
      ++decrypted;
      bytes_done += r.bytes;
    } else if (r.what == Result::left_alone) {
      ++left_alone;
    } else {
      ++failed;
    }
    const std::string what = wording(path, r);
    return what.empty() ? what : shown(path) + ": " + what + "\n";
  }
  // Writes a line to standard error, over the progress line. No count is held up meanwhile.
  void say(const std::string& line) {
    if (line.empty()) return;
    std::lock_guard lock(io);
    write_all(STDERR_FILENO, reinterpret_cast<const unsigned char*>(line.data()), line.size());
  }
  void say_over_progress(const std::string& line) {
    say(line.empty() || !progress ? line : "\r\033[K" + line);
  }
};

// One file from the queue to its count; `setup` is the decryptor's set-up failure, if any.
void run_job(Batch& b, EcbDecryptor& aes, unsigned long setup, const Job& job) {
  PendingOutput out;
  FileResult r = setup ? FileResult{Result::setup, 0, setup} : decrypt_file(aes, job, out, b.sync);
  std::string line;
  {
    std::lock_guard lock(b.mutex);
    if (r.what == Result::ready) {
      const off_t bytes = r.bytes;
      r = out.publish(b.sync);
      r.bytes = bytes;
    }
    line = b.count(job.path, r);
    --b.under_way;
  }
  b.say_over_progress(line);
}

void work(Batch& b) {
  EcbDecryptor aes;
  const unsigned long setup = aes.init(key);
  for (;;) {
    std::unique_lock lock(b.mutex);
    b.changed.wait(lock, [&] { return !b.queue.empty() || b.walk_done; });
    if (b.queue.empty()) return;
    const Job job = std::move(b.queue.front());
    b.queue.pop_front();
    ++b.under_way;
    lock.unlock();
    b.changed.notify_all();  // room in the queue
    run_job(b, aes, setup, job);
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
        const long done = b.decrypted + b.failed + b.left_alone;
        const double mib = b.bytes_done / 1048576.0;
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

// SIGINT, SIGTERM and SIGHUP arrive here, not in a handler. The thread takes the mutex and
// keeps it to the end, so no output gets its name after the count is taken, removes the hidden
// files of the outputs under way and ends the process, which drops the unnamed ones. It waits
// for no writer: a standard error that nobody reads gets a moment, then the run ends anyway.
void on_signals(Batch& b) {
  const int sig = wait_for_signal();
  if (sig == 0) return;
  b.mutex.lock();
  remove_hidden_outputs();
  char text[200];
  std::snprintf(text, sizeof text,
                "%secbcat-batch: interrupted: %ld decrypted, %ld failed, %ld left alone, %ld "
                "dropped unfinished, the rest not started\n",
                b.progress ? "\r\033[K" : "", b.decrypted, b.failed, b.left_alone, b.under_way);
  write_briefly(text);
  std::_Exit(128 + sig);
}

}  // namespace

int main(int argc, char** argv) {
  protect_std_descriptors();
  unsigned jobs = usable_cpus();
  bool sync = false;
  int i = 1;
  for (; i < argc && argv[i][0] == '-' && argv[i][1] != '\0'; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg == "--sync") {
      sync = true;
      continue;
    }
    const char* n = arg.starts_with("-j") ? (arg.size() > 2 ? argv[i] + 2 : argv[++i]) : nullptr;
    char* end = nullptr;
    const long value = n ? std::strtol(n, &end, 10) : 0;
    if (!n || *n == '\0' || *end != '\0' || value < 1 || value > 1024) {
      std::fputs(usage_text, stderr);
      return usage_error;
    }
    jobs = static_cast<unsigned>(value);
  }
  if (i >= argc) {
    std::fputs(usage_text, stderr);
    return usage_error;
  }
  OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG | OPENSSL_INIT_NO_ADD_ALL_CIPHERS |
                          OPENSSL_INIT_NO_ADD_ALL_DIGESTS,
                      nullptr);
  raise_descriptor_limit();

  Batch b;
  b.sync = sync;
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
  // Every thread started from here on inherits the blocked signals; only on_signals takes them.
  if (route_signals()) {
    std::thread waiter = start(on_signals, std::ref(b));
    if (waiter.joinable()) {
      waiter.detach();
    } else {
      unroute_signals();
    }
  }

  b.progress = ::isatty(STDERR_FILENO);
  if (b.progress) {  // the totals, from a walk that only counts
    for (int k = i; k < argc; ++k) {
      walk(argv[k], {[&](const Job& job) {
                       struct stat st;
                       ++b.files_total;
                       if (::fstatat(job.folder->fd.get(), job.name.c_str(), &st, 0) == 0) {
                         b.bytes_total += st.st_size;
                       }
                     },
                     [](const std::string&, const FileResult&) {}});
    }
  }
  std::atomic<bool> stop_progress{false};
  std::thread progress;
  if (b.progress) progress = start(show_progress, std::ref(b), std::cref(stop_progress));

  std::vector<std::thread> workers;
  for (unsigned w = 0; w < jobs; ++w) {
    std::thread worker = start(work, std::ref(b));
    if (!worker.joinable()) break;
    workers.push_back(std::move(worker));
  }
  EcbDecryptor aes;  // for this thread, when no worker started
  const unsigned long setup = workers.empty() ? aes.init(key) : 0;
  const WalkSink sink{[&](Job job) {
                        if (workers.empty()) {
                          {
                            std::lock_guard lock(b.mutex);
                            ++b.under_way;
                          }
                          return run_job(b, aes, setup, job);
                        }
                        std::unique_lock lock(b.mutex);
                        b.changed.wait(lock, [&] { return b.queue.size() < Batch::queue_limit; });
                        b.queue.push_back(std::move(job));
                        lock.unlock();
                        b.changed.notify_all();
                      },
                      [&](const std::string& path, const FileResult& r) {
                        std::string line;
                        {
                          std::lock_guard lock(b.mutex);
                          line = b.count(path, r);
                        }
                        b.say_over_progress(line);
                      }};
  for (; i < argc; ++i) walk(argv[i], sink);
  {
    std::lock_guard lock(b.mutex);
    b.walk_done = true;
  }
  b.changed.notify_all();
  for (auto& w : workers) w.join();
  stop_progress = true;
  if (progress.joinable()) progress.join();

  // Every worker is done, so the counts stay as they are; a signal from here on reports them too.
  const long decrypted = b.decrypted, failed = b.failed, left_alone = b.left_alone;
  if (failed || left_alone) {
    char text[160];
    std::snprintf(text, sizeof text, "ecbcat-batch: %ld decrypted, %ld failed, %ld left alone\n",
                  decrypted, failed, left_alone);
    b.say(text);
  }
  // The signal thread still waits; ending here must not wait for it.
  std::_Exit(failed ? some_failed : left_alone ? some_left_alone : all_done);
}
