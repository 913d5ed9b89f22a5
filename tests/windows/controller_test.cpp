// The programmer's own code from CONNECT to a written firmware image, over the
// Win32 serial layer: the system's port list, the scan, the identity report,
// the loader and the chunk transfer. Under Wine the controller is the virtual
// one on COM5 (device 1, firmware 11); on Windows TAVRIN_TEST_PORT names a
// port with such a controller and TAVRIN_TEST_FIRMWARE a firmware file for it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "connect/Connecter.h"
#include "platform/Sound.h"
#include "protocol/Messager.h"
#include "serial/Port.h"
#include "serial/Read_tr.h"
#include "serial/Wrt_tr.h"
#include "support/RecordingWindow.h"
#include "support/Wait.h"
#include "transfer/ImageStore.h"
#include "transfer/Loaders.h"

namespace {

using namespace std::chrono_literals;

const std::string kConnected = "The device is connected!";
const std::string kFirmwareOkBox = "box ОК|0|Firmware update completed successfully!";

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::string FirmwareFile() {
  std::string file = Env("TAVRIN_TEST_FIRMWARE");
  if (file.empty() && TAVRIN_WINDOWS_SAMPLES_DIR[0] != '\0') {
    file = std::string(TAVRIN_WINDOWS_SAMPLES_DIR) + "/device1-firmware-v12.sbin";
  }
  return file;
}

class ControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = Env("TAVRIN_TEST_PORT");
    if (port_.empty()) GTEST_SKIP() << "TAVRIN_TEST_PORT names no port with a controller";
    ResetMessagerForTest();
    ResetImageStoreForTest();
    ResetConnecterForTest();
    platform::SetSoundPlayer([this](const std::string& path) {
      std::lock_guard lock(mutex_);
      sounds_.push_back(path);
    });
  }
  void TearDown() override {
    if (port_.empty()) return;
    ClosePort();
    Timer2Stop();
    EXPECT_TRUE(WaitUntil(NoThreadsLeft, 10s));
    platform::SetSoundPlayer({});
    ResetMessagerForTest();
    ResetImageStoreForTest();
  }

  // CONNECT, then Timer1's ticks until the scan finds the controller. Every
  // step pauses 50 ms for the answer; the step that gets it stops the scan.
  bool Connect() {
    Button1Click();
    const auto until = std::chrono::steady_clock::now() + 60s;
    while (ConnectState != ConnectStateT::Connected && std::chrono::steady_clock::now() < until) {
      Timer1Timer();
    }
    return ConnectState == ConnectStateT::Connected;
  }

  std::string port_;
  RecordingWindow window_;
  std::mutex mutex_;
  std::vector<std::string> sounds_;
};

TEST_F(ControllerTest, ConnectFindsTheControllerAndReportsIt) {
  ASSERT_TRUE(Connect()) << ::testing::PrintToString(window_.Events());
  const auto ports = window_.Ports();
  EXPECT_NE(std::find(ports.begin(), ports.end(), port_), ports.end())
      << ::testing::PrintToString(ports);
  EXPECT_EQ(window_.PortListCurrentText(), port_);
  // The report reaches the log from the reader thread; the scan's status
  // follows its pause.
  ASSERT_TRUE(window_.WaitFor([&] { return window_.Enabled(Control::Button2); }, 10s));
  EXPECT_EQ(window_.Status(), kConnected);
  const CatalogueEntry* entry = FindCatalogueEntry(DeviceInfo.DeviceCode.load());
  ASSERT_NE(entry, nullptr);
  const auto log = window_.Log();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.front(), entry->firstLine);
  EXPECT_EQ(window_.Colour(), WindowColour::LightGreen);

  // DISCONNECT lets the port go: it opens again at once.
  Button3Click();
  EXPECT_EQ(window_.Status(), "device disconnected.");
  EXPECT_TRUE(WaitUntil(NoThreadsLeft, 10s));
  auto again = platform::SerialOpen(port_);
  ASSERT_NE(again, nullptr);
  platform::SerialClose(*again);
}

TEST_F(ControllerTest, AWholeFirmwareWrite) {
  const std::string file = FirmwareFile();
  if (file.empty()) GTEST_SKIP() << "TAVRIN_TEST_FIRMWARE names no firmware file";
  ASSERT_TRUE(std::filesystem::exists(file)) << file;
  ASSERT_TRUE(Connect()) << ::testing::PrintToString(window_.Events());
  ASSERT_TRUE(window_.WaitFor([&] { return window_.Enabled(Control::Button2); }, 10s));

  window_.QueueDialogAnswer(file);
  Button2Click();
  // The controller paces the transfer and answers the closing frame; the
  // result ends the connection and asks for the sound.
  ASSERT_TRUE(window_.WaitForEvent(kFirmwareOkBox, 120s))
      << ::testing::PrintToString(window_.Events());
  EXPECT_EQ(window_.Status(), "device disconnected.");
  EXPECT_EQ(window_.Gauge(), 0);
  EXPECT_EQ(UpdateReadyFlag.load(), 1);
  EXPECT_EQ(UpdateFailedFlag.load(), 0);
  // The gauge went up on the way.
  const auto events = window_.Events();
  EXPECT_NE(std::find(events.begin(), events.end(), "gauge 100"), events.end());
}

}  // namespace
