#include "file.hpp"

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <string>

#include "fdio.hpp"

namespace ecbcat {
namespace {

constexpr ULONG share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

}  // namespace

FileResult open_output_dir(const std::string& path, bool dry_run,
                           std::shared_ptr<OutputFolder>& dir) {
  const std::wstring name = wide(path);
  if (!dry_run) ::CreateDirectoryW(name.c_str(), nullptr);
  UniqueHandle h(::CreateFileW(
      name.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
      share_all, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  FileId id;
  DWORD attributes = 0;
  const int error = h.valid() ? 0 : errno_of(::GetLastError());
  if (!h.valid() && !(error == ENOENT && dry_run)) return {Result::open_output_dir, error};
  if (h.valid() &&
      (!identify(h.get(), id, attributes) || !(attributes & FILE_ATTRIBUTE_DIRECTORY))) {
    return {Result::open_output_dir, ENOTDIR};
  }
  dir = std::make_shared<OutputFolder>(std::move(h), path);
  return {Result::ready};
}

long long file_size(const Job& job) {
  int error = 0;
  UniqueHandle h = open_at(job.folder->fd.get(), wide(job.name), FILE_READ_ATTRIBUTES, share_all,
                           FILE_OPEN, 0, error);
  LARGE_INTEGER size{};
  return h.valid() && ::GetFileSizeEx(h.get(), &size) ? size.QuadPart : 0;
}

FileResult decrypt_file(EcbDecryptor& aes, StreamBuffers& buffers, const Job& job,
                        PendingOutput& out, const StepOptions& options) {
  const std::string name = output_name(job.name);
  FileResult r;
  r.output = job.output_path();
  int error = 0;
  const HANDLE dir =
      job.folder->out ? job.folder->out->get(!options.dry_run, error) : job.folder->fd.get();
  const bool have_dir = dir != INVALID_HANDLE_VALUE;
  if (!have_dir && !(options.dry_run && error == ENOENT)) return {Result::output_folder, error};
  // Whatever has the output's name, a junction or link included, is left as it is.
  if (have_dir && open_at(dir, wide(name), FILE_READ_ATTRIBUTES, share_all, FILE_OPEN,
                          FILE_OPEN_REPARSE_POINT, error)
                      .valid()) {
    return {Result::left_alone};
  }
  // A file found by the walk is opened as it is, a junction or link too, and refused if it is
  // one: between the listing and the open it may have been swapped for one. A file named on the
  // command line is the user's choice, links followed.
  const ULONG link = job.given.empty() ? FILE_OPEN_REPARSE_POINT : 0;
  UniqueHandle in = open_at(job.folder->fd.get(), wide(job.name),
                            FILE_READ_DATA | FILE_READ_ATTRIBUTES, FILE_SHARE_READ, FILE_OPEN,
                            FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY | link, error);
  if (!in.valid()) return {error == EISDIR ? Result::not_regular : Result::open_file, error};
  FileId id;
  DWORD attributes = 0;
  LARGE_INTEGER size{};
  if (!identify(in.get(), id, attributes) || !::GetFileSizeEx(in.get(), &size)) {
    return {Result::open_file, errno_of(::GetLastError())};
  }
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return {Result::reparse_point};
  if (::GetFileType(in.get()) != FILE_TYPE_DISK) return {Result::not_regular};
  r.bytes = size.QuadPart;
  if (options.dry_run) {
    // What a second file of the run aiming at the same output would meet: that output.
    FileId folder;
    // Windows names differ by more than case only: a.enc and A.enc aim at the same output.
    std::wstring planned =
        wide(have_dir && identify(dir, folder, attributes)
                 ? std::to_string(folder.volume) + ":" + std::to_string(folder.high) + ":" +
                       std::to_string(folder.low) + "/" + name
                 : r.output);
    ::CharUpperBuffW(planned.data(), static_cast<DWORD>(planned.size()));
    r.planned = narrow(planned.data(), planned.size());
    r.what = Result::would_decrypt;
    return r;
  }
  if (int err = out.create(dir, name)) return {Result::create_output, err};
  const HANDLE input = in.get();
  UniqueFd fd(::_open_osfhandle(reinterpret_cast<intptr_t>(input), _O_RDONLY | _O_BINARY));
  if (fd.get() < 0) return {Result::open_file, errno};
  in.release();
  FileResult done = result_of(decrypt_stream(aes, fd.get(), out.fd(), buffers));
  if (done.what == Result::ready) done = out.finish(input, options.sync);
  if (done.what != Result::ready) return done;
  return r;  // ready, with the size and the output's name
}

}  // namespace ecbcat
