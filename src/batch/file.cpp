#include "file.hpp"

#include <cerrno>
#include <string>

#include "decrypt.hpp"
#include "fs.hpp"

namespace ecbcat {

FileResult decrypt_file(EcbDecryptor& aes, StreamBuffers& buffers, const Job& job,
                        PendingOutput& out, const StepOptions& options) {
  const std::string name = output_name(job.name);
  FileResult r;
  r.output = job.output_path();
  // The output's folder: the input's, or with -o one made now if need be (in a dry run, one
  // not made yet holds nothing, so nothing there is left alone).
  Maybe<FolderRef> dir = job.folder->out ? job.folder->out->get(!options.dry_run)
                                         : Maybe<FolderRef>(job.folder->fd.get());
  if (!dir && !(options.dry_run && dir.failure().error == ENOENT)) return dir.failure();
  // Whatever has the output's name, a link or junction included, is left as it is.
  if (dir && name_taken(*dir, name)) return {Result::left_alone};
  // Everything below is of the file actually opened, whatever a race made the open land on.
  Maybe<Input> in = open_input(job);
  if (!in) return in.failure();
  r.bytes = in->size();
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
  FileResult done = result_of(decrypt_stream(aes, in->fd(), out.fd(), buffers));
  if (done.what == Result::ready) done = out.finish(*in, options.sync);
  if (done.what != Result::ready) return done;
  return r;  // ready, with the size and the output's name
}

}  // namespace ecbcat
