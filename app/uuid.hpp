// Random text from the kernel's cryptographic generator: version 4 UUIDs for the per-launch secret,
// pairing codes for the QR.
#pragma once

#include <string>

namespace zel {

// 36 characters, groups of 8-4-4-4-12 upper-case hex digits; the bits come from the kernel's
// cryptographic generator. Throws std::system_error when that generator fails.
std::string makeUUIDString();

// 32 random bytes as 43 characters of base64url without padding: the form of every pairing code.
std::string makePairingCode();

} // namespace zel
