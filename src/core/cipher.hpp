#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <memory>
#include <span>

namespace ecbcat {

// AES-128-ECB decryption with padding off, through libcrypto's EVP interface (which uses
// AES-NI where the CPU has it), from OpenSSL 1.1.1 on. Owns its libcrypto objects.
class EcbDecryptor {
 public:
  // Fetches the cipher and expands the key once. Returns 0 on success, otherwise the
  // libcrypto error code that explains the failure (or -1 if libcrypto gave none).
  unsigned long init(std::span<const unsigned char, 16> key);

  // Decrypts len bytes (a multiple of 16) from in to out; in and out must not overlap.
  // Returns 0, or the libcrypto error code as init does.
  unsigned long decrypt(const unsigned char* in, unsigned char* out, std::size_t len);

 private:
  struct CipherFree {
    void operator()(EVP_CIPHER* c) const;  // 1.1.1's ciphers are static: nothing to free
  };
  struct CtxFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
  };
  std::unique_ptr<EVP_CIPHER, CipherFree> cipher_;
  std::unique_ptr<EVP_CIPHER_CTX, CtxFree> ctx_;
};

// Renders a code from EcbDecryptor as libcrypto's text for it.
void describe_crypto_error(unsigned long code, char* buf, std::size_t len);

}  // namespace ecbcat
