#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <utility>

#include "fdio.hpp"

namespace ecbcat {

// With -o, where a folder's outputs go: a folder under DIR at the path of its source below the
// PATH, made on first use and never more visible than its source (output.cpp).
class OutputFolder;

// A folder of the walk, open for as long as one of its files is queued or under way. Its files
// are opened, and their outputs created and named, relative to this descriptor (or its output
// folder's) and never by path, so a folder swapped for a link during the run changes nothing
// about where they go.
struct Folder {
  Folder(int descriptor, std::shared_ptr<const Folder> up, std::string own,
         std::shared_ptr<OutputFolder> output = {})
      : fd(descriptor), parent(std::move(up)), name(std::move(own)), out(std::move(output)) {}
  UniqueFd fd;
  std::shared_ptr<const Folder> parent;  // none for the top of a walk
  std::string name;                      // in the parent; at the top, the path as given
  std::shared_ptr<OutputFolder> out;     // with -o; otherwise outputs go beside their inputs
  // For messages, made when needed: a deep tree does not keep a long path for every folder.
  std::string path() const { return parent ? join(parent->path(), name) : name; }
  static std::string join(const std::string& dir, const std::string& name) {
    return dir.ends_with('/') ? dir + name : dir + "/" + name;
  }
};

// One X.enc to decrypt into X in the same folder, or in its output folder.
struct Job {
  std::shared_ptr<const Folder> folder;
  std::string name;   // X.enc, a single name in the folder
  std::string given;  // the path as the command line gave it; empty for a file found by the walk
  std::string path() const { return given.empty() ? Folder::join(folder->path(), name) : given; }
};

// What became of a file, or of a PATH or folder that the walk could not take. The per-file
// step and the walk return it; one place counts it and words its message.
enum class Result {
  ready,          // decrypted, whole and finished, not yet named
  decrypted,      // and named
  would_decrypt,  // in a dry run, everything a real run checks before writing held
  left_alone,     // its output's name exists
  // Failures, each worded on its own.
  not_enc,          // a file named on the command line whose name does not end in .enc
  open_path,        // a PATH of the command line that cannot be opened
  open_folder,      // the folder of a file named on the command line
  read_folder,      // a folder of the walk that cannot be opened or listed
  too_deep,         // a folder deeper than the walk goes
  linked_link,      // a link whose target passes through another link
  open_file,        // the input
  foreign_link,     // a symbolic link of another user, in a searched folder
  not_regular,      // a FIFO, device, folder or socket named .enc
  output_folder,    // with -o, the output's folder
  create_output,    // the unnamed or hidden output
  read,             // the input, mid-file
  write,            // the output, mid-file or when it is closed
  setup,            // libcrypto cannot provide the cipher
  cipher,           // libcrypto failed mid-file
  memory,           // no buffers for the decryption
  output_is_input,  // cannot happen to a new output; worded all the same
  copy_attributes,  // owner, mode or times onto the output
  sync_output,      // --sync: the output or its folder did not reach the disk
  name_output,      // giving the finished output its name
};

struct FileResult {
  Result what = Result::ready;
  int error = 0;             // the errno, where the step had one
  unsigned long crypto = 0;  // libcrypto's code, for setup and cipher
  off_t bytes = 0;           // the input's size, for the progress line
  std::string output = {};   // for -v, the output's path as shown
  std::string planned = {};  // in a dry run, the output's folder (device and inode) and name
};

// Whether a symbolic link in a searched folder may be followed: only one of the user who runs
// us or of root, as the kernel's protected_symlinks rule has it in shared folders. Anyone else's
// could point at what that user cannot read, and its plaintext would land where they can.
bool may_follow_link(uid_t owner);

}  // namespace ecbcat
