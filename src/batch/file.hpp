#pragma once

#include "cipher.hpp"
#include "job.hpp"
#include "output.hpp"

namespace ecbcat {

// The per-file step: decrypts the job's X.enc into `out`, an output of X in the same folder,
// and finishes it (owner, mode, times; with `sync`, on the disk). Returns Result::ready with
// `out` waiting for its name, or what else became of the file. It names nothing and reports
// nothing: the caller names `out` and counts the result.
FileResult decrypt_file(EcbDecryptor& aes, const Job& job, PendingOutput& out, bool sync);

}  // namespace ecbcat
