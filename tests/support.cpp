// The low-level AES calls are deprecated in OpenSSL 3; the reference uses them on purpose,
// as a second implementation beside EVP.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "support.hpp"

#include <openssl/aes.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace ecbcat::test {

Bytes reference_decrypt(std::span<const unsigned char, 16> key, std::span<const unsigned char> in) {
  AES_KEY schedule;
  AES_set_decrypt_key(key.data(), 128, &schedule);
  unsigned char block[16] = {};
  unsigned char plain[16];
  Bytes out;
  for (std::size_t pos = 0; pos < in.size(); pos += 16) {
    std::size_t r = std::min<std::size_t>(16, in.size() - pos);
    std::memcpy(block, in.data() + pos, r);
    AES_ecb_encrypt(block, plain, &schedule, AES_DECRYPT);
    out.insert(out.end(), plain, plain + 16);
  }
  return out;
}

Bytes random_bytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 gen(seed);
  Bytes b(n);
  for (auto& c : b) c = static_cast<unsigned char>(gen());
  return b;
}

Bytes from_hex(const std::string& hex) {
  Bytes b;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    b.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return b;
}

Bytes read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot read " + path);
  return Bytes(std::istreambuf_iterator<char>(f), {});
}

void write_file(const std::string& path, std::span<const unsigned char> content) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(content.data()),
          static_cast<std::streamsize>(content.size()));
  if (!f) throw std::runtime_error("cannot write " + path);
}

int memfd_with(std::span<const unsigned char> content) {
  int fd = memfd_create("ecbcat-test", MFD_CLOEXEC);
  if (fd < 0) throw std::runtime_error("memfd_create failed");
  for (std::size_t done = 0; done < content.size();) {
    ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n <= 0) throw std::runtime_error("memfd write failed");
    done += static_cast<std::size_t>(n);
  }
  ::lseek(fd, 0, SEEK_SET);
  return fd;
}

Bytes contents_of(int fd) {
  Bytes out;
  unsigned char buf[65536];
  ssize_t n;
  for (off_t off = 0; (n = ::pread(fd, buf, sizeof buf, off)) > 0; off += n)
    out.insert(out.end(), buf, buf + n);
  return out;
}

}  // namespace ecbcat::test
