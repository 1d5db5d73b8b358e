#pragma once

#include <string>
#include <vector>

namespace ecbcat {

// The command line's arguments, as this system's names are spelled in the program: as given
// on POSIX; on Windows, from the UTF-16 command line in UTF-8 (WTF-8 for a lone surrogate), so
// that a name outside the code page survives.
std::vector<std::string> arguments(int argc, char** argv);

// Whether standard error is a terminal that takes the progress line.
bool stderr_is_terminal();

// Makes sure no file the program opens takes descriptor 0, 1 or 2: each closed one is held by a
// descriptor on which reads and writes fail as on a closed one, so a message to a closed
// standard error is lost rather than written into an output.
void protect_std_descriptors();

// Opens --files0-from's FILE for reading, as given: a descriptor (0 for "-", standard input, on
// Windows switched to binary mode), or -1 with errno set.
int open_list(const std::string& file);

// The CPUs this process may run on.
unsigned usable_cpus();

// Raises the limit on open descriptors as far as allowed: every queued file holds its folder's.
void raise_descriptor_limit();

// Routes SIGINT, SIGTERM and SIGHUP (on Windows: Ctrl-C, Ctrl-Break, and the console closing or
// the session ending, reported as SIGINT, SIGTERM and SIGHUP) to wait_for_signal: blocked in this
// thread and in every thread started after, except those ignored when the program started, which
// stay ignored (as under nohup). Ignores SIGXFSZ, so that a file-size limit fails one output with
// EFBIG, and SIGPIPE, so that a standard error without a reader loses the messages, not the run.
// On Linux the signal of a broken read lease is routed too, with SIGIO, which the kernel sends
// instead when it cannot queue that one, so there it always returns true. Returns false when
// none of them can arrive.
bool route_signals();
// Waits for one of them; returns its number, or 0 on failure.
int wait_for_signal();
// One of them if it has come, without waiting; 0 if none has: for a run with no thread to wait.
int take_signal();
// Writes `len` bytes to `fd` (standard output or error), whole or until one of them comes: 0 or
// the errno, with `sig` the signal where one came first. For a run with no thread to wait for
// signals, whose standard error may be a pipe or a terminal that nobody reads.
int write_unless_signal(int fd, const unsigned char* data, std::size_t len, int& sig);

// Writes to standard error, waiting at most a moment for it to take the text: for the last
// words of an interrupted run, whose standard error may be a pipe nobody reads.
void write_briefly(const std::string& text);

}  // namespace ecbcat
