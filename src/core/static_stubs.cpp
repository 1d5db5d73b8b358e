// Linked into the static programs only (ld --wrap): libcrypto's archive refers to dlopen (for
// loadable engines and providers), getaddrinfo and gethostbyname (for its socket BIOs), which a
// static glibc can only serve by loading the shared libraries of the glibc it was linked with.
// Neither program uses any of that: the configuration that could name a module is never read,
// and no socket is opened. These stand-ins keep glibc's versions out of the program and fail
// loudly, so a path that ever reached one would be seen rather than depend on the host.

#include <netdb.h>
#include <unistd.h>

#include <cstring>

namespace {

void say_missing(const char* what) {
  static const char prefix[] = "ecbcat: not available in the static program: ";
  (void)!::write(STDERR_FILENO, prefix, sizeof prefix - 1);
  (void)!::write(STDERR_FILENO, what, std::strlen(what));
  (void)!::write(STDERR_FILENO, "\n", 1);
}

}  // namespace

extern "C" void* __wrap_dlopen(const char*, int) {
  say_missing("dlopen");
  return nullptr;
}

extern "C" int __wrap_getaddrinfo(const char*, const char*, const addrinfo*, addrinfo**) {
  say_missing("getaddrinfo");
  return EAI_FAIL;
}

extern "C" hostent* __wrap_gethostbyname(const char*) {
  say_missing("gethostbyname");
  h_errno = NO_RECOVERY;
  return nullptr;
}
