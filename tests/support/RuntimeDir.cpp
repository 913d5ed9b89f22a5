#include "support/RuntimeDir.h"

#include <cstdlib>
#include <filesystem>

#ifndef _WIN32
#include <unistd.h>
#endif

OwnRuntimeDir::OwnRuntimeDir() {
#ifndef _WIN32
  // CTest sets TMPDIR into the build tree; a test run by hand (or listed for
  // discovery) keeps its files there too, never in the real /tmp.
  const char* tmp = std::getenv("TMPDIR");
  if (tmp == nullptr || tmp[0] == '\0') {
    const std::string own = std::string(TAVRIN_BUILD_DIR) + "/tmp";
    std::error_code ec;
    std::filesystem::create_directories(own, ec);
    if (!ec) setenv("TMPDIR", own.c_str(), 1);
  }
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
