#include "platform/linux/SystemRoot.h"

#include <mutex>

namespace platform {

namespace {
std::mutex g_mutex;
std::string g_root;
}  // namespace

std::string SystemRoot() {
  std::lock_guard lock(g_mutex);
  return g_root;
}

std::string SystemPath(const std::string& absolute) { return SystemRoot() + absolute; }

void SetSystemRootForTest(const std::string& root) {
  std::lock_guard lock(g_mutex);
  g_root = root;
  while (g_root.size() > 1 && g_root.back() == '/') g_root.pop_back();
  if (g_root == "/") g_root.clear();
}

}  // namespace platform
