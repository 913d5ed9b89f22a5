// Each test process gets a DOS-device directory of its own, so tests that make
// COM links never see another process's.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#ifndef _WIN32
#include <unistd.h>
#endif

int main(int argc, char** argv) {
#ifndef _WIN32
  std::string templ = (std::filesystem::temp_directory_path() / "tavrin-test-XXXXXX").string();
  if (mkdtemp(templ.data()) != nullptr) setenv("XDG_RUNTIME_DIR", templ.c_str(), 1);
#endif
  ::testing::InitGoogleTest(&argc, argv);
  const int rc = RUN_ALL_TESTS();
#ifndef _WIN32
  std::error_code ec;
  std::filesystem::remove_all(templ, ec);
#endif
  return rc;
}
