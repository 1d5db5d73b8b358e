// --watch's notices on Windows: one ReadDirectoryChangesW watch on each PATH of the command line,
// with all below it, through a handle opened again from the folder's own handle, so that a
// folder swapped for a junction meanwhile cannot move it. Every watch completes to one I/O
// completion port, which a wait blocks on: any number of PATHs, and no CPU while nothing
// happens.

#include "watch.hpp"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <map>
#include <optional>
#include <string_view>

namespace ecbcat {
namespace {

// Names made, removed and renamed, of files and folders; a file's writes (its size, and its
// last-write time, which NTFS sets at the latest when the writer closes it); its attributes set.
// The end of a writer's writing is not told: a file still open for writing fails to open (a
// sharing violation), and is tried again a moment later.
constexpr DWORD filter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                         FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE |
                         FILE_NOTIFY_CHANGE_ATTRIBUTES;
constexpr ULONG share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// One PATH's watch. Its id is the key of its packets at the port; wake()'s packets have key 0.
struct Watched {
  UniqueHandle folder;
  OVERLAPPED overlapped{};
  bool pending = false;  // a read is under way: the system may still write into `buffer`
  alignas(FILE_NOTIFY_INFORMATION) unsigned char buffer[64 * 1024];
};

// Asks for the next changes; they complete to the port.
bool arm(Watched& w) {
  w.overlapped = {};
  w.pending = ::ReadDirectoryChangesW(w.folder.get(), w.buffer, sizeof w.buffer, TRUE, filter,
                                      nullptr, &w.overlapped, nullptr);
  return w.pending;
}

// Whether `path`, below the watched folder, is a folder or a file, opened relative to the
// watch's handle as it is: a junction is not followed, and is told of as a file, which the step
// that opens it refuses. Nothing when it is gone already.
std::optional<Change::Kind> kind_of(HANDLE top, std::wstring_view path) {
  Maybe<UniqueHandle> h = open_at(top, std::wstring(path), FILE_READ_ATTRIBUTES, share_all,
                                  FILE_OPEN, FILE_OPEN_REPARSE_POINT, Result::open_file);
  if (!h) {
    if (h.failure().error == ENOENT) return std::nullopt;
    return Change::file;  // the step that opens it says why it cannot
  }
  const std::optional<FileInfo> info = identify(h->get());
  const bool folder = info && (info->attributes & FILE_ATTRIBUTE_DIRECTORY) &&
                      !(info->attributes & FILE_ATTRIBUTE_REPARSE_POINT);
  return folder ? Change::folder : Change::file;
}

// The changes of the `bytes` that a read of `w` brought.
void translate(const Watched& w, long id, DWORD bytes, std::vector<Change>& changes) {
  constexpr std::size_t head = offsetof(FILE_NOTIFY_INFORMATION, FileName);
  std::wstring_view before;
  DWORD before_action = 0;
  for (std::size_t at = 0; at + head <= bytes;) {
    const auto* e = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(w.buffer + at);
    if (at + head + e->FileNameLength > bytes) break;
    const std::wstring_view path(e->FileName, e->FileNameLength / sizeof(wchar_t));
    // A write is told in many pieces, one after another: the first is enough.
    if (path != before || e->Action != before_action) {
      before = path;
      before_action = e->Action;
      std::string name = narrow(path.data(), path.size());
      switch (e->Action) {
        case FILE_ACTION_REMOVED:
        case FILE_ACTION_RENAMED_OLD_NAME:
          changes.push_back({Change::left, id, std::move(name)});
          break;
        case FILE_ACTION_MODIFIED:
          // Only an input's writes matter: a folder is told of as modified when its entries
          // change, and one named like an input is no file to take.
          if (output_name(name.substr(name.find_last_of('\\') + 1)).empty()) break;
          if (kind_of(w.folder.get(), path) == Change::file) {
            changes.push_back({Change::file, id, std::move(name)});
          }
          break;
        case FILE_ACTION_ADDED:
        case FILE_ACTION_RENAMED_NEW_NAME:
          if (const std::optional<Change::Kind> kind = kind_of(w.folder.get(), path)) {
            changes.push_back({*kind, id, std::move(name)});
          }
          break;
      }
    }
    if (e->NextEntryOffset == 0) break;
    at += e->NextEntryOffset;
  }
}

}  // namespace

struct Notices::State {
  UniqueHandle port{::CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1)};
  int error = port.valid() ? 0 : errno_of(::GetLastError());
  long next_id = 1;
  std::map<long, std::unique_ptr<Watched>> watches;
  // Removed while a read was under way: kept until its cancelled read comes back, since the
  // system writes into its buffer until then.
  std::map<long, std::unique_ptr<Watched>> closing;
};

Notices::Notices() : s_(std::make_unique<State>()) {}

Notices::~Notices() {
  // Each read under way is cancelled, and its buffer kept until the port says it ended, or left
  // for good after a while: never freed while the system may still write into it.
  while (!s_->watches.empty()) remove(s_->watches.begin()->first);
  while (!s_->closing.empty()) {
    DWORD bytes;
    ULONG_PTR key;
    OVERLAPPED* done = nullptr;
    ::GetQueuedCompletionStatus(s_->port.get(), &bytes, &key, &done, 1000);
    if (!done) break;
    s_->closing.erase(static_cast<long>(key));
  }
  for (auto& [id, w] : s_->closing) static_cast<void>(w.release());
}

int Notices::error() const {
  return s_->error;
}

bool Notices::closes_told() {
  return false;
}

const char* Notices::limit() {
  return "the system's memory";
}

long Notices::add(const Folder& folder, bool top, int& error) {
  if (!top) return covered;
  auto w = std::make_unique<Watched>();
  w->folder = UniqueHandle(
      ::ReOpenFile(folder.fd.get(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
                   share_all, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED));
  const long id = s_->next_id;
  if (!w->folder.valid() ||
      !::CreateIoCompletionPort(w->folder.get(), s_->port.get(), static_cast<ULONG_PTR>(id), 0) ||
      !arm(*w)) {
    error = errno_of(::GetLastError());
    return -1;
  }
  ++s_->next_id;
  s_->watches.emplace(id, std::move(w));
  return id;
}

void Notices::remove(long id) {
  const auto it = s_->watches.find(id);
  if (it == s_->watches.end()) return;
  std::unique_ptr<Watched> w = std::move(it->second);
  s_->watches.erase(it);
  if (!w->pending) return;
  ::CancelIoEx(w->folder.get(), &w->overlapped);
  s_->closing.emplace(id, std::move(w));
}

void Notices::wake() {
  ::PostQueuedCompletionStatus(s_->port.get(), 0, 0, nullptr);
}

void Notices::wait(std::vector<Change>& changes, std::chrono::milliseconds timeout) {
  const DWORD ms = timeout.count() < 0
                       ? INFINITE
                       : static_cast<DWORD>(std::min<long long>(timeout.count(), 1 << 30));
  DWORD bytes = 0;
  ULONG_PTR key = 0;
  OVERLAPPED* done = nullptr;
  const BOOL ok = ::GetQueuedCompletionStatus(s_->port.get(), &bytes, &key, &done, ms);
  const DWORD code = ok ? ERROR_SUCCESS : ::GetLastError();
  if (!done) return;  // the time is up, or wake()
  const long id = static_cast<long>(key);
  if (s_->closing.erase(id)) return;  // a removed watch's last read came back
  const auto it = s_->watches.find(id);
  if (it == s_->watches.end()) return;
  Watched& w = *it->second;
  w.pending = false;
  if (code == ERROR_NOTIFY_ENUM_DIR || (ok && bytes == 0)) {
    changes.push_back({Change::overflow, id});  // more changes than the buffer held
  } else if (!ok) {
    // The folder was removed (access denied: delete pending), its volume went, or the read
    // was cancelled: nothing more comes of this watch.
    return changes.push_back({Change::ended, id});
  } else {
    translate(w, id, bytes, changes);
  }
  if (!arm(w)) changes.push_back({Change::ended, id});
}

}  // namespace ecbcat
