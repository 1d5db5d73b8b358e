#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace ecbcat::test {

using Bytes = std::vector<unsigned char>;

// The key of FIPS-197 Appendix C.1: 000102...0f.
inline constexpr std::array<unsigned char, 16> fips_key{0, 1, 2,  3,  4,  5,  6,  7,
                                                        8, 9, 10, 11, 12, 13, 14, 15};

// A second decryption to hold the program's against: a loop over 16-byte blocks, one at a
// time, through libcrypto's low-level AES rather than EVP, reading each block into one buffer
// that is never cleared, so a short last block keeps the tail of the block before it (zeros
// when there is none).
Bytes reference_decrypt(std::span<const unsigned char, 16> key, std::span<const unsigned char> in);

Bytes random_bytes(std::size_t n, std::uint32_t seed);
Bytes from_hex(const std::string& hex);
Bytes read_file(const std::string& path);
void write_file(const std::string& path, std::span<const unsigned char> content);

// An anonymous in-memory file holding `content`, positioned at its start.
int memfd_with(std::span<const unsigned char> content);
// Everything in fd from offset 0 (fd must be seekable).
Bytes contents_of(int fd);

}  // namespace ecbcat::test
