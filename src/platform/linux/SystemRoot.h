// The folder that stands for the machine's "/" wherever the system's own files
// are read: /proc, /sys, /dev, /etc, /run, the lock folders, the udev rules.
// Empty for the machine itself; tests build a fake machine in a folder of
// their own and judge it as they would a real one.
#pragma once

#include <string>

namespace platform {

// `absolute` ("/run/lock") as read on this machine: below the root when one is set.
std::string SystemPath(const std::string& absolute);
// The root itself: empty for the machine's own.
std::string SystemRoot();
// Tests: an empty text restores the machine's own.
void SetSystemRootForTest(const std::string& root);

}  // namespace platform
