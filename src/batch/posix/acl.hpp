#pragma once

// What a file's access ACL lets people do, read from the form Linux keeps it in
// (system.posix_acl_access: a little-endian version 2, then tag, permissions and id for each
// entry), with no library: only the entries' permissions are needed here.

#include <cstddef>
#include <string_view>

namespace ecbcat {

// The permissions (0 to 7) that everyone but the file's owner may count on, wherever the ACL
// `acl` places them: those of others, and of the owning group, each named user and each named
// group as the mask leaves them, all in common. A file given to another owner and another group
// may grant the world no more than that, for the world holds people of each class. With no ACL
// (`acl` empty), `mode`'s group and other bits decide; an ACL that cannot be read grants nothing.
inline unsigned others_bound(unsigned mode, std::string_view acl) {
  if (acl.empty()) return mode & (mode >> 3) & 07;
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(acl[i]); };
  if (acl.size() < 4 || (acl.size() - 4) % 8 != 0 || byte(0) != 2 || byte(1) || byte(2) ||
      byte(3)) {
    return 0;
  }
  enum : unsigned { user = 0x02, group_obj = 0x04, group = 0x08, mask = 0x10, other = 0x20 };
  unsigned masked = 07, limit = 07, common = 0;  // an ACL without others' entry grants nothing
  for (std::size_t at = 4; at < acl.size(); at += 8) {
    const unsigned tag = byte(at) | byte(at + 1) << 8, perm = byte(at + 2) & 07;
    if (tag == mask) masked = perm;
    if (tag == user || tag == group_obj || tag == group) limit &= perm;
    if (tag == other) common = perm;
  }
  return common & limit & masked;
}

}  // namespace ecbcat
