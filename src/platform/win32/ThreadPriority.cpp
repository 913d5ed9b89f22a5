#include "platform/ThreadPriority.h"

#include <windows.h>

namespace platform {

void LowerThisThreadPriority() {
  (void)SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
}

}  // namespace platform
