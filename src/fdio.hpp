#pragma once

#include <sys/types.h>

#include <cstddef>

namespace ecbcat {

// One read(2), retried while it is interrupted: bytes read, 0 at end of input, -1 with
// errno set on a real error.
ssize_t read_some(int fd, unsigned char* buf, std::size_t len);

// Writes all of buf, finishing short writes and retrying on EINTR. Returns 0, or the
// errno of the write that failed.
int write_all(int fd, const unsigned char* buf, std::size_t len);

}  // namespace ecbcat
