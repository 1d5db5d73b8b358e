#pragma once

#include <functional>
#include <string>
#include <vector>

#include "job.hpp"

namespace ecbcat {

// What the walk hands on: a file to decrypt, or a path it could not take; and with -o, DIR,
// under which each folder's outputs go, at its path below the PATH it was found under (a folder
// PATH keeps its own name), and which is not searched.
struct WalkSink {
  std::function<void(Job job)> file;
  std::function<void(const std::string& path, FileResult result)> failed;
  std::shared_ptr<OutputFolder> output_dir = {};
};

// Walks the PATHs of the command line, each taken as given, links included. A folder is
// searched at any depth for every entry whose name ends in ".enc" and that is not a folder; each
// folder below it is opened from its parent's descriptor without following a link, and a link
// to a folder is neither searched nor decrypted (on Windows, no junction or symbolic link in a
// searched folder is followed). A file named on the
// command line is taken when its name ends in ".enc". Each folder is read whole before any of
// its files is handed on, and each folder is searched once however often it is met, so outputs
// written beside their inputs are never taken for inputs. The walk is bounded in depth.
void walk(const std::vector<std::string>& paths, const WalkSink& sink);

}  // namespace ecbcat
