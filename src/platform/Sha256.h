// SHA-256 of a byte string, for the record of what was written: small and
// slow enough for files of a few megabytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// The digest as 64 lower-case hexadecimal digits.
std::string Sha256Hex(const std::uint8_t* data, std::size_t length);

}  // namespace platform
