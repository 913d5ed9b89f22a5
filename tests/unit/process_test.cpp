// Child processes: the test program starts itself again as the child, which
// reports its arguments and echoes its input.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <shellapi.h>

#include "platform/Utf16.h"
#else
#include <signal.h>

#include <fstream>
#include <iterator>
#endif

#include "platform/Process.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kChildVariable = "TAVRIN_PROCESS_TEST_CHILD";
constexpr int kInputEnded = 3;

// The arguments as the platform hands them to a program.
std::vector<std::string> OwnArguments() {
  std::vector<std::string> args;
#ifdef _WIN32
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  for (int i = 1; i < count; ++i) args.push_back(platform::Utf16ToUtf8(wide[i]));
  LocalFree(wide);
#else
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  const std::string all((std::istreambuf_iterator<char>(in)), {});
  std::size_t start = all.find('\0') + 1;  // past the program
  while (start < all.size()) {
    const std::size_t end = all.find('\0', start);
    args.push_back(all.substr(start, end - start));
    start = end + 1;
  }
#endif
  return args;
}

int RunChild() {
#ifdef _WIN32
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stdin), _O_BINARY);
#endif
  for (const auto& a : OwnArguments()) std::printf("arg [%s]\n", a.c_str());
  std::fflush(stdout);
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, stdin) != nullptr) {
    std::string line(buffer);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (line.rfind("exit ", 0) == 0) return std::atoi(line.c_str() + 5);
    std::printf("echo [%s]\n", line.c_str());
    std::fflush(stdout);
  }
  return kInputEnded;
}

// Before the tests are even listed: the child runs and ends here.
const int kChild = [] {
  if (std::getenv(kChildVariable) != nullptr) std::exit(RunChild());
  return 0;
}();

std::optional<platform::ChildProcess> StartChild(const std::vector<std::string>& args) {
#ifdef _WIN32
  SetEnvironmentVariableW(L"TAVRIN_PROCESS_TEST_CHILD", L"1");
#else
  setenv(kChildVariable, "1", 1);
#endif
  std::string error;
  auto child = platform::StartProcess(platform::CurrentProgramPath(), args, &error);
  EXPECT_TRUE(child) << error;
  if (child) {
    EXPECT_TRUE(child->SetOutputNonBlocking(true));
  }
  return child;
}

// The child's output a line at a time; nullopt at its end or after `wait`.
class Lines {
 public:
  explicit Lines(platform::ChildProcess& child) : child_(child) {}
  std::optional<std::string> Next(std::chrono::milliseconds wait = 20s) {
    const auto deadline = Clock::now() + wait;
    for (;;) {
      const auto newline = buffer_.find('\n');
      if (newline != std::string::npos) {
        std::string line = buffer_.substr(0, newline);
        buffer_.erase(0, newline + 1);
        return line;
      }
      char data[256];
      const std::ptrdiff_t n = child_.Read(data, sizeof data);
      if (n > 0) {
        buffer_.append(data, static_cast<std::size_t>(n));
      } else if (n != platform::ChildProcess::kWouldBlock || Clock::now() > deadline) {
        return std::nullopt;
      } else {
        std::this_thread::sleep_for(2ms);
      }
    }
  }

 private:
  platform::ChildProcess& child_;
  std::string buffer_;
};

std::optional<int> EndsWithin(platform::ChildProcess& child, std::chrono::milliseconds wait) {
  const auto deadline = Clock::now() + wait;
  for (;;) {
    if (const auto status = child.TryWait()) return status;
    if (Clock::now() > deadline) return std::nullopt;
    std::this_thread::sleep_for(5ms);
  }
}

}  // namespace

TEST(Process, ArgumentsAndLinesCrossIntactAndTheStatusComesBack) {
  const std::vector<std::string> args = {"plain", "with space", "quote\"inside", "trailing\\",
                                         "back\\\\slash \\\"quoted\\", "", "tab\tand  two",
                                         "\xD0\x9F\xD0\xBE\xD1\x80\xD1\x82 COM5"};
  auto child = StartChild(args);
  ASSERT_TRUE(child);
  Lines lines(*child);
  for (const auto& a : args) EXPECT_EQ(lines.Next(), "arg [" + a + "]");
  ASSERT_TRUE(child->Write("hello\n"));
  EXPECT_EQ(lines.Next(), "echo [hello]");
  ASSERT_TRUE(child->Write("a second line\nexit 7\n"));
  EXPECT_EQ(lines.Next(), "echo [a second line]");
  EXPECT_EQ(child->Wait(), 7);
  EXPECT_EQ(lines.Next(), std::nullopt);  // the end of its output
  EXPECT_FALSE(child->Write("nobody reads this\n"));
}

TEST(Process, EachChildHoldsOnlyItsOwnPipesAndTerminateEndsIt) {
  auto first = StartChild({});
  auto second = StartChild({});
  ASSERT_TRUE(first && second);
  // The first sees the end of its input although the second is running.
  first->CloseInput();
  EXPECT_EQ(EndsWithin(*first, 20s), kInputEnded);
  EXPECT_FALSE(second->TryWait());
  second->Terminate();
  const auto status = EndsWithin(*second, 20s);
  ASSERT_TRUE(status);
#ifndef _WIN32
  EXPECT_EQ(*status, 128 + SIGTERM);
#endif

  std::string error;
  EXPECT_FALSE(platform::StartProcess(platform::CurrentProgramPath() + "-missing", {}, &error));
  EXPECT_NE(error.find("-missing"), std::string::npos) << error;
}
