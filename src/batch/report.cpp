#include "report.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "cipher.hpp"
#include "decrypt.hpp"
#include "job.hpp"

namespace ecbcat {
namespace {

std::string because_of(const char* what, int error) {
  return what + (": " + std::string(std::strerror(error)));
}

// The count of files for a later run, for the last line: said only when there are any.
std::string for_later(long n) {
  return n ? ", " + std::to_string(n) + " for a later run" : "";
}

// A name as a -v line shows it on either side of " -> ": the arrow within it escaped, so that
// the line splits in one place only.
std::string arrow_safe(std::string shown) {
  for (std::size_t at = 0; (at = shown.find(" -> ", at)) != std::string::npos; at += 4) {
    shown.replace(at + 2, 1, "\\076");
  }
  return shown;
}

}  // namespace

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
    // Bidirectional controls (U+061C, U+200E-U+200F, U+202A-U+202E, U+2066-U+2069) and the line
    // and paragraph separators (U+2028-U+2029): each would make a name display as another.
    const unsigned b1 = at(1), b2 = at(2);
    if ((c == 0xd8 && b1 == 0x9c) ||
        (c == 0xe2 && ((b1 == 0x80 && (b2 == 0x8e || b2 == 0x8f || (b2 >= 0xa8 && b2 <= 0xae))) ||
                       (b1 == 0x81 && b2 >= 0xa6 && b2 <= 0xa9)))) {
      n = 0;
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

// What a run reports about a file that was not decrypted, after its name; empty for one that was.
std::string wording(const std::string& path, const FileResult& r) {
  const auto because = [&](const char* what) { return because_of(what, r.error); };
  const std::string base = path.substr(path.find_last_of(path_separators) + 1);
  // The output, by its name where it is beside the input, else by its path (-o).
  const std::string output =
      r.output.empty() || r.output.substr(0, base_of(r.output)) == path.substr(0, base_of(path))
          ? shown(output_name(base))
          : shown(r.output);
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
    case Result::done_before:
      return {};
    case Result::left_alone:
      return "left alone: " + output + " exists";
    case Result::planned_twice:
      return "left alone: " + output + " would exist by then";
    case Result::still_arriving:
      return "still being written: left for a later run";
    case Result::changed:
      return "changed while being read: left for a later run";
    case Result::too_young:
      return "changed less than --min-age ago: left for a later run";
    case Result::input_replaced:
      return "decrypted, but not removed: its name now names another file, left for a later run";
    case Result::stale_output:
      return "left alone: " + output + " is not the decryption of " + shown(base) + " as it is now";
    case Result::remove_input:
      return because("decrypted, but failed removing it");
    case Result::written_since:
      return "decrypted, but not removed: someone opened it for writing since, left for a later "
             "run";
    case Result::input_aside:
      return "decrypted, but not removed: another file took its name meanwhile, and it is kept "
             "as " +
             shown(r.output);
    case Result::unleased_remove:
      return "decrypted, but not removed: no lease can be had on it here, so nothing tells "
             "whether it is still being written; give --min-age";
    case Result::not_enc:
      return (fold_case(base).ends_with(input_suffix.folded) ? "name has no file name before "
                                                             : "name does not end in ") +
             shown(input_suffix.given);
    case Result::open_list:
      return because("failed opening list");
    case Result::read_list:
      return because("failed reading list");
    case Result::empty_name:
      return "an empty name";
    case Result::long_name:
      return "a name longer than a path may be (" + std::to_string(max_path_bytes) + " bytes)";
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
    case Result::foreign_folder:
      return "not followed: a symbolic link in a folder of another user";
    case Result::reparse_point:
      return "not followed: a junction or symbolic link";
    case Result::not_regular:
      return "not a regular file";
    case Result::output_folder:
      return because("failed making output folder");
    case Result::create_output:
      return because("failed creating output");
    case Result::read:
      return because(words_of(Fault::read).what);
    case Result::write:
      return because(words_of(Fault::write).what);
    case Result::setup:
      return crypto(words_of(Fault::setup).what);
    case Result::cipher:
      return crypto(words_of(Fault::cipher).what);
    case Result::memory:
      return because(words_of(Fault::memory).what);
    case Result::output_is_input: {
      const FaultWords words = words_of(Fault::output_is_input);
      return words.what + (": " + std::string(words.detail));
    }
    case Result::copy_attributes:
      return because("failed giving the output the input's owner, mode and times");
    case Result::sync_output:
      return because("failed syncing output");
    case Result::name_output:
      return because("failed naming output");
    case Result::watch_folder:
      return because("failed watching folder") + ": searched every 10 s instead";
    case Result::watch_ended:
      return "moved or removed: no longer watched";
  }
  return "failed";
}

Lines Report::count(const std::string& path, FileResult r) {
  Lines lines;
  // A watch tries such a file again when it changes or is old enough, passes over one that went
  // before it was taken (changes are hints), and meets a file done before whenever it searches
  // a folder again: none of them is news.
  if (o_.watch &&
      (r.what == Result::still_arriving || r.what == Result::changed ||
       r.what == Result::too_young || (r.what == Result::done_before && !o_.remove) ||
       (r.error == ENOENT && (r.what == Result::open_file || r.what == Result::remove_input ||
                              r.what == Result::read_folder)))) {
    return lines;
  }
  // A dry run names nothing, so it remembers what a run would have named by now.
  if (r.what == Result::would_decrypt && !planned_.insert(r.planned).second) {
    r.what = Result::planned_twice;
  }
  const bool decrypted = r.what == Result::decrypted || r.what == Result::would_decrypt;
  if (decrypted || r.what == Result::done_before) {
    ++(decrypted ? decrypted_ : done_before_);
    if (decrypted) bytes_done_ += r.bytes;
    if (!decrypted && (o_.verbose || (o_.dry_run && o_.remove))) {
      lines.out = shown(path) + " was decrypted before into " + shown(r.output) +
                  (!o_.remove   ? "\n"
                   : o_.dry_run ? ", would be removed\n"
                                : ", removed\n");
    } else if (decrypted && o_.dry_run) {
      lines.out =
          shown(path) +
          (o_.remove ? " would be decrypted and removed, into " : " would be decrypted into ") +
          shown(r.output) + "\n";
    } else if (decrypted && o_.verbose) {
      lines.out = arrow_safe(shown(path)) + " -> " + arrow_safe(shown(r.output)) +
                  (o_.remove ? ", removed\n" : "\n");
    }
    return lines;
  }
  switch (r.what) {
    case Result::left_alone:
    case Result::planned_twice:
      ++left_alone_;
      if (o_.quiet) return lines;
      break;
    case Result::still_arriving:
    case Result::changed:
    case Result::too_young:
    case Result::input_replaced:
    case Result::written_since:
      ++later_;
      break;
    default:
      ++failed_;
  }
  lines.err = shown(path) + ": " + wording(path, r) + "\n";
  return lines;
}

std::string Report::summary(long found) const {
  char text[240];
  text[0] = '\0';
  const std::string later = for_later(later_);
  if (o_.dry_run && (!o_.quiet || failed_ || later_)) {
    std::snprintf(text, sizeof text,
                  "ecbcat-batch: dry run, nothing written: %ld to decrypt, %ld failing, %ld to "
                  "leave alone%s\n",
                  decrypted_, failed_, left_alone_, later.c_str());
  } else if (!o_.dry_run && (failed_ || later_ || (left_alone_ && !o_.quiet))) {
    std::snprintf(text, sizeof text, "ecbcat-batch: %ld decrypted, %ld failed, %ld left alone%s\n",
                  decrypted_, failed_, left_alone_, later.c_str());
  }
  if (found == 0 && failed_ == 0 && !o_.quiet) {
    return "ecbcat-batch: no file ending in " + shown(input_suffix.given) + " found\n";
  }
  return text;
}

std::string Report::interrupted(long under_way) const {
  char text[240];
  const std::string later = for_later(later_);
  std::snprintf(text, sizeof text,
                "ecbcat-batch: interrupted: %ld decrypted, %ld failed, %ld left alone%s, %ld "
                "dropped unfinished, the rest not started\n",
                decrypted_, failed_, left_alone_, later.c_str(), under_way);
  return text;
}

int Report::status(bool out_failed) const {
  return failed_ || out_failed ? some_failed
         : left_alone_         ? some_left_alone
         : later_              ? run_again_later
                               : all_done;
}

}  // namespace ecbcat
