#pragma once

#include "cipher.hpp"
#include "job.hpp"
#include "output.hpp"

namespace ecbcat {

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
