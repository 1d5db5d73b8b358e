#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <random>

#include "fs.hpp"
#include "job.hpp"

namespace ecbcat {
namespace {

// Held while an output is made and marked for deletion, and for good by the clean-up, so that
// no output is left unmarked when the process ends.
std::mutex making;
bool stopped = false;

// The suffix of a hidden name, ".ecbcat-XXXXXX", and the longest name a folder takes.
constexpr std::size_t suffix_length = 14, name_max = 255;

int set_delete(HANDLE h, bool remove) {
  FILE_DISPOSITION_INFO info{remove};
  return ::SetFileInformationByHandle(h, FileDispositionInfo, &info, sizeof info)
             ? 0
             : errno_of(::GetLastError());
}

}  // namespace

PendingOutput::~PendingOutput() {
  if (state_.fd >= 0) ::_close(state_.fd);  // deleted by Windows unless published
}

FileResult PendingOutput::create(HANDLE dir, const std::string& name) {
  const auto failed = [](int error) { return FileResult{Result::create_output, error}; };
  state_.dir = dir;
  state_.name = wide(name);
  static thread_local std::minstd_rand random(std::random_device{}());
  std::wstring stem = L"." + state_.name.substr(0, name_max - 1 - suffix_length);
  for (int attempt = 0; attempt < 100; ++attempt) {
    wchar_t suffix[suffix_length + 1];
    std::swprintf(suffix, suffix_length + 1, L".ecbcat-%06x",
                  static_cast<unsigned>(random() & 0xffffff));
    std::lock_guard lock(making);
    if (stopped) return failed(EINTR);
    Maybe<UniqueHandle> h =
        open_at(dir, stem + suffix, GENERIC_WRITE | DELETE | FILE_READ_ATTRIBUTES, 0, FILE_CREATE,
                FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY, Result::create_output,
                FILE_ATTRIBUTE_HIDDEN);
    if (!h && h.failure().error == EEXIST) continue;
    if (!h) return h.failure();
    if (const int error = set_delete(h->get(), true)) return failed(error);
    state_.fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h->get()), _O_WRONLY | _O_BINARY);
    if (state_.fd < 0) return failed(errno);
    h->release();
    return {Result::ready};
  }
  return failed(EEXIST);
}

FileResult PendingOutput::finish(const Input& input, bool sync) {
  // The input's last-write time, and its attributes but the hidden one the output was made
  // with (and read-only, which would keep a file that is dropped from going).
  FILE_BASIC_INFO basic;
  if (!::GetFileInformationByHandleEx(input.handle(), FileBasicInfo, &basic, sizeof basic)) {
    return {Result::copy_attributes, errno_of(::GetLastError())};
  }
  basic.FileAttributes &= FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_SYSTEM |
                          FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  basic.FileAttributes |= FILE_ATTRIBUTE_NORMAL;  // alone if nothing else is set
  if (basic.FileAttributes != FILE_ATTRIBUTE_NORMAL) basic.FileAttributes &= ~FILE_ATTRIBUTE_NORMAL;
  basic.CreationTime.QuadPart = basic.LastAccessTime.QuadPart = basic.ChangeTime.QuadPart = 0;
  if (!::SetFileInformationByHandle(handle_of(state_.fd), FileBasicInfo, &basic, sizeof basic)) {
    return {Result::copy_attributes, errno_of(::GetLastError())};
  }
  if (sync && !::FlushFileBuffers(handle_of(state_.fd))) {
    return {Result::sync_output, errno_of(::GetLastError())};
  }
  return {Result::ready};
}

int sync_existing(HANDLE dir, const std::string& name) {
  // FlushFileBuffers wants a handle that may write; the file is not written.
  Maybe<UniqueHandle> h =
      open_at(dir, wide(name), FILE_WRITE_DATA | FILE_READ_ATTRIBUTES,
              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
              FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, Result::sync_output);
  if (!h) return h.failure().error;
  return ::FlushFileBuffers(h->get()) ? 0 : errno_of(::GetLastError());
}

FileResult PendingOutput::publish(bool sync) {
  const HANDLE h = handle_of(state_.fd);
  if (int error = set_delete(h, false)) return {Result::name_output, error};
  // The new name, in the same folder and through its handle; never in place of another file.
  std::string buffer(sizeof(FILE_RENAME_INFORMATION) + state_.name.size() * sizeof(wchar_t), '\0');
  auto* rename = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
  rename->ReplaceIfExists = FALSE;
  rename->RootDirectory = state_.dir;
  rename->FileNameLength = static_cast<ULONG>(state_.name.size() * sizeof(wchar_t));
  state_.name.copy(rename->FileName, state_.name.size());
  IO_STATUS_BLOCK io{};
  const NTSTATUS status = ::NtSetInformationFile(h, &io, rename, static_cast<ULONG>(buffer.size()),
                                                 FileRenameInformation);
  if (status < 0) {
    set_delete(h, true);  // dropped when it closes
    const int error = errno_of_status(status);
    return error == EEXIST ? FileResult{Result::left_alone}
                           : FileResult{Result::name_output, error};
  }
  // A Windows folder cannot be flushed by a handle we may hold; the rename is in the volume's
  // log, which FlushFileBuffers on the file writes out with it on NTFS.
  if (sync && !::FlushFileBuffers(h)) return {Result::sync_output, errno_of(::GetLastError())};
  const int fd = std::exchange(state_.fd, -1);
  if (::_close(fd) != 0) return {Result::write, errno};
  return {Result::decrypted};
}

Maybe<HANDLE> OutputFolder::get(bool make) {
  const auto failed = [](int error) { return FileResult{Result::output_folder, error}; };
  std::lock_guard lock(mutex_);
  if (handle_.valid()) return handle_.get();
  if (!parent_) return failed(ENOENT);  // DIR, in a dry run that found none
  Maybe<HANDLE> parent = parent_->get(make);
  if (!parent) return parent;
  // Never through a junction or link that stands where the folder should be.
  Maybe<UniqueHandle> h = open_at(
      *parent, wide(name_),
      FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | FILE_ADD_FILE,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, make ? FILE_OPEN_IF : FILE_OPEN,
      FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, Result::output_folder);
  if (!h) return h.failure();
  const std::optional<FileInfo> info = identify(h->get());
  if (!info) return failed(errno_of(::GetLastError()));
  if (info->attributes & FILE_ATTRIBUTE_REPARSE_POINT) return failed(EPERM);
  handle_ = std::move(*h);
  return handle_.get();
}

std::string folder_acl(HANDLE) {
  return {};  // a new folder inherits from the one it is made in
}

void remove_hidden_outputs() {
  making.lock();  // for good: the process ends now
  stopped = true;
}

}  // namespace ecbcat
