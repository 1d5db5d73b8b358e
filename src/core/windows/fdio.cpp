// The descriptor functions of fdio.hpp for Windows and its C runtime, which has text mode,
// names in UTF-16, no poll, no pipe sizes and no inode numbers.

#include <fcntl.h>
#include <io.h>
#include <unistd.h>
#include <windows.h>

#include <cerrno>
#include <climits>
#include <cwchar>

#include "fdio.hpp"
#include "win32.hpp"

// msvcrt's parse of the UTF-16 command line, as it makes it for a wmain; not in its headers.
extern "C" int __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env, int glob, int* new_mode);

namespace ecbcat {

HANDLE handle_of(int fd) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

bool wide_arguments(int& count, wchar_t**& argv) {
  int new_mode = 0;
  wchar_t** environment = nullptr;
  argv = nullptr;
  return __wgetmainargs(&count, &argv, &environment, 0, &new_mode) == 0 && argv;
}

namespace {

// Whether the write that just failed on fd failed because the pipe's reader has gone. Windows
// says ERROR_NO_DATA then, wine ERROR_INVALID_PARAMETER, and both ERROR_PIPE_NOT_CONNECTED
// when the reader went before the first write; the runtime turns them into EINVAL, which
// would hide the cause. When the reader goes in the middle of a write that the pipe took only
// part of, wine's runtime fails the write with no error code at all (ERROR_SUCCESS).
bool reader_gone(int fd) {
  if (GetFileType(handle_of(fd)) != FILE_TYPE_PIPE) return false;
  switch (_doserrno) {
    case ERROR_NO_DATA:
    case ERROR_BROKEN_PIPE:
    case ERROR_PIPE_NOT_CONNECTED:
    case ERROR_INVALID_PARAMETER:
    case ERROR_SUCCESS:
      return true;
  }
  return false;
}

}  // namespace

int open_input(int, char**) {
  // The runtime's argv holds only what the ANSI code page can spell. Its wide twin, parsed from
  // the UTF-16 command line by the same rules (CommandLineToArgvW's differ, for a quote in the
  // program's name), holds every name: the count, the test for /dev/stdin and the name opened
  // all come from it, so that they always speak of the same argument. The runtime owns it.
  int count = 0;
  wchar_t** wide = nullptr;
  if (!wide_arguments(count, wide)) {
    errno = ENOMEM;
    return -1;
  }
  if (count < 2) return no_input;
  const wchar_t* name = wide[1];
  // Windows has no /dev/stdin: opened by name it would read as an empty file. The copy keeps
  // the binary mode that binary_stdio gave standard input.
  if (std::wcscmp(name, L"/dev/stdin") == 0) return _dup(STDIN_FILENO);
  return _wopen(name, _O_RDONLY | _O_BINARY | _O_NOINHERIT);
}

void binary_stdio() {
  _setmode(STDIN_FILENO, _O_BINARY);
  _setmode(STDOUT_FILENO, _O_BINARY);
}

ssize_t read_some(int fd, unsigned char* buf, std::size_t len) {
  // A pipe whose writer has gone reads as the end of input, as on POSIX.
  return _read(fd, buf, static_cast<unsigned>(len < INT_MAX ? len : INT_MAX));
}

int write_all(int fd, const unsigned char* buf, std::size_t len) {
  while (len > 0) {
    int n = _write(fd, buf, static_cast<unsigned>(len < INT_MAX ? len : INT_MAX));
    if (n < 0) return reader_gone(fd) ? EPIPE : errno;
    if (n == 0) return EIO;
    buf += n;
    len -= static_cast<std::size_t>(n);
  }
  return 0;
}

bool output_is_input(int in_fd, int out_fd) {
  BY_HANDLE_FILE_INFORMATION in, out;
  // Fails on pipes, consoles and devices: only files have a volume and an index.
  if (!GetFileInformationByHandle(handle_of(in_fd), &in) ||
      !GetFileInformationByHandle(handle_of(out_fd), &out))
    return false;
  if (in.dwVolumeSerialNumber != out.dwVolumeSerialNumber ||
      in.nFileIndexHigh != out.nFileIndexHigh || in.nFileIndexLow != out.nFileIndexLow)
    return false;
  // Whether the output appends cannot be told here, so every non-empty input that is also the
  // output is refused: decrypting in place is for POSIX systems.
  return in.nFileSizeHigh != 0 || in.nFileSizeLow != 0;
}

void widen_pipe(int, int) {}  // Windows pipes have no size to change

}  // namespace ecbcat
