#pragma once

#include "cipher.hpp"
#include "job.hpp"
#include "output.hpp"

namespace ecbcat {

// Opens `name` in the folder `dir` (or AT_FDCWD) with `flags`. A symbolic link there is
// followed only when may_follow_link allows its owner, and its target may pass through no
// further link; the link is held by an O_PATH descriptor from the check to the reading of its
// target, so one swapped in between is never the one followed. Returns the descriptor, or -1
// with `refused` set (foreign_link, linked_link) or errno set.
int open_unswappable(int dir, const char* name, int flags, Result& refused);

struct StepOptions {
  bool sync = false;     // each output on the disk before it is named
  bool dry_run = false;  // check what a real run checks before it writes, and write nothing
};

// The per-file step: decrypts the job's X.enc into `out`, an output of X in the same folder or
// its output folder, and finishes it (owner, mode, times; with `sync`, on the disk). Returns
// Result::ready with `out` waiting for its name (would_decrypt in a dry run), or what else
// became of the file. It names nothing and reports nothing: the caller names `out` and counts
// the result.
FileResult decrypt_file(EcbDecryptor& aes, const Job& job, PendingOutput& out,
                        const StepOptions& options);

}  // namespace ecbcat
