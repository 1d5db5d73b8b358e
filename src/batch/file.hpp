#pragma once

#include <cerrno>
#include <memory>
#include <optional>
#include <string>

#include "cipher.hpp"
#include "decrypt.hpp"
#include "fs.hpp"
#include "job.hpp"

namespace ecbcat {

// Opens -o's DIR: made if missing (owner-only; not in a dry run, which writes nothing, and where
// it then finds none, the folder holds nothing yet), and followed if a link only as a link in a
// searched folder is, for it may stand in someone else's tree. Result::open_output_dir,
// foreign_output_dir, foreign_link or linked_link when it cannot be used.
Maybe<std::shared_ptr<OutputFolder>> open_output_dir(const std::string& path, bool dry_run);

// The size of a job's input, for the progress line's total; 0 when it cannot be told.
long long file_size(const Job& job);

// What a decryption's outcome makes of the file.
inline FileResult result_of(const Outcome& o) {
  switch (o.fault) {
    case Fault::none:
      return {Result::ready};
    case Fault::setup:
      return {Result::setup, 0, o.crypto_error};
    case Fault::cipher:
      return {Result::cipher, 0, o.crypto_error};
    case Fault::read:
      return {Result::read, o.error};
    case Fault::write:
      return {Result::write, o.error};
    case Fault::output_is_input:
      return {Result::output_is_input};
    case Fault::memory:
      return {Result::memory, o.error};
  }
  return {Result::write, EIO};
}

struct StepOptions {
  bool sync = false;      // each output on the disk before it is named
  bool dry_run = false;   // check what a real run checks before it writes, and write nothing
  long long min_age = 0;  // seconds since an input last changed before it is taken
  bool remove = false;    // --rm: an input done by an earlier run is held for removal too
  BetweenChunks between = nullptr;  // with its context, called between chunks of a decryption
  void* context = nullptr;
};

// The per-file step: decrypts the job's X.enc into `out`, an output of X in the same folder or
// its output folder, and finishes it (owner, mode, times, the record of its input; with `sync`,
// on the disk). Returns Result::ready with `out` waiting for its name and `input` holding the
// input, which nobody may start writing until it is let go (would_decrypt in a dry run); with
// `remove`, done_before with `input` held too, its output on the disk; or what else became of
// the file. It names nothing and reports nothing: the caller names `out`, then
// lets `input` go, and counts the result.
FileResult decrypt_file(EcbDecryptor& aes, StreamBuffers& buffers, const Job& job,
                        PendingOutput& out, std::optional<Input>& input,
                        const StepOptions& options);

// What an output name that another run (or another PATH naming the same file) took while this
// one decrypted means: done_before when it holds the decryption of this input as it is now,
// else left_alone.
Result when_taken(const Job& job, const Input& input);

}  // namespace ecbcat
