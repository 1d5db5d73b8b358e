// The descriptor functions of fdio.hpp for Windows and its C runtime, which has text mode,
// names in UTF-16, no poll, no pipe sizes and no inode numbers.

#include <fcntl.h>
#include <io.h>
#include <unistd.h>
// clang-format off
#include <windows.h>  // first: shellapi.h uses its types
#include <shellapi.h>
// clang-format on

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>

#include "fdio.hpp"

namespace ecbcat {
namespace {

struct LocalFreer {
  void operator()(wchar_t** p) const { LocalFree(p); }
};

HANDLE handle_of(int fd) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

// Whether the write that just failed on fd failed because the pipe's reader has gone. Windows
// says ERROR_NO_DATA then, wine ERROR_INVALID_PARAMETER, and the runtime turns both into
// EINVAL, which would hide the cause.
bool reader_gone(int fd) {
  if (GetFileType(handle_of(fd)) != FILE_TYPE_PIPE) return false;
  switch (_doserrno) {
    case ERROR_NO_DATA:
    case ERROR_BROKEN_PIPE:
    case ERROR_INVALID_PARAMETER:
      return true;
  }
  return false;
}

}  // namespace

int open_input(char** argv) {
  // Windows has no /dev/stdin: opened by name it would read as an empty file. The copy keeps
  // the binary mode that binary_stdio gave standard input.
  if (std::strcmp(argv[1], "/dev/stdin") == 0) return _dup(STDIN_FILENO);
  // The narrow argv holds only what the ANSI code page can spell; the command line in UTF-16
  // holds every name.
  int count = 0;
  std::unique_ptr<wchar_t*, LocalFreer> wide(CommandLineToArgvW(GetCommandLineW(), &count));
  if (!wide || count < 2) {
    errno = EINVAL;
    return -1;
  }
  return _wopen(wide.get()[1], _O_RDONLY | _O_BINARY | _O_NOINHERIT);
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
