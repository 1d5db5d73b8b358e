// Arms the fake read(2)/write(2) of the fault-injection builds of the programs from their
// environment: ECBCAT_FAIL_READ_AT=N fails reads of the input (descriptor 3, the first the
// program opens; with ECBCAT_READ_ANY_FILE=1 every regular file) with EIO after N bytes,
// ECBCAT_FAIL_WRITE_AT=N writes to standard output; ECBCAT_READ_PIECE=N reads at most N bytes
// a call, to make a run slow.
// ECBCAT_NO_CIPHER=1 makes libcrypto's cipher look-up fail.

#include <openssl/evp.h>
#include <unistd.h>

#include <cstdlib>

#include "fake_io.hpp"

namespace {

[[gnu::constructor]] void arm_from_environment() {
  using ecbcat::test::read_script;
  using ecbcat::test::write_script;
  const int fd = std::getenv("ECBCAT_READ_ANY_FILE") ? ecbcat::test::any_regular_file : 3;
  if (const char* n = std::getenv("ECBCAT_FAIL_READ_AT")) {
    read_script.fd = fd;
    read_script.fail_at = std::strtoull(n, nullptr, 10);
  }
  if (const char* n = std::getenv("ECBCAT_READ_PIECE")) {
    read_script.fd = fd;
    read_script.pieces = {std::strtoull(n, nullptr, 10)};
  }
  if (const char* n = std::getenv("ECBCAT_FAIL_WRITE_AT")) {
    write_script.fd = STDOUT_FILENO;
    write_script.fail_at = std::strtoull(n, nullptr, 10);
  }
}

}  // namespace

// Makes libcrypto's cipher look-up fail as it would without the cipher: on OpenSSL 3 by asking
// for one no provider has, so the failure and its queued error are libcrypto's own
// (ld --wrap=EVP_CIPHER_fetch); on 1.1.1, which has no fetch, EVP_aes_128_ecb gives none
// (ld --wrap=EVP_aes_128_ecb).
#if OPENSSL_VERSION_MAJOR >= 3
extern "C" EVP_CIPHER* __real_EVP_CIPHER_fetch(OSSL_LIB_CTX* ctx, const char* name,
                                               const char* properties);

extern "C" EVP_CIPHER* __wrap_EVP_CIPHER_fetch(OSSL_LIB_CTX* ctx, const char* name,
                                               const char* properties) {
  if (std::getenv("ECBCAT_NO_CIPHER")) name = "ECBCAT-NO-SUCH-CIPHER";
  return __real_EVP_CIPHER_fetch(ctx, name, properties);
}
#else
extern "C" const EVP_CIPHER* __real_EVP_aes_128_ecb();

extern "C" const EVP_CIPHER* __wrap_EVP_aes_128_ecb() {
  return std::getenv("ECBCAT_NO_CIPHER") ? nullptr : __real_EVP_aes_128_ecb();
}
#endif
