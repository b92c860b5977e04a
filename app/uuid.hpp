// Random version 4 UUIDs in canonical upper-case text form, used for the per-launch secret.
#pragma once

#include <string>

namespace zel {

// 36 characters, groups of 8-4-4-4-12 upper-case hex digits; the bits come from the kernel's
// cryptographic generator. Throws std::system_error when that generator fails.
std::string makeUUIDString();

} // namespace zel
