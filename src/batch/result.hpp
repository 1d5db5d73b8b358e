#pragma once

#include <optional>
#include <string>
#include <utility>

namespace ecbcat {

// What became of a file, or of a PATH or folder that the walk could not take. The per-file
// step and the walk return it; one place counts it and words its message.
enum class Result {
  ready,          // decrypted, whole and finished, not yet named
  decrypted,      // and named
  would_decrypt,  // in a dry run, everything a real run checks before writing held
  done_before,    // its output exists, made from the input as it is now
  left_alone,     // its output's name exists, and is not the output of this input
  planned_twice,  // in a dry run, its output is the one of a file met before
  // For a later run: the input is not taken now, and nothing is made of it.
  still_arriving,  // someone has it open for writing, or opened it while it was read
  changed,         // its size or times changed while it was read, or it ended early
  too_young,       // changed more recently than --min-age
  input_replaced,  // --rm: decrypted, but its name now names another file, which stays
  written_since,   // --rm: decrypted, but someone opened it for writing since it was read
  // Failures, each worded on its own.
  stale_output,        // its output exists, made from another version of the input
  remove_input,        // --rm: decrypted, but the input could not be removed
  input_aside,         // --rm: decrypted; moved aside, then another file took its name
  unleased_remove,     // --rm without a lease or --min-age: nothing tells it is written whole
  not_enc,             // a file named on the command line whose name is not X.enc (or -S's)
  open_path,           // a PATH of the command line that cannot be opened
  open_list,           // --files0-from's file cannot be opened
  read_list,           // nor read to its end
  empty_name,          // a name in that list is empty
  long_name,           // or longer than a path may be here
  open_output_dir,     // -o DIR cannot be made or opened
  foreign_output_dir,  // -o DIR belongs to another user
  open_folder,         // the folder of a file named on the command line
  read_folder,         // a folder of the walk that cannot be opened or listed
  too_deep,            // a folder deeper than the walk goes
  linked_link,         // a link whose target passes through another link
  reparse_point,       // a junction or symbolic link named .enc in a searched folder (Windows)
  open_file,           // the input
  foreign_link,        // a symbolic link of another user, in a searched folder
  foreign_folder,      // a symbolic link in a folder of another user
  not_regular,         // a FIFO, device, folder or socket named .enc
  output_folder,       // with -o, the output's folder
  create_output,       // the unnamed or hidden output
  read,                // the input, mid-file
  write,               // the output, mid-file or when it is closed
  setup,               // libcrypto cannot provide the cipher
  cipher,              // libcrypto failed mid-file
  memory,              // no buffers for the decryption
  output_is_input,     // cannot happen to a new output; worded all the same
  copy_attributes,     // owner, mode or times onto the output
  sync_output,         // --sync: the output or its folder did not reach the disk
  name_output,         // giving the finished output its name
  watch_folder,        // --watch: a folder cannot be watched, and is searched on a timer
  watch_ended,         // --watch: a PATH was moved or removed, and is no longer watched
};

struct FileResult {
  Result what = Result::ready;
  int error = 0;             // the errno, where the step had one
  unsigned long crypto = 0;  // libcrypto's code, for setup and cipher
  long long bytes = 0;       // the input's size, for the progress line
  std::string output = {};   // for -v, the output's path as shown
  std::string planned = {};  // in a dry run, the output's folder (its FileKey) and name
  long long young_for = 0;   // too_young: nanoseconds until the input is old enough
};

// What an input was when it was opened, and what an output records of the input it was made
// from: its size, and its last-change times of the data and of the file (in nanoseconds since
// 1970). A writer changes the size or the data's time; a copy that keeps the old time (cp -p,
// sftp put -p) still changes the file's.
struct Stamp {
  long long size = 0, mtime = 0, ctime = 0;
  bool operator==(const Stamp&) const = default;
};

// What every step of ecbcat-batch returns: the thing it opened or made, or what kept it from
// being had (a FileResult whose `what` is not Result::ready).
template <class T>
class Maybe {
 public:
  Maybe(T value) : value_(std::move(value)) {}
  Maybe(FileResult failure) : failure_(std::move(failure)) {}
  explicit operator bool() const { return value_.has_value(); }
  T& operator*() { return *value_; }
  const T& operator*() const { return *value_; }
  T* operator->() { return &*value_; }
  const FileResult& failure() const { return failure_; }

 private:
  std::optional<T> value_;
  FileResult failure_;
};

}  // namespace ecbcat
