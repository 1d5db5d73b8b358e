// ecbcat-batch [-j N] PATH...: decrypts every X.enc that the PATHs name or hold into X beside
// it, in one process with a fixed number of workers. An output appears under its name only
// once it is whole, and never in place of an existing file.
// This file is the shell: options, the queue of files, the workers, progress, signals, the
// messages and the exit status.

#include <fcntl.h>
#include <openssl/crypto.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cipher.hpp"
#include "decrypt.hpp"
#include "fdio.hpp"
#include "key.hpp"
#include "output.hpp"
#include "walk.hpp"

namespace {

using namespace ecbcat;

// Exit statuses: every file decrypted; some failed; none failed but some were left alone
// because their output existed; the command line was wrong.
constexpr int all_done = 0, some_failed = 1, some_left_alone = 2, usage_error = 64;

const char usage_text[] = "usage: ecbcat-batch [-j N] PATH...\n";

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

// Everything the threads share. One mutex guards the queue, the counts and standard error, and
// it is held while an output gets its name, so that the count a signal reports is exact.
struct Batch {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::string> queue;
  bool walk_done = false;
  long decrypted = 0, failed = 0, left_alone = 0, under_way = 0;
  long long bytes_done = 0;  // of the files decrypted, like the counts above
  long files_total = 0;
  long long bytes_total = 0;
  bool progress = false;

  static constexpr std::size_t queue_limit = 4096;

  void report(const std::string& path, const char* what, int error) {  // with the mutex held
    if (progress) std::fputs("\r\033[K", stderr);
    if (error) {
      std::fprintf(stderr, "%s: %s: %s\n", shown(path).c_str(), what, std::strerror(error));
    } else {
      std::fprintf(stderr, "%s: %s\n", shown(path).c_str(), what);
    }
  }
  void fail(const std::string& path, const char* what, int error) {
    std::lock_guard lock(mutex);
    ++failed;
    report(path, what, error);
  }
  void leave_alone(const std::string& path, const std::string& name) {  // with the mutex held
    ++left_alone;
    report(path, ("left alone: " + shown(name) + " exists").c_str(), 0);
  }
};

// Decrypts one X.enc into X; every way it can end is counted and all but success reported.
void decrypt_one(Batch& b, EcbDecryptor& aes, const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const std::string base = path.substr(slash + 1);
  const std::string name = output_name(base);
  UniqueFd dir(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return b.fail(path, "failed opening folder", errno);
  struct stat st;
  if (::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    std::lock_guard lock(b.mutex);
    return b.leave_alone(path, name);
  }
  // O_NONBLOCK: a FIFO must not hold the worker up at the open; it is refused below.
  UniqueFd in(::openat(dir.get(), base.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (in.get() < 0) return b.fail(path, "failed opening file", errno);
  if (::fstat(in.get(), &st) != 0) return b.fail(path, "failed opening file", errno);
  if (!S_ISREG(st.st_mode)) return b.fail(path, "not a regular file", 0);
  PendingOutput out;
  if (int err = out.create(dir.get(), name)) return b.fail(path, "failed creating output", err);
  Outcome o = decrypt_stream(aes, in.get(), out.fd());
  switch (o.fault) {
    case Fault::none:
      break;
    case Fault::read:
      return b.fail(path, "failed reading file", o.error);
    case Fault::write:
      return b.fail(path, "failed writing output", o.error);
    default: {
      char text[256];
      describe_crypto_error(o.crypto_error, text, sizeof text);
      return b.fail(path, ("failed decrypting: " + std::string(text)).c_str(), 0);
    }
  }
  std::lock_guard lock(b.mutex);
  int err = out.publish();
  if (err == EEXIST) return b.leave_alone(path, name);
  if (err) {
    ++b.failed;
    return b.report(path, "failed naming output", err);
  }
  ++b.decrypted;
  b.bytes_done += st.st_size;
}

void work(Batch& b) {
  EcbDecryptor aes;
  const unsigned long setup = aes.init(key);
  for (;;) {
    std::string path;
    {
      std::unique_lock lock(b.mutex);
      b.changed.wait(lock, [&] { return !b.queue.empty() || b.walk_done; });
      if (b.queue.empty()) return;
      path = std::move(b.queue.front());
      b.queue.pop_front();
      ++b.under_way;
    }
    b.changed.notify_all();  // room in the queue
    if (setup) {
      char text[256];
      describe_crypto_error(setup, text, sizeof text);
      b.fail(path, text, 0);
    } else {
      decrypt_one(b, aes, path);
    }
    std::lock_guard lock(b.mutex);
    --b.under_way;
  }
}

// Files and bytes done of the total, and the rate, redrawn on one line of the terminal about
// five times a second, and once more at the end.
void show_progress(Batch& b, const std::atomic<bool>& stop) {
  const auto start = std::chrono::steady_clock::now();
  for (int tick = 1;; ++tick) {
    const bool last = stop;
    if (last || tick % 4 == 0) {
      std::lock_guard lock(b.mutex);
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      const double mib = b.bytes_done / 1048576.0;
      std::fprintf(stderr, "\r\033[K%ld/%ld files, %.0f/%.0f MiB, %.0f MiB/s%s",
                   b.decrypted + b.failed + b.left_alone, b.files_total, mib,
                   b.bytes_total / 1048576.0, seconds > 0 ? mib / seconds : 0.0, last ? "\n" : "");
    }
    if (last) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

// SIGINT, SIGTERM and SIGHUP arrive here, not in a handler: the thread takes the mutex, so no
// output gets its name after the count is printed, removes the hidden files of the outputs
// under way and ends the process, which drops the unnamed ones.
void on_signals(Batch& b, sigset_t set) {
  int sig = 0;
  if (::sigwait(&set, &sig) != 0) return;
  std::lock_guard lock(b.mutex);
  remove_hidden_outputs();
  if (b.progress) std::fputs("\r\033[K", stderr);
  std::fprintf(stderr,
               "ecbcat-batch: interrupted: %ld decrypted, %ld failed, %ld left alone, %ld dropped "
               "unfinished, the rest not started\n",
               b.decrypted, b.failed, b.left_alone, b.under_way);
  std::_Exit(128 + sig);
}

unsigned cpus() {
  cpu_set_t set;
  if (::sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
  return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace

int main(int argc, char** argv) {
  unsigned jobs = cpus();
  int i = 1;
  for (; i < argc && argv[i][0] == '-' && argv[i][1] != '\0'; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") {
      ++i;
      break;
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

  Batch b;
  // Every thread started from here on inherits the blocked signals; only on_signals takes them.
  sigset_t signals;
  sigemptyset(&signals);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals, s);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::thread(on_signals, std::ref(b), signals).detach();

  b.progress = ::isatty(STDERR_FILENO);
  if (b.progress) {  // the totals, from a walk that only counts
    for (int k = i; k < argc; ++k) {
      walk(argv[k], {[&](const std::string& p) {
                       struct stat st;
                       ++b.files_total;
                       if (::stat(p.c_str(), &st) == 0) b.bytes_total += st.st_size;
                     },
                     [](const std::string&, const char*, int) {}});
    }
  }
  std::atomic<bool> stop_progress{false};
  std::thread progress;
  if (b.progress) progress = std::thread(show_progress, std::ref(b), std::cref(stop_progress));

  std::vector<std::thread> workers;
  for (unsigned w = 0; w < jobs; ++w) workers.emplace_back(work, std::ref(b));
  const WalkSink sink{
      [&](const std::string& path) {
        std::unique_lock lock(b.mutex);
        b.changed.wait(lock, [&] { return b.queue.size() < Batch::queue_limit; });
        b.queue.push_back(path);
        b.changed.notify_all();
      },
      [&](const std::string& path, const char* what, int error) { b.fail(path, what, error); }};
  for (; i < argc; ++i) walk(argv[i], sink);
  {
    std::lock_guard lock(b.mutex);
    b.walk_done = true;
  }
  b.changed.notify_all();
  for (auto& w : workers) w.join();
  stop_progress = true;
  if (progress.joinable()) progress.join();

  std::lock_guard lock(b.mutex);
  if (b.failed || b.left_alone) {
    std::fprintf(stderr, "ecbcat-batch: %ld decrypted, %ld failed, %ld left alone\n", b.decrypted,
                 b.failed, b.left_alone);
  }
  std::fflush(stderr);
  // The signal thread still waits; ending here must not wait for it.
  std::_Exit(b.failed ? some_failed : b.left_alone ? some_left_alone : all_done);
}
