#pragma once

#include <array>

namespace ecbcat {

// The AES-128 key of the system that writes our input files. It is fixed there, so it is
// fixed here: a build-time constant, never written.
inline constexpr std::array<unsigned char, 16> key{0x5e, 0x0b, 0x9a, 0x31, 0xc8, 0x74, 0xe2, 0x06,
                                                   0x1f, 0xd9, 0x4b, 0xa7, 0x63, 0x28, 0xf0, 0x8d};

}  // namespace ecbcat
