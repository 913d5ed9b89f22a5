// The console layer on Windows: a closed output is noticed however the C
// runtime reports it.
#include "platform/Console.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

namespace {

TEST(Console, AWriteToAPipeWhoseReaderHasGoneIsAClosedOutput) {
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  ASSERT_TRUE(CreatePipe(&read, &write, nullptr, 0));
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(write), _O_WRONLY | _O_BINARY);
  ASSERT_GE(fd, 0);
  std::FILE* out = _fdopen(fd, "wb");
  ASSERT_NE(out, nullptr);

  platform::WriteText(out, "read\n");
  EXPECT_FALSE(platform::OutputClosed()) << "the reader is still there";
  CloseHandle(read);
  // Windows fails the write with ERROR_NO_DATA, which the C runtime turns into EINVAL.
  platform::WriteText(out, "gone\n");
  EXPECT_TRUE(platform::OutputClosed());
  std::fclose(out);
}

}  // namespace
