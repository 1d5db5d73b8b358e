#include "options.hpp"

#include <getopt.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "job.hpp"
#include "report.hpp"

namespace ecbcat {
namespace {

const char help_text[] =
    "usage: ecbcat-batch [OPTION]... PATH...\n"
    "Decrypt every X.enc that each PATH names or holds, at any depth, into X beside it,\n"
    "never replacing a file, never naming a partial one, and never taking a file that\n"
    "someone is still writing. A rerun tells the outputs it made from the inputs as they\n"
    "are now apart from those of an older version and from files of other origin.\n"
    "\n"
    "  -S, --suffix SUF      decrypt X.SUF into X, rather than X.enc\n"
    "      --files0-from=FILE\n"
    "                        also each PATH that FILE lists, ended by a NUL byte (-: stdin)\n"
    "  -j, --jobs N          decrypt N files at a time, 1 to 1024 (default: the CPUs)\n"
    "  -n, --dry-run         say what a run would do, and write nothing\n"
    "  -o, --output-dir DIR  put each output under DIR, at its input's path below its PATH\n"
    "  -q, --quiet           no line for a file left alone\n"
    "  -v, --verbose         a line on standard output for each file decrypted, now or before\n"
    "      --progress        show the progress line (default: when stderr is a terminal)\n"
    "      --no-progress     never show the progress line\n"
    "      --sync            each output on the disk before it gets its name\n"
    "      --rm              remove each input once its output is named and on the disk\n"
    "      --min-age SECONDS leave a file that changed less than SECONDS ago for a later run\n"
    "      --watch           then stay, and decrypt each file that arrives once it is complete,\n"
    "                        until a signal ends it\n"
    "  -h, --help            show this help and exit\n"
    "  -V, --version         show the version and exit\n"
    "      --                end the options: every argument after it is a PATH\n"
    "\n"
    "Exit status, the first that holds: 1 some failed, or an output is not the decryption\n"
    "of its input as it is now; 2 some left alone, for another file has their output's\n"
    "name; 3 some still being written, changed while read or too young: run again later;\n"
    "0 every file decrypted, now or before (or none found). 64 a wrong command line;\n"
    "129, 130, 143 after SIGHUP, SIGINT, SIGTERM. A dry run exits as the run would.\n"
    "With --watch, a file for a later run is tried again when it changes or is old enough.\n";

// Says what is wrong with the command line, and where to look.
int usage(const std::string& what) {
  std::fprintf(stderr, "ecbcat-batch: %s\nTry 'ecbcat-batch --help' for more information.\n",
               what.c_str());
  return usage_error;
}

// A path as written without its "." names and doubled or trailing separators, so that two
// spellings of one name ("d/x", "d/./x/") are told as one. Nothing is resolved.
std::string plain_spelling(const std::string& path) {
  std::string plain = path.find_first_of(path_separators) == 0 ? "/" : "";
  for (std::size_t from = 0; from < path.size();) {
    std::size_t end = path.find_first_of(path_separators, from);
    if (end == std::string::npos) end = path.size();
    const std::string name = path.substr(from, end - from);
    if (!name.empty() && name != ".") {
      if (!plain.empty() && plain.back() != '/') plain += '/';
      plain += name;
    }
    from = end + 1;
  }
  return plain;
}

// With -o, two PATHs whose outputs could meet at one name under DIR: a folder PATH keeps its
// last name there, a file PATH's output takes its name, and a PATH whose last name is "." or
// ".." (or "/") fills DIR itself, where any other could meet it. Which PATH is a folder is not
// known before the walk, so a name is claimed either way. The second would find the first's
// outputs in its place: left alone, or, with the same size and times and no record to tell them
// apart, taken for done (and with --rm, removed). Empty when there are none.
std::string clash(const Options& o) {
  const auto both = [&](const std::string& first, const std::string& second,
                        const std::string& at) {
    return shown(first) + " and " + shown(second) + " could both put outputs at " + shown(at) +
           ": give them in runs of their own";
  };
  // A name under DIR, and the PATH that claims it (as spelt plainly, and as given).
  std::map<std::string, std::pair<std::string, std::string>> taken;
  std::optional<std::pair<std::string, std::string>> filling;  // a PATH that fills DIR itself
  for (const std::string& path : o.paths) {
    const std::string spelling = plain_spelling(path);
    const std::string trimmed = path.substr(0, path.find_last_not_of(path_separators) + 1);
    const std::string last = trimmed.substr(base_of(trimmed));
    if (filling && filling->first != spelling) return both(filling->second, path, o.output_dir);
    if (last.empty() || last == "." || last == "..") {
      for (const auto& [name, by] : taken) {
        if (by.first != spelling) return both(by.second, path, o.output_dir);
      }
      filling.emplace(spelling, path);
      continue;
    }
    for (const std::string& name : {last, output_name(last)}) {
      if (name.empty()) continue;
      const auto [at, added] = taken.try_emplace(fold_case(name), spelling, path);
      if (!added && at->second.first != spelling) {
        return both(at->second.second, path, join(o.output_dir, name));
      }
    }
  }
  return {};
}

}  // namespace

std::optional<int> parse(int argc, char** argv, Options& o) {
  enum { progress = 256, no_progress, sync, remove, min_age, files0_from, watch };
  static const option longs[] = {{"suffix", required_argument, nullptr, 'S'},
                                 {"files0-from", required_argument, nullptr, files0_from},
                                 {"jobs", required_argument, nullptr, 'j'},
                                 {"dry-run", no_argument, nullptr, 'n'},
                                 {"output-dir", required_argument, nullptr, 'o'},
                                 {"quiet", no_argument, nullptr, 'q'},
                                 {"verbose", no_argument, nullptr, 'v'},
                                 {"progress", no_argument, nullptr, progress},
                                 {"no-progress", no_argument, nullptr, no_progress},
                                 {"sync", no_argument, nullptr, sync},
                                 {"rm", no_argument, nullptr, remove},
                                 {"min-age", required_argument, nullptr, min_age},
                                 {"watch", no_argument, nullptr, watch},
                                 {"help", no_argument, nullptr, 'h'},
                                 {"version", no_argument, nullptr, 'V'},
                                 {nullptr, 0, nullptr, 0}};
  opterr = 0;  // our own messages, which say what the option wants
  optind = 0;  // from the start, however often it is called
  input_suffix = InputSuffix();
  for (int c; (c = getopt_long(argc, argv, ":S:j:no:qvhV", longs, nullptr)) != -1;) {
    const std::string given = argv[optind - 1];
    switch (c) {
      case 'j':
      case min_age: {
        char* end = nullptr;
        errno = 0;
        const long long n = std::strtoll(optarg, &end, 10);
        const long long most = c == 'j' ? 1024 : 100LL * 365 * 24 * 3600;
        if (!std::isdigit(static_cast<unsigned char>(*optarg)) || *end != '\0' || errno ||
            n < (c == 'j') || n > most) {
          return usage((c == 'j' ? "-j wants a number from 1 to 1024, not '"
                                 : "--min-age wants a number of seconds, not '") +
                       std::string(optarg) + "'");
        }
        if (c == 'j') {
          o.jobs = static_cast<unsigned>(n);
        } else {
          o.min_age = n;
        }
        break;
      }
      case 'S':
        // A suffix with a separator could end no name.
        if (*optarg == '\0' ||
            std::string(optarg).find_first_of(path_separators) != std::string::npos) {
          return usage("-S wants the end of a file's name, not '" + std::string(optarg) + "'");
        }
        input_suffix = InputSuffix(optarg);
        break;
      case files0_from:
        if (*optarg == '\0') return usage("--files0-from wants a file, not ''");
        o.files0_from = optarg;
        break;
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
      case remove:
        o.remove = true;
        break;
      case watch:
        o.watch = true;
        break;
      case 'h':
        std::fputs(help_text, stdout);
        return std::fflush(stdout) == 0 && !std::ferror(stdout) ? all_done : some_failed;
      case 'V':
        std::printf("ecbcat-batch (ecbcat) %s\n", ECBCAT_VERSION);
        return std::fflush(stdout) == 0 && !std::ferror(stdout) ? all_done : some_failed;
      case ':':
        return usage(given + (optopt == 'o'           ? " wants a folder"
                              : optopt == min_age     ? " wants a number of seconds"
                              : optopt == 'S'         ? " wants the end of a file's name"
                              : optopt == files0_from ? " wants a file"
                                                      : " wants a number from 1 to 1024"));
      default:
        return usage(
            "unknown or ambiguous option '" +
            (optopt > 0 && optopt < 256 ? std::string("-") + static_cast<char>(optopt) : given) +
            "'");
    }
  }
  if (o.quiet && o.verbose) return usage("-q and -v say opposite things; give one");
  if (o.watch && o.dry_run) return usage("-n writes nothing, and --watch stays to write; give one");
  o.paths.assign(argv + optind, argv + argc);
  if (o.paths.empty() && !o.files0_from) {
    return usage("no PATH given: name the files or folders to decrypt");
  }
  if (o.output_dir) {
    if (const std::string both = clash(o); !both.empty()) return usage(both);
  }
  return std::nullopt;
}

}  // namespace ecbcat
