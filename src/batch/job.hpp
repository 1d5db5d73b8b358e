#pragma once

#include <memory>
#include <string>
#include <utility>

#include "output.hpp"

namespace ecbcat {

// A folder of the walk, open for as long as one of its files is queued or under way. Its files
// are opened, and their outputs created and named, relative to this descriptor (or its output
// folder's) and never by path, so a folder swapped for a link during the run changes nothing
// about where they go.
struct Folder {
  Folder(FolderHandle handle, std::shared_ptr<const Folder> up, std::string own,
         std::shared_ptr<OutputFolder> output = {})
      : fd(std::move(handle)),
        parent(std::move(up)),
        name(std::move(own)),
        out(std::move(output)) {}
  FolderHandle fd;
  std::shared_ptr<const Folder> parent;  // none for the top of a walk
  std::string name;                      // in the parent; at the top, the path as given
  std::shared_ptr<OutputFolder> out;     // with -o; otherwise outputs go beside their inputs
  // For messages, made when needed: a deep tree does not keep a long path for every folder.
  std::string path() const { return parent ? join(parent->path(), name) : name; }
};

// The suffix that marks an input: ".enc", or -S's. The command line sets it once, before the
// walk; it is a global since the walk's primitives ask output_name too. `folded` is as this
// system compares names (on Windows, ".ENC").
struct InputSuffix {
  explicit InputSuffix(const std::string& suffix = ".enc")
      : given(suffix), folded(fold_case(suffix)) {}
  std::string given, folded;
};
inline InputSuffix input_suffix;

// "X" for "X.enc" (with -S, X and its suffix); empty for a name that does not end in the suffix
// or whose X would be none, "." or "..". The name's end is compared, as its folder compares
// names, with the suffix's bytes: on Windows, a letter whose other case takes another number of
// bytes in UTF-8 does not match.
inline std::string output_name(const std::string& name) {
  const std::size_t n = input_suffix.given.size();
  if (name.size() <= n || fold_case(name.substr(name.size() - n)) != input_suffix.folded) return {};
  std::string x = name.substr(0, name.size() - n);
  return x == "." || x == ".." ? std::string() : x;
}

// One X.enc to decrypt into X in the same folder, or in its output folder.
struct Job {
  std::shared_ptr<const Folder> folder;
  std::string name;   // X.enc, a single name in the folder
  std::string given;  // the path as the command line gave it; empty for a file found by the walk
  // Taken only where a lease tells that nobody has it open for writing: a file --watch was told
  // was made, whose writer may still be writing, and whose close it will be told of.
  bool lease_only = false;
  // Found by --watch from a change it was told of, not by listing its folder.
  bool told = false;
  std::string path() const { return given.empty() ? join(folder->path(), name) : given; }
  // Its output's path as shown: X beside X.enc, or under its output folder.
  std::string output_path() const {
    return folder->out ? join(folder->out->path(), output_name(name))
                       : path().substr(0, path().size() - name.size() + output_name(name).size());
  }
};

}  // namespace ecbcat
