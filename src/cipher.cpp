#include "cipher.hpp"

#include <openssl/crypto.h>
#include <openssl/err.h>

#include <climits>
#include <cstdio>

namespace ecbcat {
namespace {

// The error libcrypto queued for the call that just failed; never 0, so callers can use
// 0 for success.
unsigned long last_error() {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  return code != 0 ? code : static_cast<unsigned long>(-1);
}

}  // namespace

unsigned long EcbDecryptor::init(std::span<const unsigned char, 16> key) {
  cipher_.reset(EVP_CIPHER_fetch(nullptr, "AES-128-ECB", nullptr));
  if (!cipher_) return last_error();
  ctx_.reset(EVP_CIPHER_CTX_new());
  if (!ctx_) return last_error();
  if (EVP_DecryptInit_ex2(ctx_.get(), cipher_.get(), key.data(), nullptr, nullptr) != 1)
    return last_error();
  // The input carries no padding rule: every block is plaintext, none is held back.
  if (EVP_CIPHER_CTX_set_padding(ctx_.get(), 0) != 1) return last_error();
  return 0;
}

unsigned long EcbDecryptor::decrypt(const unsigned char* in, unsigned char* out, std::size_t len) {
  if (len > INT_MAX) return static_cast<unsigned long>(-1);
  int outl = 0;
  if (EVP_DecryptUpdate(ctx_.get(), out, &outl, in, static_cast<int>(len)) != 1)
    return last_error();
  // With padding off and whole blocks in, every byte must come straight back out.
  if (static_cast<std::size_t>(outl) != len) return static_cast<unsigned long>(-1);
  return 0;
}

void describe_crypto_error(unsigned long code, char* buf, std::size_t len) {
  if (code == 0 || code == static_cast<unsigned long>(-1)) {
    std::snprintf(buf, len, "libcrypto gave no reason");
    return;
  }
  // Error strings are loaded only now, on the failure path, to keep start-up cheap.
  OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
  ERR_error_string_n(code, buf, len);
}

}  // namespace ecbcat
