#include "file.hpp"

#include <cerrno>
#include <chrono>
#include <string>

#include "decrypt.hpp"
#include "fs.hpp"
#include "record.hpp"

namespace ecbcat {

Result when_taken(const Job& job, const Input& input) {
  Maybe<FolderRef> dir =
      job.folder->out ? job.folder->out->get(false) : Maybe<FolderRef>(job.folder->fd.get());
  if (!dir) return Result::left_alone;
  const Result verdict = rerun_verdict(existing_output(*dir, output_name(job.name)), input.stamp(),
                                       input.output_owner());
  return verdict == Result::done_before ? verdict : Result::left_alone;
}

FileResult decrypt_file(EcbDecryptor& aes, StreamBuffers& buffers, const Job& job,
                        PendingOutput& out, std::optional<Input>& input,
                        const StepOptions& options) {
  const std::string name = output_name(job.name);
  FileResult r;
  r.output = job.output_path();
  // The output's folder: the input's, or with -o one made now if need be (in a dry run, one
  // not made yet holds nothing, so nothing there is left alone).
  Maybe<FolderRef> dir = job.folder->out ? job.folder->out->get(!options.dry_run)
                                         : Maybe<FolderRef>(job.folder->fd.get());
  if (!dir && !(options.dry_run && dir.failure().error == ENOENT)) return dir.failure();
  // Whatever has the output's name, a link or junction included, is never replaced.
  const Existing existing = dir ? existing_output(*dir, name) : Existing{};
  // Everything below is of the file actually opened, whatever a race made the open land on.
  Maybe<Input> in = open_input(job);
  // A file a watch was told of may have gone since (--rm took it): that is no output's fault.
  if (!in && (existing.kind == Existing::none || (job.told && in.failure().error == ENOENT))) {
    return in.failure();
  }
  if (!in) {
    if (existing.record && !options.dry_run) narrow_output(*dir, name, job);
    return {Result::left_alone};
  }
  const Stamp stamp = in->stamp();
  r.bytes = stamp.size;
  // An output made from the input as it is now means the file is done, young or not. Any
  // other verdict on an output waits, like a new output, until the input is no longer changing.
  const Result verdict = existing.kind != Existing::none
                             ? rerun_verdict(existing, stamp, in->output_owner())
                             : Result::ready;
  if (verdict == Result::done_before) {
    r.what = verdict;
    if (!options.remove || options.dry_run) return r;
    // An interrupted --rm run, or a run without --rm before, left the input: it goes now, once
    // nobody writes it and its output is surely on the disk.
    if (const Result held = in->hold(); held != Result::ready) return {held};
    if (const int error = sync_existing(*dir, name)) return {Result::sync_output, error};
    input.emplace(std::move(*in));
    return r;
  }
  if (options.min_age > 0) {
    const long long now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
    if (const long long left = options.min_age * 1'000'000'000 - (now - stamp.ctime); left > 0) {
      FileResult young{Result::too_young};
      young.young_for = left;
      return young;
    }
  }
  if (const Result held = in->hold(); held != Result::ready) return {held};
  if (job.lease_only && !in->leased()) return {Result::still_arriving, ENOLCK};
  if (verdict == Result::stale_output && !options.dry_run) narrow_output(*dir, name, job);
  if (verdict != Result::ready) return {verdict};
  if (options.dry_run) {
    if (dir) {
      if (const int error = may_create_in(*dir)) return {Result::create_output, error};
    }
    // What a second file of the run aiming at the same output would meet: that output.
    const std::optional<FileKey> folder = dir ? folder_key(*dir) : std::nullopt;
    r.planned = fold_case(folder ? folder->text() + "/" + name : r.output);
    r.what = Result::would_decrypt;
    return r;
  }
  if (FileResult made = out.create(*dir, name); made.what != Result::ready) return made;
  const Outcome outcome =
      decrypt_stream(aes, in->fd(), out.fd(), buffers, true, options.between, options.context);
  FileResult done = result_of(outcome);
  // What was read is the file as it was opened, whole, and nobody began writing it meanwhile.
  if (done.what == Result::ready) done.what = in->unchanged(outcome.bytes_read);
  if (done.what == Result::ready) done = out.finish(*in, options.sync);
  if (done.what != Result::ready) return done;
  input.emplace(std::move(*in));
  return r;  // ready, with the size and the output's name
}

}  // namespace ecbcat
