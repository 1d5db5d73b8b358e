// ecbcat FILE: decrypts FILE (AES-128-ECB under the built-in key) to standard output.
// This file is the shell: the argument, the open, the messages and the exit status.

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "cipher.hpp"
#include "decrypt.hpp"
#include "fdio.hpp"
#include "key.hpp"

namespace {

// Every failure ends the run with this status. A POSIX shell sees -1 as 255 too, but a Windows
// parent sees the whole value, and -1 there reads as 4294967295 or below every
// `if errorlevel 1`: a failure taken for success.
constexpr int failure = 255;

void report_crypto(const char* what, unsigned long code) {
  char text[256];
  ecbcat::describe_crypto_error(code, text, sizeof text);
  std::fprintf(stderr, "%s: %s\n", what, text);
}

int report(const ecbcat::Outcome& o) {
  if (o.fault == ecbcat::Fault::none) return 0;
  const ecbcat::FaultWords words = ecbcat::words_of(o.fault);
  if (words.detail) {
    std::fprintf(stderr, "%s: %s\n", words.what, words.detail);
  } else if (words.crypto) {
    report_crypto(words.what, o.crypto_error);
  } else {
    errno = o.error;
    std::perror(words.what);
  }
  return failure;
}

}  // namespace

int main(int argc, char** argv) {
  // Nothing here is configurable, so the system's OpenSSL configuration must not change
  // what we do, and the algorithm tables we never use need not be built.
  if (OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG | OPENSSL_INIT_NO_ADD_ALL_CIPHERS |
                              OPENSSL_INIT_NO_ADD_ALL_DIGESTS,
                          nullptr) != 1) {
    report_crypto(ecbcat::words_of(ecbcat::Fault::setup).what, ERR_get_error());
    return failure;
  }
  ecbcat::binary_stdio();
  ecbcat::UniqueFd input(ecbcat::open_input(argc, argv));
  if (input.get() == ecbcat::no_input) {
    std::fputs("usage: ecbcat FILE\n", stderr);
    return failure;
  }
  if (input.get() < 0) {
    std::perror("failed opening file");
    return failure;
  }
  if (int status = report(ecbcat::decrypt_stream(ecbcat::key, input.get(), STDOUT_FILENO))) {
    return status;
  }
  // As coreutils does: a file system that reports an error only when the file is closed (a
  // network one, a quota) must not turn into a success. A standard output that was closed
  // from the start and got nothing is not an error.
  if (::close(STDOUT_FILENO) != 0 && errno != EBADF) {
    std::perror("failed writing output");
    return failure;
  }
  return 0;
}
