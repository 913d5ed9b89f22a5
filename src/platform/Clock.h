#pragma once

#include <cstdint>

namespace platform {

// The current local time in whole seconds: the seed of the frame generator.
std::uint32_t LocalTimeSeconds();

}  // namespace platform
