#pragma once

// What each system does its own way in ecbcat-batch's walk and per-file step: list a folder,
// open one name in it without following a link, tell which file a handle is, test whether a
// name is taken, open an input. walk.cpp and file.cpp hold, once for both systems, the order of
// the steps and every decision. Each primitive works relative to a folder's handle, by one
// name, and returns what it opened or what kept it from opening.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "job.hpp"
#include "record.hpp"

namespace ecbcat {

// A PATH of the command line or a folder of the walk, open, and what it is.
struct Opened {
  FolderHandle handle;
  FileInfo info;
  bool folder = false;
};

// A PATH, resolved once as given: a link or junction there is the user's own choice.
// Result::open_path when it cannot be opened.
Maybe<Opened> open_path(const std::string& path);
// A handle that lists the folder PATH `path` opened: Result::read_folder.
Maybe<FolderHandle> open_listing(Opened& path);
// The folder of a file that the command line names (base: where its last name starts), which
// takes its output: Result::open_folder, or open_path for a name that is not a file's.
Maybe<FolderHandle> open_parent(const std::string& path, std::size_t base);
// The folder `name` in `parent`, never through a link: Result::read_folder. Nothing, without a
// failure, for one that is a junction or symbolic link (Windows), which is passed over.
Maybe<std::optional<Opened>> open_folder(const Folder& parent, const std::string& name);

// A folder's entry, as the walk takes it.
struct Entry {
  enum Kind { folder, file, refused, other } kind;
  std::string name;
  Result why = Result::ready;  // for `refused`: what it is, said if it is named like an input
};
// The folder's entries, read whole. `error`: Result::read_folder where it could not be read to
// the end; the entries read before stay.
std::vector<Entry> list(const Folder& folder, FileResult& error);

// What has an output's name, for a rerun (record.hpp).
Existing existing_output(FolderRef dir, const std::string& name);
// The job's input, the file actually opened: Result::open_file, foreign_link, linked_link,
// not_regular or reparse_point where it may not be read.
Maybe<Input> open_input(const Job& job);
// --rm: removes the input that was read, once its output is named and on the disk, only if its
// name in its folder still names that file: Result::decrypted, input_replaced or remove_input.
FileResult remove_input(const Job& job, Input& in);
// --rm, for an output that an earlier run made: its data and its name on the disk, as a new
// output's are before its input goes. 0, or the errno.
int sync_existing(FolderRef dir, const std::string& name);
// An output of ours made from another version of the job's input (one whose mode its owner
// narrowed since, even so far that we may no longer read it) is made no more visible than the
// input is now: on POSIX its permission bits cut to those the input's name has, never widened
// (with an ACL, its mask too), unless that name is no longer a regular file. 0, or the errno.
int narrow_output(FolderRef dir, const std::string& name, const Job& job);
// Whether a folder the walk opened still stands where it was found (`key`: what it was): at its
// name in its parent, or as a PATH, not removed. A watch that lost changes drops one that left.
bool in_place(const Folder& folder, const FileKey& key);
// For a dry run: 0 where an output may be made in `dir`, or the errno that says why not.
int may_create_in(FolderRef dir);
// Which folder `dir` is, for a dry run's plan of the outputs.
std::optional<FileKey> folder_key(FolderRef dir);

}  // namespace ecbcat
