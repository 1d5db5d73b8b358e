#pragma once

#include <sys/types.h>

#include <cstddef>

namespace ecbcat {

// The room widen_pipe gives a pipe: enough that the two ends of a pipeline wake each other
// once per megabyte rather than once per 64 KiB, the size a shell's pipe starts with.
inline constexpr int pipe_room = 1 << 20;

// One read(2), retried while it is interrupted: bytes read, 0 at end of input, -1 with
// errno set on a real error.
ssize_t read_some(int fd, unsigned char* buf, std::size_t len);

// Writes all of buf, finishing short writes and retrying on EINTR. Returns 0, or the
// errno of the write that failed.
int write_all(int fd, const unsigned char* buf, std::size_t len);

// Gives a pipe or FIFO at least `room` bytes of buffer, or as much as the system lets this
// process have. Leaves larger pipes and every other kind of descriptor alone; a refusal
// changes nothing, so there is nothing to report.
void widen_pipe(int fd, int room = pipe_room);

}  // namespace ecbcat
