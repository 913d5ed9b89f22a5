// Background work that must give way to the threads of the link.
#pragma once

namespace platform {

// Lowers the calling thread's scheduling priority (Linux: its nice value;
// Windows: below normal). Failure is harmless and ignored.
void LowerThisThreadPriority();

}  // namespace platform
