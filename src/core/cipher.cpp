#include "cipher.hpp"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/opensslv.h>

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

// OpenSSL 3 hands out ciphers that its providers implement, fetched once and freed; 1.1.1 has one
// static table. The bytes are the same: the AES-128 inverse cipher, with AES-NI where the CPU
// has it.
#if OPENSSL_VERSION_MAJOR >= 3
EVP_CIPHER* fetch_cipher() {
  return EVP_CIPHER_fetch(nullptr, "AES-128-ECB", nullptr);
}
#else
EVP_CIPHER* fetch_cipher() {
  return const_cast<EVP_CIPHER*>(EVP_aes_128_ecb());
}
#endif

}  // namespace

void EcbDecryptor::CipherFree::operator()(EVP_CIPHER* c) const {
#if OPENSSL_VERSION_MAJOR >= 3
  EVP_CIPHER_free(c);
#else
  (void)c;
#endif
}

unsigned long EcbDecryptor::init(std::span<const unsigned char, 16> key) {
  cipher_.reset(fetch_cipher());
  if (!cipher_) return last_error();
  ctx_.reset(EVP_CIPHER_CTX_new());
  if (!ctx_) return last_error();
  if (EVP_DecryptInit_ex(ctx_.get(), cipher_.get(), nullptr, key.data(), nullptr) != 1)
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
