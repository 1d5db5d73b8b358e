#pragma once

#include <functional>
#include <string>

namespace ecbcat {

// What the walk reports: a file to decrypt, or a path it could not take, with its errno.
struct WalkSink {
  std::function<void(const std::string& path)> file;
  std::function<void(const std::string& path, const char* what, int error)> failed;
};

// Walks one PATH of the command line. A folder is searched at any depth, without following
// symbolic links to folders, for every entry whose name ends in ".enc" and that is not a folder
// (a regular file, or a link, which the decryption then opens or reports); a file named on the
// command line is taken when its name ends in ".enc". Each folder is read whole before any of
// its files is handed on, so outputs written beside them are never taken for inputs.
void walk(const std::string& path, const WalkSink& sink);

// "X" for "X.enc"; empty for a name that does not end in ".enc" or is ".enc" itself.
std::string output_name(const std::string& name);

}  // namespace ecbcat
