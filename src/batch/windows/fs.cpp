// The walk's and the per-file step's primitives on Windows: folders as handles, and each file
// and folder opened by one name relative to its folder's handle, as it is: a junction or
// symbolic link in a searched folder is never followed.

#include "fs.hpp"

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <string>

#include "fdio.hpp"
#include "file.hpp"

namespace ecbcat {
namespace {

constexpr ACCESS_MASK folder_access = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES;
constexpr ULONG share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A path opened as Windows resolves it, for a PATH of the command line or -o's DIR.
UniqueHandle open_given(const std::string& path, ACCESS_MASK access) {
  return UniqueHandle(::CreateFileW(wide(path).c_str(), access | SYNCHRONIZE, share_all, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

}  // namespace

Maybe<std::shared_ptr<OutputFolder>> open_output_dir(const std::string& path, bool dry_run) {
  if (!dry_run) ::CreateDirectoryW(wide(path).c_str(), nullptr);
  UniqueHandle h = open_given(path, folder_access);
  const int error = h.valid() ? 0 : errno_of(::GetLastError());
  if (!h.valid() && !(error == ENOENT && dry_run))
    return FileResult{Result::open_output_dir, error};
  const std::optional<FileInfo> info = h.valid() ? identify(h.get()) : FileInfo{};
  if (!info || (h.valid() && !(info->attributes & FILE_ATTRIBUTE_DIRECTORY))) {
    return FileResult{Result::open_output_dir, ENOTDIR};
  }
  return std::make_shared<OutputFolder>(std::move(h), path, *info);
}

long long file_size(const Job& job) {
  Maybe<UniqueHandle> h = open_at(job.folder->fd.get(), wide(job.name), FILE_READ_ATTRIBUTES,
                                  share_all, FILE_OPEN, 0, Result::open_file);
  LARGE_INTEGER size{};
  return h && ::GetFileSizeEx(h->get(), &size) ? size.QuadPart : 0;
}

Maybe<Opened> open_path(const std::string& path) {
  UniqueHandle at = open_given(path, folder_access);
  const std::optional<FileInfo> info = at.valid() ? identify(at.get()) : std::nullopt;
  if (!info) return FileResult{Result::open_path, errno_of(::GetLastError())};
  const bool folder = info->attributes & FILE_ATTRIBUTE_DIRECTORY;
  return Opened{std::move(at), *info, folder};
}

Maybe<FolderHandle> open_listing(Opened& path) {
  return std::move(path.handle);  // opened to be listed already
}

Maybe<FolderHandle> open_parent(const std::string& path, std::size_t base) {
  // NAME:STREAM names a file's alternate stream, whose output would be another file's stream.
  if (path.find(':', base) != std::string::npos) return FileResult{Result::open_path, EINVAL};
  UniqueHandle folder =
      open_given(base == 0 ? "." : path.substr(0, base), FILE_TRAVERSE | FILE_READ_ATTRIBUTES);
  if (!folder.valid()) return FileResult{Result::open_folder, errno_of(::GetLastError())};
  return folder;
}

Maybe<std::optional<Opened>> open_folder(const Folder& parent, const std::string& name) {
  // One name below a handle: a folder swapped for a junction is opened as the junction itself,
  // which is then passed over.
  Maybe<UniqueHandle> sub =
      open_at(parent.fd.get(), wide(name), folder_access, share_all, FILE_OPEN,
              FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, Result::read_folder);
  if (!sub) return sub.failure();
  const std::optional<FileInfo> info = identify(sub->get());
  if (!info) return FileResult{Result::read_folder, errno_of(::GetLastError())};
  if (info->attributes & FILE_ATTRIBUTE_REPARSE_POINT) return std::optional<Opened>();
  return std::optional<Opened>(Opened{std::move(*sub), *info, true});
}

std::vector<Entry> list(const Folder& folder, FileResult& error) {
  std::vector<Entry> entries;
  std::vector<unsigned long long> buffer(8192);  // 64 KiB, aligned for the records
  for (auto kind = FileIdBothDirectoryRestartInfo;; kind = FileIdBothDirectoryInfo) {
    if (!::GetFileInformationByHandleEx(folder.fd.get(), kind, buffer.data(),
                                        static_cast<DWORD>(buffer.size() * sizeof buffer[0]))) {
      const DWORD code = ::GetLastError();
      if (code != ERROR_NO_MORE_FILES) error = {Result::read_folder, errno_of(code)};
      return entries;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(buffer.data());
    for (std::size_t at = 0;;) {
      const auto* e = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(bytes + at);
      std::string name = narrow(e->FileName, e->FileNameLength / sizeof(wchar_t));
      // No junction or symbolic link is followed: one named like an input is reported.
      const DWORD attributes = e->FileAttributes;
      const Entry::Kind kind = attributes & FILE_ATTRIBUTE_REPARSE_POINT ? Entry::refused
                               : attributes & FILE_ATTRIBUTE_DIRECTORY   ? Entry::folder
                                                                         : Entry::file;
      if (name != "." && name != "..")
        entries.push_back({kind, std::move(name), Result::reparse_point});
      if (e->NextEntryOffset == 0) break;
      at += e->NextEntryOffset;
    }
  }
}

Existing existing_output(HANDLE dir, const std::string& name) {
  Maybe<UniqueHandle> h = open_at(dir, wide(name), FILE_READ_ATTRIBUTES, share_all, FILE_OPEN,
                                  FILE_OPEN_REPARSE_POINT, Result::open_file);
  if (!h) return {};
  const std::optional<FileInfo> info = identify(h->get());
  const std::optional<Stamp> stamp = stamp_of(h->get());
  if (!info || !stamp ||
      (info->attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
    return {Existing::other};
  }
  return {Existing::file, *stamp};  // NTFS keeps no record of ours: the times tell
}

std::optional<Stamp> stamp_of(HANDLE h) {
  FILE_BASIC_INFO basic;
  LARGE_INTEGER size;
  if (!::GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic) ||
      !::GetFileSizeEx(h, &size)) {
    return std::nullopt;
  }
  // 100 ns since 1601, as nanoseconds since 1970.
  const auto ns = [](LARGE_INTEGER t) { return (t.QuadPart - 116444736000000000LL) * 100; };
  return Stamp{size.QuadPart, ns(basic.LastWriteTime), ns(basic.ChangeTime)};
}

Result Input::unchanged(long long bytes_read) const {
  const std::optional<Stamp> now = stamp_of(handle());
  return now && *now == stamp_ && bytes_read == stamp_.size ? Result::ready : Result::changed;
}

FileResult remove_input(const Job&, Input& in) {
  // The handle that was read, which nobody could rename or replace while it was open, is
  // marked: Windows removes the file when it is closed.
  FILE_DISPOSITION_INFO info{TRUE};
  if (!in.deletable()) return {Result::remove_input, EACCES};
  if (!::SetFileInformationByHandle(in.handle(), FileDispositionInfo, &info, sizeof info)) {
    return {Result::remove_input, errno_of(::GetLastError())};
  }
  return {Result::decrypted};
}

Maybe<Input> open_input(const Job& job) {
  // A file found by the walk is opened as it is, a junction or link too, and refused if it is
  // one: between the listing and the open it may have been swapped for one. A file named on the
  // command line is the user's choice, links followed.
  const ULONG link = job.given.empty() ? FILE_OPEN_REPARSE_POINT : 0;
  // With DELETE too where the file's ACL grants it, for --rm.
  const auto open = [&](ACCESS_MASK extra) {
    return open_at(job.folder->fd.get(), wide(job.name),
                   FILE_READ_DATA | FILE_READ_ATTRIBUTES | extra, FILE_SHARE_READ, FILE_OPEN,
                   FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY | link, Result::open_file);
  };
  Maybe<UniqueHandle> in = open(DELETE);
  const bool deletable = bool(in);
  if (!in && in.failure().error == EACCES) in = open(0);
  if (!in) {
    const int error = in.failure().error;
    // A sharing violation: someone has it open for writing (or without sharing it at all).
    if (error == EBUSY) return FileResult{Result::still_arriving};
    return FileResult{error == EISDIR ? Result::not_regular : Result::open_file, error};
  }
  const std::optional<FileInfo> info = identify(in->get());
  const std::optional<Stamp> stamp = stamp_of(in->get());
  if (!info || !stamp) return FileResult{Result::open_file, errno_of(::GetLastError())};
  if (info->attributes & FILE_ATTRIBUTE_REPARSE_POINT) return FileResult{Result::reparse_point};
  if (::GetFileType(in->get()) != FILE_TYPE_DISK) return FileResult{Result::not_regular};
  const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(in->get()), _O_RDONLY | _O_BINARY);
  if (fd < 0) return FileResult{Result::open_file, errno};
  in->release();
  return Input(fd, *stamp, deletable);
}

int narrow_output(HANDLE, const std::string&, const Job&) {
  return 0;  // the output's ACL is its folder's, as the input's is
}

bool in_place(const Folder&, const FileKey&) {
  return true;  // a watch of a PATH with all below it tells of every folder that leaves
}

int may_create_in(HANDLE) {
  return 0;  // what the folder's ACL allows shows only when the output is made
}

std::optional<FileKey> folder_key(HANDLE dir) {
  const std::optional<FileInfo> info = identify(dir);
  if (!info) return std::nullopt;
  return info->key;
}

}  // namespace ecbcat
