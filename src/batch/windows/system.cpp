// The system's side of ecbcat-batch on Windows: names in UTF-16, errors, opens relative to a
// folder's handle, the console's events, and standard error.

#include "system.hpp"

#include <fcntl.h>
#include <io.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <thread>

#include "fdio.hpp"
#include "job.hpp"
#include "platform.hpp"
#include "win32.hpp"

namespace ecbcat {
namespace {

// The console event that came first, as the signal it stands for, and the event that wakes
// wait_for_signal.
std::atomic<int> arrived{0};
HANDLE arrival = nullptr;

// Runs on a thread that Windows starts for the event. It never returns: returning would let
// Windows end the process at once, or take the next handler, while on_signals reports.
BOOL WINAPI on_console_event(DWORD event) {
  const int sig = event == CTRL_C_EVENT ? 2 : event == CTRL_BREAK_EVENT ? 15 : 1;
  int none = 0;
  arrived.compare_exchange_strong(none, sig);
  ::SetEvent(arrival);
  ::Sleep(INFINITE);
  return TRUE;
}

// Writes write_briefly's text, on a thread of its own.
DWORD WINAPI write_last(void* text) {
  const auto* s = static_cast<const std::string*>(text);
  return write_all(2, reinterpret_cast<const unsigned char*>(s->data()), s->size());
}

}  // namespace

std::wstring wide(const std::string& s) {
  std::wstring w;
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    const std::size_t n = c < 0x80 ? 1 : c >> 5 == 6 ? 2 : c >> 4 == 14 ? 3 : c >> 3 == 30 ? 4 : 0;
    char32_t cp = n == 1 ? c : n == 2 ? c & 0x1f : n == 3 ? c & 0x0f : c & 0x07;
    bool whole = n != 0 && i + n <= s.size();
    for (std::size_t k = 1; whole && k < n; ++k) {
      const auto b = static_cast<unsigned char>(s[i + k]);
      whole = (b & 0xc0) == 0x80;
      cp = cp << 6 | (b & 0x3f);
    }
    if (!whole) {  // not from narrow(): one replacement character per byte
      w += L'\xfffd';
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      w += static_cast<wchar_t>(0xd800 + ((cp - 0x10000) >> 10));
      w += static_cast<wchar_t>(0xdc00 + ((cp - 0x10000) & 0x3ff));
    } else {
      w += static_cast<wchar_t>(cp);
    }
    i += n;
  }
  return w;
}

std::string narrow(const wchar_t* w, std::size_t length) {
  std::string s;
  for (std::size_t i = 0; i < length; ++i) {
    char32_t cp = static_cast<char16_t>(w[i]);
    const bool pair = cp >= 0xd800 && cp <= 0xdbff && i + 1 < length &&
                      static_cast<char16_t>(w[i + 1]) >= 0xdc00 &&
                      static_cast<char16_t>(w[i + 1]) <= 0xdfff;
    if (pair) cp = 0x10000 + ((cp - 0xd800) << 10) + (static_cast<char16_t>(w[++i]) - 0xdc00);
    if (cp < 0x80) {
      s += static_cast<char>(cp);
    } else if (cp < 0x800) {
      s += static_cast<char>(0xc0 | cp >> 6);
      s += static_cast<char>(0x80 | (cp & 0x3f));
    } else if (cp < 0x10000) {
      s += static_cast<char>(0xe0 | cp >> 12);
      s += static_cast<char>(0x80 | (cp >> 6 & 0x3f));
      s += static_cast<char>(0x80 | (cp & 0x3f));
    } else {
      s += static_cast<char>(0xf0 | cp >> 18);
      s += static_cast<char>(0x80 | (cp >> 12 & 0x3f));
      s += static_cast<char>(0x80 | (cp >> 6 & 0x3f));
      s += static_cast<char>(0x80 | (cp & 0x3f));
    }
  }
  return s;
}

int errno_of(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_PATHNAME:
      return ENOENT;
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_PARAMETER:
      return EINVAL;
    case ERROR_DIR_NOT_EMPTY:
      return ENOTEMPTY;
    case ERROR_SHARING_VIOLATION:  // another program holds the file: for a later run
      return EBUSY;
    case ERROR_ACCESS_DENIED:
    case ERROR_LOCK_VIOLATION:
    case ERROR_PRIVILEGE_NOT_HELD:
      return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_TOO_MANY_OPEN_FILES:
      return EMFILE;
    case ERROR_WRITE_PROTECT:
      return EROFS;
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
      return ENOSYS;
  }
  return EIO;
}

int errno_of_status(NTSTATUS status) {
  // A folder where a file was asked for, and the other way round, have no Windows error code
  // of their own worth the name.
  if (status == static_cast<NTSTATUS>(0xC00000BA)) return EISDIR;   // STATUS_FILE_IS_A_DIRECTORY
  if (status == static_cast<NTSTATUS>(0xC0000103)) return ENOTDIR;  // STATUS_NOT_A_DIRECTORY
  return errno_of(::RtlNtStatusToDosError(status));
}

Maybe<UniqueHandle> open_at(HANDLE dir, const std::wstring& name, ACCESS_MASK access, ULONG share,
                            ULONG disposition, ULONG options, Result failing, ULONG attributes) {
  if (name.size() * sizeof(wchar_t) > 0xfffe) return FileResult{failing, ENAMETOOLONG};
  UNICODE_STRING object{static_cast<USHORT>(name.size() * sizeof(wchar_t)),
                        static_cast<USHORT>(name.size() * sizeof(wchar_t)),
                        const_cast<wchar_t*>(name.c_str())};
  OBJECT_ATTRIBUTES where;
  InitializeObjectAttributes(&where, &object, OBJ_CASE_INSENSITIVE, dir, nullptr);
  IO_STATUS_BLOCK io{};
  HANDLE h = INVALID_HANDLE_VALUE;
  const NTSTATUS status =
      ::NtCreateFile(&h, access | SYNCHRONIZE, &where, &io, nullptr,
                     attributes ? attributes : FILE_ATTRIBUTE_NORMAL, share, disposition,
                     options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (status < 0) return FileResult{failing, errno_of_status(status)};
  return UniqueHandle(h);
}

std::optional<FileInfo> identify(HANDLE h) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(h, &info)) return std::nullopt;
  return FileInfo{{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow},
                  info.dwFileAttributes};
}

std::string fold_case(const std::string& name) {
  std::wstring w = wide(name);
  ::CharUpperBuffW(w.data(), static_cast<DWORD>(w.size()));
  return narrow(w.data(), w.size());
}

Input::~Input() {
  if (fd_ >= 0) ::_close(fd_);
}

int open_list(const std::string& file) {
  if (file != "-") return ::_wopen(wide(file).c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
  ::_setmode(STDIN_FILENO, _O_BINARY);  // text mode would end the list at a 0x1A byte
  return STDIN_FILENO;
}

std::vector<std::string> arguments(int argc, char** argv) {
  int count = 0;
  wchar_t** wide_args = nullptr;
  if (!wide_arguments(count, wide_args)) return {argv, argv + argc};
  std::vector<std::string> args;
  for (int i = 0; i < count; ++i) args.push_back(narrow(wide_args[i], std::wcslen(wide_args[i])));
  return args;
}

bool stderr_is_terminal() {
  // A console takes the progress line's escapes once it is asked to (Windows 10 and later).
  const HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  return ::GetConsoleMode(err, &mode) &&
         ::SetConsoleMode(err, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

void protect_std_descriptors() {
  // A descriptor the process was started without is taken by NUL, so that no output's is
  // taken for standard output or error.
  for (int fd = 0; fd <= 2; ++fd) {
    if (::_get_osfhandle(fd) == -1) ::_open("NUL", fd == 0 ? _O_RDONLY : _O_WRONLY);
  }
}

unsigned usable_cpus() {
  DWORD_PTR process = 0, system = 0;
  if (::GetProcessAffinityMask(::GetCurrentProcess(), &process, &system) && process) {
    unsigned n = 0;
    for (; process; process &= process - 1) ++n;
    return n;
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

void raise_descriptor_limit() {}  // handles have no limit to raise

bool route_signals() {
  arrival = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return arrival && ::SetConsoleCtrlHandler(on_console_event, TRUE);
}

int wait_for_signal() {
  return ::WaitForSingleObject(arrival, INFINITE) == WAIT_OBJECT_0 ? arrived.load() : 0;
}

int take_signal() {
  return arrival && ::WaitForSingleObject(arrival, 0) == WAIT_OBJECT_0 ? arrived.load() : 0;
}

int write_unless_signal(int fd, const unsigned char* data, std::size_t len, int& sig) {
  // Console events come on a thread of the system's: taken here, before the write.
  sig = take_signal();
  return sig ? 0 : write_all(fd, data, len);
}

void write_briefly(const std::string& text) {
  // A pipe that nobody reads would hold the write for ever: it goes on a thread of its own,
  // which the end of the process stops.
  static std::string last;
  last = text;
  const HANDLE writer = ::CreateThread(nullptr, 0, write_last, &last, 0, nullptr);
  if (writer) ::WaitForSingleObject(writer, 200);
}

}  // namespace ecbcat
