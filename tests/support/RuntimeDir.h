// A runtime directory (XDG_RUNTIME_DIR) of the test process's own, so tests
// that make COM links never see another process's; without TMPDIR it also
// points TMPDIR into the build tree. Made by the constructor,
// removed with everything in it by the destructor. On Windows, where the
// links are not files, it does nothing.
#pragma once

#include <string>

class OwnRuntimeDir {
 public:
  OwnRuntimeDir();
  ~OwnRuntimeDir();
  OwnRuntimeDir(const OwnRuntimeDir&) = delete;
  OwnRuntimeDir& operator=(const OwnRuntimeDir&) = delete;

 private:
  std::string path_;  // empty when none was made
};
