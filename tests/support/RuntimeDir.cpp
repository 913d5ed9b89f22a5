#include "support/RuntimeDir.h"

#include <cstdlib>
#include <filesystem>

#ifndef _WIN32
#include <unistd.h>
#endif

OwnRuntimeDir::OwnRuntimeDir() {
#ifndef _WIN32
  std::string templ = (std::filesystem::temp_directory_path() / "tavrin-test-XXXXXX").string();
  if (mkdtemp(templ.data()) == nullptr) return;
  path_ = templ;
  setenv("XDG_RUNTIME_DIR", path_.c_str(), 1);
#endif
}

OwnRuntimeDir::~OwnRuntimeDir() {
  if (path_.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}
