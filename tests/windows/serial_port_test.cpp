// The Win32 serial layer against a controller on a real port: under Wine a
// virtual controller on a pseudo-terminal behind COM5, on Windows whatever
// port TAVRIN_TEST_PORT names (a controller, or a virtual pair).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <string>
#include <vector>

#include "platform/DeviceNames.h"
#include "platform/Serial.h"
#include "protocol/Messager.h"
#include "support/RecordingWindow.h"
#include "support/Wait.h"

#include <windows.h>  // last: its macros (MessageBox) would rename the window's methods

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

// The worked IdentifyRequest: sequence 5, random bytes 11 22 33 44.
const Bytes kIdentifyRequest = {0xda, 0x00, 0x00, 0x05, 0x11, 0x22,
                                0x33, 0x44, 0x42, 0x0d, 0xd5, 0x59};

// Wine does not enforce the share mode on devices; Windows does.
bool UnderWine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::string TestPort() {
  const char* port = std::getenv("TAVRIN_TEST_PORT");
  return port != nullptr ? port : "";
}

std::vector<std::string> DeviceNames() {
  std::vector<char> buffer(65536);
  const std::uint32_t n =
      platform::QueryDosDeviceNames(buffer.data(), static_cast<std::uint32_t>(buffer.size() - 1));
  std::vector<std::string> names;
  for (std::uint32_t i = 0; i < n && buffer[i] != '\0';) {
    names.emplace_back(&buffer[i]);
    i += static_cast<std::uint32_t>(names.back().size()) + 1;
  }
  return names;
}

// Configures an open port as the programmer does.
void Configure(platform::SerialPort& port) {
  platform::SerialSettings s;
  ASSERT_TRUE(platform::SerialGetState(port, s));
  s.baudRate = 115200;
  s.byteSize = 8;
  s.parity = 0;
  s.stopBits = 0;
  s.binary = true;
  s.outxCtsFlow = s.outxDsrFlow = s.dsrSensitivity = s.null = s.abortOnError = false;
  s.dtrControl = s.rtsControl = 0;
  ASSERT_TRUE(platform::SerialSetState(port, s));
  ASSERT_TRUE(platform::SerialSetZeroTimeouts(port));
  platform::SerialSetupQueues(port, 1024, 1024);  // a stub under Wine
  ASSERT_TRUE(platform::SerialPurge(port, platform::kPurgeRxClear));
  ASSERT_TRUE(platform::SerialSetRxCharMask(port));
}

// Reads what arrives until `count` bytes are in or the deadline passes, the
// way the reader thread does: wait for a character, ask how many are
// queued, read exactly those.
Bytes ReceiveAtLeast(platform::SerialPort& port, std::size_t count,
                     std::chrono::milliseconds deadline) {
  Bytes got;
  const auto until = std::chrono::steady_clock::now() + deadline;
  while (got.size() < count && std::chrono::steady_clock::now() < until) {
    if (platform::SerialWaitEvent(port) != platform::WaitResult::RxChar) continue;
    std::uint32_t errors = 0, queued = 0;
    if (!platform::SerialClearErrors(port, errors, queued) || queued == 0) continue;
    Bytes block(queued);
    std::uint32_t read = 0;
    EXPECT_TRUE(platform::SerialRead(port, block.data(), queued, read));
    got.insert(got.end(), block.begin(), block.begin() + read);
  }
  return got;
}

class SerialPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = TestPort();
    if (port_.empty()) GTEST_SKIP() << "TAVRIN_TEST_PORT names no port with a controller";
    ResetMessagerForTest();
  }
  void TearDown() override { ResetMessagerForTest(); }

  std::string port_;
};

TEST_F(SerialPortTest, SystemVersionAndDeviceList) {
  std::uint32_t platformId = 0;
  ASSERT_TRUE(platform::GetSystemPlatformId(148, platformId));
  EXPECT_EQ(platformId, platform::kPlatformWin32Nt);
  // The system takes only the sizes of its own structures.
  EXPECT_FALSE(platform::GetSystemPlatformId(100, platformId));
  EXPECT_FALSE(platform::GetSystemPlatformId(100000, platformId));

  const auto names = DeviceNames();
  EXPECT_NE(std::find(names.begin(), names.end(), port_), names.end())
      << ::testing::PrintToString(names);
  // A list that does not fit is a failure, never a cut-off list.
  char small[8];
  EXPECT_EQ(platform::QueryDosDeviceNames(small, sizeof small), 0u);
}

TEST_F(SerialPortTest, OpenIsExclusiveUnderEitherPathAndEndsWithClose) {
  EXPECT_EQ(platform::SerialOpen(""), nullptr);
  EXPECT_EQ(platform::SerialOpen("COM249"), nullptr);

  const std::string namespacePath = "\\\\.\\" + port_;
  auto first = platform::SerialOpen(port_);
  ASSERT_NE(first, nullptr);
  EXPECT_FALSE(platform::SerialIsClosed(*first));
  if (!UnderWine()) {
    EXPECT_EQ(platform::SerialOpen(port_), nullptr);
    EXPECT_EQ(platform::SerialOpen(namespacePath), nullptr);
  }

  platform::SerialClose(*first);
  EXPECT_TRUE(platform::SerialIsClosed(*first));
  platform::SerialClose(*first);  // a second close does nothing

  // The port is free again at once, also through the device namespace.
  auto second = platform::SerialOpen(namespacePath);
  ASSERT_NE(second, nullptr);
  platform::SerialClose(*second);
}

TEST_F(SerialPortTest, SettingsAreWrittenAndReadBack) {
  auto port = platform::SerialOpen(port_);
  ASSERT_NE(port, nullptr);
  platform::SerialSettings before;
  ASSERT_TRUE(platform::SerialGetState(*port, before));
  Configure(*port);
  platform::SerialSettings after;
  ASSERT_TRUE(platform::SerialGetState(*port, after));
  EXPECT_EQ(after.baudRate, 115200u);
  EXPECT_EQ(after.byteSize, 8);
  EXPECT_EQ(after.parity, 0);
  EXPECT_EQ(after.stopBits, 0);
  EXPECT_FALSE(after.outxCtsFlow);
  EXPECT_FALSE(after.outxDsrFlow);
  EXPECT_EQ(after.dtrControl, 0);
  EXPECT_EQ(after.rtsControl, 0);
  // Fields the programmer leaves alone stay as they were.
  EXPECT_EQ(after.xonChar, before.xonChar);
  EXPECT_EQ(after.xoffChar, before.xoffChar);
  EXPECT_EQ(after.outX, before.outX);
  EXPECT_EQ(after.inX, before.inX);
  platform::SerialClose(*port);
}

TEST_F(SerialPortTest, IdentifyRequestIsAnsweredAndReported) {
  RecordingWindow window;
  auto port = platform::SerialOpen(port_);
  ASSERT_NE(port, nullptr);
  Configure(*port);

  std::uint32_t written = 0;
  ASSERT_TRUE(platform::SerialWrite(*port, kIdentifyRequest.data(),
                                    static_cast<std::uint32_t>(kIdentifyRequest.size()), written));
  EXPECT_EQ(written, kIdentifyRequest.size());

  const Bytes reply = ReceiveAtLeast(*port, 64, 10s);
  ASSERT_GE(reply.size(), 64u);
  ASSERT_TRUE(CheckBlock(reply.data(), 64));
  EXPECT_EQ(reply[0], 0xDA);
  EXPECT_EQ(reply[1], 0x01);  // IdentifyReply
  ASSERT_TRUE(HandleIdentifyReply(reply.data()));
  // The controller behind the port is a model of the catalogue.
  const CatalogueEntry* entry = FindCatalogueEntry(DeviceInfo.DeviceCode.load());
  ASSERT_NE(entry, nullptr);
  const auto log = window.Log();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.front(), entry->firstLine);
  platform::SerialClose(*port);
}

TEST_F(SerialPortTest, ClosingFromAnotherThreadEndsThePendingWait) {
  auto port = platform::SerialOpen(port_);
  ASSERT_NE(port, nullptr);
  Configure(*port);

  // Nothing is sent, so the controller stays silent and the wait can only end
  // by the close.
  std::promise<void> entering;
  std::atomic<int> others{0};
  auto waiter = std::async(std::launch::async, [&] {
    entering.set_value();
    platform::WaitResult result;
    while ((result = platform::SerialWaitEvent(*port)) == platform::WaitResult::Other) ++others;
    return result;
  });
  entering.get_future().wait();
  // The wait sleeps: it neither ends nor comes back empty-handed on its own.
  // (Wine gives up such a wait after some 15 ms when it cannot read the
  // port's modem lines, which would make the reader poll.)
  EXPECT_EQ(waiter.wait_for(300ms), std::future_status::timeout);
  EXPECT_EQ(others.load(), 0);

  const auto closing = std::chrono::steady_clock::now();
  platform::SerialClose(*port);
  ASSERT_EQ(waiter.wait_for(10s), std::future_status::ready);
  const auto took = std::chrono::steady_clock::now() - closing;
  EXPECT_EQ(waiter.get(), platform::WaitResult::Closed);
  EXPECT_LT(took, 2s);  // a few milliseconds, with room for a loaded machine

  // Everything after the close fails, and the handle value is not reused.
  std::uint32_t count = 0, errors = 0;
  platform::SerialSettings s;
  EXPECT_EQ(platform::SerialWaitEvent(*port), platform::WaitResult::Closed);
  EXPECT_FALSE(platform::SerialWrite(*port, kIdentifyRequest.data(), 12, count));
  std::uint8_t byte = 0;
  EXPECT_FALSE(platform::SerialRead(*port, &byte, 1, count));
  EXPECT_FALSE(platform::SerialGetState(*port, s));
  EXPECT_FALSE(platform::SerialClearErrors(*port, errors, count));
  EXPECT_FALSE(platform::SerialPurge(*port, platform::kPurgeTxClear));
  auto again = platform::SerialOpen(port_);
  ASSERT_NE(again, nullptr);
  EXPECT_FALSE(platform::SerialSetZeroTimeouts(*port));
  EXPECT_TRUE(platform::SerialSetZeroTimeouts(*again));
  platform::SerialClose(*again);
}

TEST_F(SerialPortTest, AWaitFailingAtOnceIsFollowedByAPauseThatTheCloseEnds) {
  auto port = platform::SerialOpen(port_);
  ASSERT_NE(port, nullptr);
  Configure(*port);
  // As some virtual-port drivers do: an error that does not mean the device
  // has gone, at once, every time.
  platform::SetSerialFaultForTest(platform::SerialFault::WaitEvent);
  struct Reset {
    ~Reset() { platform::SetSerialFaultForTest(platform::SerialFault::None); }
  } reset;

  // The reader's loop cannot spin: its first six waits take their growing
  // pauses (630 ms in all), where a spin would take microseconds.
  std::atomic<int> others{0};
  const auto start = std::chrono::steady_clock::now();
  auto reader = std::async(std::launch::async, [&] {
    platform::WaitResult result;
    while ((result = platform::SerialWaitEvent(*port)) == platform::WaitResult::Other) ++others;
    return result;
  });
  ASSERT_TRUE(WaitUntil([&] { return others.load() >= 6; }, 10s));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);

  // The seventh pause (640 ms) is cut short by the close.
  const auto closing = std::chrono::steady_clock::now();
  platform::SerialClose(*port);
  ASSERT_EQ(reader.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(reader.get(), platform::WaitResult::Closed);
  EXPECT_LT(std::chrono::steady_clock::now() - closing, 400ms);
}

}  // namespace
