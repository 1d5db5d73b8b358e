#include "options.hpp"

#include <getopt.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "report.hpp"

namespace ecbcat {
namespace {

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

// Says what is wrong with the command line, and where to look.
int usage(const std::string& what) {
  std::fprintf(stderr, "ecbcat-batch: %s\nTry 'ecbcat-batch --help' for more information.\n",
               what.c_str());
  return usage_error;
}

}  // namespace

std::optional<int> parse(int argc, char** argv, Options& o) {
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
  optind = 0;  // from the start, however often it is called
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
  return std::nullopt;
}

}  // namespace ecbcat
