#pragma once

// What Windows' C runtime leaves out, for both programs: the handle under a descriptor, and the
// command line in UTF-16.

#include <windows.h>

namespace ecbcat {

// The handle under a C runtime descriptor.
HANDLE handle_of(int fd);

// msvcrt's parse of the UTF-16 command line, as it makes it for a wmain, by the same rules as
// the narrow argv. The runtime owns it. False when it cannot be had.
bool wide_arguments(int& count, wchar_t**& argv);

}  // namespace ecbcat
