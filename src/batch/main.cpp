// ecbcat-batch [OPTION]... PATH...: decrypts every X.enc that the PATHs name or hold into X
// beside it (or under DIR with -o), in one process with a fixed number of workers. An output
// appears under its name only once it is whole, and never in place of an existing file. This file
// is the shell: options, the queue of files, the workers, progress, signals, and the one place
// where what became of each file is counted and worded.

#include <getopt.h>
#include <openssl/crypto.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
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
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "cipher.hpp"
#include "fdio.hpp"
#include "file.hpp"
#include "key.hpp"
#include "system.hpp"
#include "walk.hpp"

namespace {

using namespace ecbcat;

// Exit statuses: every file decrypted; some failed; none failed but some were left alone
// because their output existed; the command line was wrong.
constexpr int all_done = 0, some_failed = 1, some_left_alone = 2, usage_error = 64;

const char help_text[] =
    "usage: ecbcat-batch [OPTION]... PATH...\n"
    "Decrypt every X.enc that each PATH names or holds, at any depth, into X beside it,\n"
    "never replacing a file and never naming a partial one.\n"
    "\n"
    "  -j, --jobs N          decrypt N files at a time, 1 to 1024 (default: the CPUs)\n"
    "  -n, --dry-run         say what a run would do, and write nothing\n"
    "  -o, --output-dir DIR  put each output under DIR, at its input's path below its PATH\n"
    "  -q, --quiet           no line for a file left alone\n"
    "  -v, --verbose         a line on standard output for each file decrypted\n"
    "      --progress        show the progress line (default: when stderr is a terminal)\n"
    "      --no-progress     never show the progress line\n"
    "      --sync            each output on the disk before it gets its name\n"
    "  -h, --help            show this help and exit\n"
    "  -V, --version         show the version and exit\n"
    "\n"
    "Exit status: 0 every file decrypted (or none found); 1 some failed; 2 none failed,\n"
    "some left alone because their output existed; 64 a wrong command line; 129, 130, 143\n"
    "after SIGHUP, SIGINT, SIGTERM. A dry run exits as the run would.\n";

// The command line. Options may come anywhere before "--".
struct Options {
  unsigned jobs = 0;
  bool dry_run = false, quiet = false, verbose = false, sync = false;
  int progress = -1;  // -1: when standard error is a terminal
  const char* output_dir = nullptr;
  std::vector<std::string> paths;
};

// Says what is wrong with the command line, and where to look.
int usage(const std::string& what) {
  std::fprintf(stderr, "ecbcat-batch: %s\nTry 'ecbcat-batch --help' for more information.\n",
               what.c_str());
  return usage_error;
}

// Reads the command line into `o`; returns -1 to go on, or the status to exit with.
int parse(int argc, char** argv, Options& o) {
  enum { progress = 256, no_progress, sync };
  static const option longs[] = {{"jobs", required_argument, nullptr, 'j'},
                                 {"dry-run", no_argument, nullptr, 'n'},
                                 {"output-dir", required_argument, nullptr, 'o'},
                                 {"quiet", no_argument, nullptr, 'q'},
                                 {"verbose", no_argument, nullptr, 'v'},
                                 {"progress", no_argument, nullptr, progress},
                                 {"no-progress", no_argument, nullptr, no_progress},
                                 {"sync", no_argument, nullptr, sync},
                                 {"help", no_argument, nullptr, 'h'},
                                 {"version", no_argument, nullptr, 'V'},
                                 {nullptr, 0, nullptr, 0}};
  opterr = 0;  // our own messages, which say what the option wants
  for (int c; (c = getopt_long(argc, argv, ":j:no:qvhV", longs, nullptr)) != -1;) {
    const std::string given = argv[optind - 1];
    switch (c) {
      case 'j': {
        char* end = nullptr;
        errno = 0;
        const long n = std::strtol(optarg, &end, 10);
        if (!std::isdigit(static_cast<unsigned char>(*optarg)) || *end != '\0' || errno || n < 1 ||
            n > 1024) {
          return usage("-j wants a number from 1 to 1024, not '" + std::string(optarg) + "'");
        }
        o.jobs = static_cast<unsigned>(n);
        break;
      }
      case 'n':
        o.dry_run = true;
        break;
      case 'o':
        if (*optarg == '\0') return usage("-o wants a folder, not ''");
        o.output_dir = optarg;
        break;
      case 'q':
        o.quiet = true;
        break;
      case 'v':
        o.verbose = true;
        break;
      case progress:
      case no_progress:
        o.progress = c == progress;
        break;
      case sync:
        o.sync = true;
        break;
      case 'h':
        std::fputs(help_text, stdout);
        return std::fflush(stdout) == 0 && !std::ferror(stdout) ? all_done : some_failed;
      case 'V':
        std::printf("ecbcat-batch (ecbcat) %s\n", ECBCAT_VERSION);
        return std::fflush(stdout) == 0 && !std::ferror(stdout) ? all_done : some_failed;
      case ':':
        return usage(given +
                     (optopt == 'o' ? " wants a folder" : " wants a number from 1 to 1024"));
      default:
        return usage("unknown or ambiguous option '" +
                     (optopt ? std::string("-") + static_cast<char>(optopt) : given) + "'");
    }
  }
  if (o.quiet && o.verbose) return usage("-q and -v say opposite things; give one");
  o.paths.assign(argv + optind, argv + argc);
  if (o.paths.empty()) return usage("no PATH given: name the files or folders to decrypt");
  return -1;
}

// A name as it can be shown on a terminal: backslashes, control characters (C0, DEL and C1,
// which a terminal may take for a command) and bytes that are not UTF-8 escaped as \ooo.
std::string shown(const std::string& name) {
  std::string s;
  const auto escape = [&](unsigned char c) {
    char esc[8];
    std::snprintf(esc, sizeof esc, "\\%03o", c);
    s += esc;
  };
  for (std::size_t i = 0; i < name.size();) {
    const auto c = static_cast<unsigned char>(name[i]);
    const auto at = [&](std::size_t k) {
      return i + k < name.size() ? static_cast<unsigned char>(name[i + k]) : 0;
    };
    // The length of a well-formed UTF-8 sequence here (not overlong, not past U+10FFFF, no
    // surrogates), or 0.
    std::size_t n = c >= 0xc2 && c <= 0xdf   ? 2
                    : c >= 0xe0 && c <= 0xef ? 3
                    : c >= 0xf0 && c <= 0xf4 ? 4
                                             : 0;
    for (std::size_t k = 1; k < n; ++k) {
      if ((at(k) & 0xc0) != 0x80) n = 0;
    }
    if ((c == 0xe0 && at(1) < 0xa0) || (c == 0xed && at(1) > 0x9f) || (c == 0xf0 && at(1) < 0x90) ||
        (c == 0xf4 && at(1) > 0x8f) || (c == 0xc2 && at(1) < 0xa0)) {
      n = 0;  // overlong, a surrogate, too high, or a C1 control
    }
    if (c == '\\') {
      // Doubled, so that it cannot be read as an escape; but on Windows, where it separates
      // names and no name holds one, it stays as it is.
      s += path_separators[0] == '\\' ? "\\" : "\\\\";
    } else if (c < 0x20 || c == 0x7f || (c >= 0x80 && n == 0)) {
      escape(c);
    } else if (c < 0x80) {
      s += static_cast<char>(c);
    } else {
      s.append(name, i, n);
      i += n;
      continue;
    }
    ++i;
  }
  return s;
}

std::string because_of(const char* what, int error) {
  return what + (": " + std::string(std::strerror(error)));
}

// What a run reports about a file that was not decrypted, after its name; empty for one that was.
std::string wording(const std::string& path, const FileResult& r) {
  const auto because = [&](const char* what) { return because_of(what, r.error); };
  const auto crypto = [&](const char* what) {
    char text[256];
    describe_crypto_error(r.crypto, text, sizeof text);
    return what + (": " + std::string(text));
  };
  switch (r.what) {
    case Result::ready:
    case Result::decrypted:
    case Result::would_decrypt:
      return {};
    case Result::left_alone:
      return "left alone: " +
             shown(output_name(path.substr(path.find_last_of(path_separators) + 1))) + " exists";
    case Result::not_enc:
      return "name does not end in .enc";
    case Result::open_path:
    case Result::open_file:
      return because("failed opening file");
    case Result::open_folder:
      return because("failed opening folder");
    case Result::open_output_dir:
      return because("failed opening output folder");
    case Result::foreign_output_dir:
      return "failed opening output folder: it belongs to another user";
    case Result::read_folder:
      return because("failed reading folder");
    case Result::too_deep:
      return "not searched: deeper than 4096 folders";
    case Result::linked_link:
      return "not followed: a symbolic link whose target passes through another link";
    case Result::foreign_link:
      return "not followed: a symbolic link of another user";
    case Result::reparse_point:
      return "not followed: a junction or symbolic link";
    case Result::not_regular:
      return "not a regular file";
    case Result::output_folder:
      return because("failed making output folder");
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

// What one file gives to say: a line for standard error, one for standard output (-v, -n).
struct Lines {
  std::string err, out;
};

// Everything the threads share. `mutex` guards the queue and the counts, and is held while an
// output gets its name, so that the count a signal reports is exact; it is never held while
// writing. `io` only keeps lines whole; nothing waits for it but writers.
struct Batch {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<Job> queue;
  bool walk_done = false;
  long decrypted = 0, failed = 0, left_alone = 0, under_way = 0;
  long long bytes_done = 0;  // of the files decrypted, like the counts above
  long files_total = 0;
  long long bytes_total = 0;
  bool progress = false, signal_thread = true;
  Options options;
  std::mutex io;
  int out_error = 0;              // of the first failed write to standard output, under io
  std::set<std::string> planned;  // the outputs a dry run would have made

  // Each queued file holds its folder open: this bounds the descriptors as well as the memory.
  static constexpr std::size_t queue_limit = 512;

  // Counts what became of a file and words what there is to say of it; mutex held.
  Lines count(const std::string& path, FileResult r) {
    Lines lines;
    // A dry run names nothing, so it remembers what a run would have named by now.
    if (r.what == Result::would_decrypt && !planned.insert(r.planned).second) {
      r.what = Result::left_alone;
    }
    if (r.what == Result::decrypted || r.what == Result::would_decrypt) {
      ++decrypted;
      bytes_done += r.bytes;
      if (options.verbose || options.dry_run) {
        lines.out = shown(path) + (options.dry_run ? " would be decrypted into " : " -> ") +
                    shown(r.output) + "\n";
      }
      return lines;
    }
    r.what == Result::left_alone ? ++left_alone : ++failed;
    if (r.what == Result::left_alone && options.quiet) return lines;
    lines.err = shown(path) + ": " + wording(path, r) + "\n";
    return lines;
  }
  // Writes a file's lines, the one on standard error over the progress line. No count is held
  // up meanwhile. A standard output that fails is reported at the end.
  void tell(const Lines& lines) {
    if (!lines.out.empty()) {
      std::lock_guard lock(io);
      const int err =
          write_all(STDOUT_FILENO, reinterpret_cast<const unsigned char*>(lines.out.data()),
                    lines.out.size());
      if (err && !out_error) out_error = err;
    }
    say(lines.err.empty() || !progress ? lines.err : "\r\033[K" + lines.err);
  }
  void say(const std::string& line) {
    if (line.empty()) return;
    std::lock_guard lock(io);
    write_all(STDERR_FILENO, reinterpret_cast<const unsigned char*>(line.data()), line.size());
  }
};

[[noreturn]] void interrupt(Batch& b, int sig);

// What a thread decrypts with: the key expanded once, the buffers made once.
struct Decryption {
  EcbDecryptor aes;
  StreamBuffers buffers;
  unsigned long setup = aes.init(key);  // the set-up failure, if any
};

// One file from the queue to its count.
void run_job(Batch& b, Decryption& d, const Job& job) {
  // Without a thread for the signals, they are taken between files.
  if (!b.signal_thread) {
    if (const int sig = take_signal()) interrupt(b, sig);
  }
  PendingOutput out;
  FileResult r =
      d.setup ? FileResult{Result::setup, 0, d.setup}
              : decrypt_file(d.aes, d.buffers, job, out, {b.options.sync, b.options.dry_run});
  Lines lines;
  {
    std::lock_guard lock(b.mutex);
    if (r.what == Result::ready) {
      FileResult named = out.publish(b.options.sync);
      if (named.what != Result::decrypted) r = named;
      r.what = named.what;
    }
    lines = b.count(job.path(), r);
    --b.under_way;
  }
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
        ++b.failed;
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

// SIGINT, SIGTERM and SIGHUP end the run here. The mutex is taken and kept to the end, so no
// output gets its name after the count is taken; the hidden files of the outputs under way are
// removed and the process ends, which drops the unnamed ones. It waits for no writer: a
// standard error that nobody reads gets a moment, then the run ends anyway.
[[noreturn]] void interrupt(Batch& b, int sig) {
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
  if (int status = parse(static_cast<int>(args.size()), arg_pointers.data(), o); status >= 0) {
    return status;
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
  b.progress = o.progress < 0 ? stderr_is_terminal() : o.progress;
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

  if (b.progress) {  // the totals, from a walk that only counts
    WalkSink counter = sink;
    counter.file = [&](const Job& job) {
      ++b.files_total;
      b.bytes_total += file_size(job);
    };
    counter.failed = [](const std::string&, const FileResult&) {};
    walk(o.paths, counter);
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
      lines = b.count(path, r);
    }
    b.tell(lines);
  };
  walk(o.paths, sink);
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
  char text[200];
  text[0] = '\0';
  if (o.dry_run) {
    std::snprintf(text, sizeof text,
                  "ecbcat-batch: dry run, nothing written: %ld to decrypt, %ld failing, %ld to "
                  "leave alone\n",
                  decrypted, failed, left_alone);
  } else if (failed || (left_alone && !o.quiet)) {
    std::snprintf(text, sizeof text, "ecbcat-batch: %ld decrypted, %ld failed, %ld left alone\n",
                  decrypted, failed, left_alone);
  }
  if (found == 0 && failed == 0 && !o.quiet) {
    std::snprintf(text, sizeof text, "ecbcat-batch: no file ending in .enc found\n");
  }
  b.say(text);
  if (b.out_error) {
    b.say("ecbcat-batch: failed writing to standard output: " +
          std::string(std::strerror(b.out_error)) + "\n");
  }
  // The signal thread still waits; ending here must not wait for it.
  std::_Exit(failed || b.out_error ? some_failed : left_alone ? some_left_alone : all_done);
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
