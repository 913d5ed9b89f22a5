// CONNECT, the scan and DISCONNECT from end to end: the real window (headless)
// with its own Timer1, the serial layer on pseudo-terminals behind COM links,
// and the virtual controller on one of them.
#ifndef _WIN32  // needs pseudo-terminals
#include <gtest/gtest.h>

#include <QColor>
#include <QPlainTextEdit>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "connect/Connecter.h"
#include "platform/DeviceNames.h"
#include "protocol/Messager.h"
#include "serial/Port.h"
#include "support/Pty.h"
#include "support/Wait.h"
#include "support_qt/QtTestSupport.h"
#include "ui/qt/Programmer.h"
#include "vc/VirtualController.h"

namespace {

using namespace std::chrono_literals;
using qttest::PumpUntil;
using qttest::TestWindow;
namespace vc = tavrin::vc;

const std::string kScanning = " Идет сканирование портов ";
const std::string kConnected = "The device is connected!";
const std::string kDisconnected = "device disconnected.";

// The report of a code-1 controller with boot loader 3, firmware 12, data map
// 2, program memory OK and data memory not.
const std::vector<std::string> kCode1Report = {
    "Подключено устройство: Arvo K16-300",
    "",
    "Версия загрузчика (bootloader):  3",
    "Версия микропрограммы (firmware): 12",
    "Верcия памяти данных (Data): 2",
    "Верификация памяти программ:  OK",
    "Верификация памяти данных:       Пусто либо повреждение",
};

const QColor kLightGreen(169, 234, 159);
const QColor kRed(255, 0, 0);

class ConnectWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetMessagerForTest();
    ResetConnecterForTest();
    // The scan sees exactly the links made here, in the order of their
    // numbers, and never the machine's own serial ports.
    platform::SetDeviceNameSourceForTest([this](char* buffer, std::uint32_t maxChars) {
      std::string all;
      for (const auto& n : listed_) all += n + '\0';
      all += '\0';
      if (all.size() > maxChars) return std::uint32_t{0};
      std::memcpy(buffer, all.data(), all.size());
      return static_cast<std::uint32_t>(all.size());
    });
  }
  void TearDown() override {
    window_.reset();
    controllers_.clear();
    for (const auto& name : listed_) RemoveComLink(name);
    platform::SetDeviceNameSourceForTest({});
    ResetMessagerForTest();
  }

  TestWindow& Window() {
    if (!window_) window_ = std::make_unique<TestWindow>();
    return *window_;
  }

  void Dangling(const std::string& name) {
    ASSERT_FALSE(MakeComLink(name, "/nonexistent/tavrin-gone").empty());
    listed_.push_back(name);
  }
  PtyPair& Silent(const std::string& name) {
    silent_.push_back(std::make_unique<PtyPair>(OpenPtyPair()));
    EXPECT_TRUE(silent_.back()->Ok());
    EXPECT_FALSE(MakeComLink(name, silent_.back()->slavePath).empty());
    listed_.push_back(name);
    return *silent_.back();
  }
  vc::VirtualController& Controller(const std::string& name, vc::Options o = Code1()) {
    o.port = name;
    o.frameGapMs = 5;
    controllers_.push_back(std::make_unique<vc::VirtualController>(ScaledTimes(o)));
    std::string error;
    EXPECT_TRUE(controllers_.back()->Start(&error)) << error;
    listed_.push_back(name);
    return *controllers_.back();
  }
  void Unlist(const std::string& name) {
    RemoveComLink(name);
    listed_.erase(std::remove(listed_.begin(), listed_.end(), name), listed_.end());
  }

  static vc::Options Code1() {
    vc::Options o;
    o.identity.deviceCode = 1;
    o.identity.bootloaderVersion = 3;
    o.identity.firmwareVersion = 12;
    o.identity.dataVersion = 2;
    o.identity.programMemoryCheck = 1;
    o.identity.dataMemoryCheck = 0;
    return o;
  }

  // Connected and the report is in: the reader's window operations reach the
  // window after the scan's own.
  bool PumpUntilIdentified(std::chrono::milliseconds deadline = 30s) {
    TestWindow& w = Window();
    return PumpUntil([&] { return w.Status() == kConnected && w.Enabled(Control::Button2); }, deadline);
  }

  static std::uint64_t Requests(const vc::VirtualController& c) {
    return c.GetCounters().identifyRequests;
  }

  std::unique_ptr<TestWindow> window_;
  std::vector<std::string> listed_;
  std::vector<std::unique_ptr<PtyPair>> silent_;
  std::vector<std::unique_ptr<vc::VirtualController>> controllers_;
};

TEST_F(ConnectWindow, DanglingSilentAndControllerAreTriedInOrderAndTheThirdConnects) {
  Dangling("COM91");
  PtyPair& silent = Silent("COM92");
  vc::VirtualController& controller = Controller("COM93");
  TestWindow& w = Window();
  EXPECT_EQ(w.Ports(), (std::vector<std::string>{"COM91", "COM92", "COM93"}));

  // The first step runs inside the click: the dangling link does not open.
  ASSERT_TRUE(w.Click(Control::Button1));
  EXPECT_EQ(w.PortCurrentText(), "COM91");
  EXPECT_EQ(w.Status(), kOpenFailedText);
  EXPECT_EQ(w.Gauge(), 10);
  EXPECT_TRUE(w.TimerRunning(WindowTimer::Timer1));

  // Timer1's next step opens the silent one and asks it.
  ASSERT_TRUE(PumpUntil([&] { return w.PortCurrentText() == "COM92"; }));
  EXPECT_EQ(silent.Read(12).size(), 12u);
  EXPECT_EQ(Requests(controller), 0u);

  ASSERT_TRUE(PumpUntilIdentified());
  EXPECT_EQ(w.PortCurrentText(), "COM93");
  EXPECT_EQ(ScanPortIndex, 2);
  // Three steps a round; a round more only if a busy machine made the answer
  // miss a step's pause.
  EXPECT_TRUE(ScanGauge == 30 || ScanGauge == 60 || ScanGauge == 90) << int{ScanGauge};
  EXPECT_EQ(w.Gauge(), 0);
  EXPECT_FALSE(w.TimerRunning(WindowTimer::Timer1));
  EXPECT_EQ(w.Log(), kCode1Report);
  EXPECT_EQ(w.Colour(), WindowColour::LightGreen);
  EXPECT_EQ(w.Background(), kLightGreen);
  EXPECT_FALSE(w.Enabled(Control::Button1));
  EXPECT_TRUE(w.Enabled(Control::Button2));
  EXPECT_TRUE(w.Enabled(Control::Button3));
  EXPECT_TRUE(w.Enabled(Control::Button4));
  EXPECT_TRUE(w.Visible(Control::Button4));
  EXPECT_NE(PortHandle(), nullptr);

  // Timer1 stays stopped: no step runs while connected.
  const auto requests = Requests(controller);
  PumpUntil([] { return false; }, 400ms);
  EXPECT_EQ(Requests(controller), requests);

  EXPECT_FALSE(qttest::SaveScreenshot(&w.Form(), "connected").empty());
}

TEST_F(ConnectWindow, ReconnectTriesTheAnsweringPortFirst) {
  Dangling("COM91");
  Silent("COM92");
  Controller("COM93");
  TestWindow& w = Window();
  ASSERT_TRUE(w.Click(Control::Button1));
  ASSERT_TRUE(PumpUntilIdentified());

  ASSERT_TRUE(w.Click(Control::Button3));
  EXPECT_EQ(w.Status(), kDisconnected);
  EXPECT_TRUE(w.Log().empty());
  EXPECT_EQ(PortHandle(), nullptr);

  ASSERT_TRUE(w.Click(Control::Button1));
  EXPECT_EQ(w.PortCurrentText(), "COM93");
  ASSERT_TRUE(PumpUntilIdentified());
  EXPECT_EQ(w.Log(), kCode1Report);
}

TEST_F(ConnectWindow, SecondConnectRunsOneExtraStepAndTheGaugeGoesOnAcrossScans) {
  Silent("COM91");
  Silent("COM92");
  TestWindow& w = Window();

  ASSERT_TRUE(w.Click(Control::Button1));
  ASSERT_TRUE(PumpUntil([] { return ScanGauge >= 30; }));
  EXPECT_EQ(w.Status(), kScanning);
  EXPECT_EQ(w.Colour(), WindowColour::ButtonFace);

  // A second click, between two ticks: exactly one step more, at once.
  const int before = ScanGauge;
  const int index = ScanPortIndex;
  ASSERT_TRUE(w.Click(Control::Button1));
  EXPECT_EQ(ScanGauge, before + 10);
  EXPECT_EQ(w.Gauge(), before + 10);
  EXPECT_EQ(w.PortCurrentText(), index < 2 ? listed_[static_cast<std::size_t>(index)] : "COM91");
  EXPECT_TRUE(w.TimerRunning(WindowTimer::Timer1));
  ASSERT_TRUE(PumpUntil([&] { return ScanGauge >= before + 30; }));  // and it goes on

  // Round the top: 100 is followed by 0.
  ASSERT_TRUE(PumpUntil([] { return ScanGauge == 100; }, 20s));
  ASSERT_TRUE(PumpUntil([] { return ScanGauge != 100; }));
  EXPECT_EQ(ScanGauge, 0);

  // DISCONNECT, CONNECT: the new scan's first step continues the sequence.
  ASSERT_TRUE(PumpUntil([] { return ScanGauge == 20; }));
  ASSERT_TRUE(w.Click(Control::Button3));
  EXPECT_EQ(w.Gauge(), 0);
  EXPECT_FALSE(w.TimerRunning(WindowTimer::Timer1));
  const int last = ScanGauge;
  ASSERT_TRUE(w.Click(Control::Button1));
  EXPECT_EQ(w.Gauge(), last + 10);
}

TEST_F(ConnectWindow, ShortReportHidesWriteDataMapUntilACodeOneController) {
  vc::Options o;
  o.identity.deviceCode = 5;
  o.identity.firmwareVersion = 7;
  vc::VirtualController& code5 = Controller("COM91", o);
  TestWindow& w = Window();

  ASSERT_TRUE(w.Click(Control::Button1));
  ASSERT_TRUE(PumpUntilIdentified());
  EXPECT_EQ(w.Log(), (std::vector<std::string>{"Подключено устройство: Stagewire controller", "",
                                               "Версия загрузчика (bootloader):  1",
                                               "Версия микропрограммы (firmware): 7",
                                               "Верификация памяти программ:  OK"}));
  EXPECT_FALSE(w.Visible(Control::Button4));
  EXPECT_EQ(DeviceInfo.DataMapVersion, 0);
  EXPECT_EQ(w.Background(), kLightGreen);

  ASSERT_TRUE(w.Click(Control::Button3));
  EXPECT_FALSE(w.Visible(Control::Button4));
  EXPECT_FALSE(w.Enabled(Control::Button4));
  EXPECT_NE(w.Background(), kLightGreen);
  EXPECT_EQ(w.Colour(), WindowColour::ButtonFace);

  // A code-1 controller in its place shows the button again.
  code5.Stop();
  Unlist("COM91");
  Controller("COM92");
  ASSERT_TRUE(w.Click(Control::Button1));
  ASSERT_TRUE(PumpUntilIdentified());
  EXPECT_TRUE(w.Visible(Control::Button4));
  EXPECT_TRUE(w.Enabled(Control::Button4));
  EXPECT_EQ(w.Log(), kCode1Report);
}

TEST_F(ConnectWindow, AlertBitTurnsTheWindowRed) {
  vc::Options o = Code1();
  o.identity.alert = true;
  Controller("COM91", o);
  TestWindow& w = Window();
  ASSERT_TRUE(w.Click(Control::Button1));
  ASSERT_TRUE(PumpUntilIdentified());
  EXPECT_EQ(w.Colour(), WindowColour::Red);
  EXPECT_EQ(w.Background(), kRed);
  EXPECT_EQ(w.Log(), kCode1Report);
  EXPECT_EQ(DeviceInfo.DeviceCode, 1);
}

TEST_F(ConnectWindow, UnknownCodeShowsTheErrorBoxThenTheDisconnectedState) {
  vc::Options o;
  o.identity.deviceCode = 33;
  Controller("COM91", o);
  TestWindow& w = Window();
  ASSERT_TRUE(w.Click(Control::Button1));
  ASSERT_TRUE(w.WaitForBoxes(1, 30s));
  EXPECT_EQ(w.BoxTexts(),
            std::vector<std::string>{"Ошибка|0|Тип подключенного прибора не поддерживается "
                                     "программатором, обновите ПО!"});
  ASSERT_TRUE(PumpUntil([&] { return w.Status() == kDisconnected; }));
  EXPECT_TRUE(w.Log().empty());
  EXPECT_TRUE(w.Enabled(Control::Button1));
  EXPECT_FALSE(w.Enabled(Control::Button2));
  EXPECT_FALSE(w.Enabled(Control::Button4));
  EXPECT_EQ(w.Gauge(), 0);
  EXPECT_FALSE(w.TimerRunning(WindowTimer::Timer1));
  EXPECT_EQ(PortHandle(), nullptr);
  EXPECT_EQ(DeviceInfo.DeviceCode, 33);
}

TEST_F(ConnectWindow, WithNoPortTheScanKeepsSteppingAndNeverGivesUp) {
  TestWindow& w = Window();
  EXPECT_TRUE(w.Ports().empty());
  ASSERT_TRUE(w.Click(Control::Button1));
  EXPECT_EQ(w.Status(), kOpenFailedText);
  ASSERT_TRUE(PumpUntil([] { return ScanGauge >= 80; }, 20s));
  EXPECT_EQ(w.Status(), kOpenFailedText);
  EXPECT_TRUE(w.TimerRunning(WindowTimer::Timer1));
  EXPECT_FALSE(Timer2Running());  // nothing was ever sent
  EXPECT_TRUE(w.Enabled(Control::Button1));
}

TEST_F(ConnectWindow, PortsFailingToOpenAfterARequestEndInTheRetryLimit) {
  PtyPair& silent = Silent("COM91");
  TestWindow& w = Window();
  ASSERT_TRUE(w.Click(Control::Button1));
  EXPECT_EQ(w.Status(), kScanning);  // opened, asked, no answer
  EXPECT_EQ(silent.Read(12).size(), 12u);
  EXPECT_TRUE(Timer2Running());

  // The port goes away: every further step fails to open it, so nothing
  // restarts the retransmission of that one request.
  Unlist("COM91");
  Dangling("COM91");
  ASSERT_TRUE(PumpUntil([&] { return w.Status() == kRetryLimitText; }, 20s)) << w.Status();
  EXPECT_FALSE(w.TimerRunning(WindowTimer::Timer1));
  EXPECT_FALSE(Timer2Running());
  EXPECT_TRUE(w.Enabled(Control::Button1));
  EXPECT_EQ(w.Gauge(), 0);
  EXPECT_EQ(RetrySlot.RetryCount, 6u);

  // And the scan is over: the status stays.
  PumpUntil([] { return false; }, 300ms);
  EXPECT_EQ(w.Status(), kRetryLimitText);
}

TEST_F(ConnectWindow, PortVanishingDuringTheScanRestartsTheIndexAndANewOneIsFound) {
  Silent("COM91");
  Silent("COM92");
  PtyPair& third = Silent("COM93");
  TestWindow& w = Window();
  ASSERT_TRUE(w.Click(Control::Button1));
  ASSERT_TRUE(PumpUntil([&] { return w.PortCurrentText() == "COM92"; }));
  ASSERT_EQ(ScanPortIndex, 2);

  // COM93 goes away before its turn: the index equals the new count.
  Unlist("COM93");
  third.Close();
  ASSERT_TRUE(PumpUntil([&] { return w.PortCurrentText() != "COM92"; }));
  EXPECT_EQ(w.PortCurrentText(), "COM91");
  EXPECT_EQ(ScanPortIndex, 1);
  EXPECT_EQ(w.Ports(), (std::vector<std::string>{"COM91", "COM92"}));

  // A controller that appears later is found by the running scan.
  vc::VirtualController& controller = Controller("COM94");
  ASSERT_TRUE(PumpUntilIdentified());
  EXPECT_EQ(w.PortCurrentText(), "COM94");

  // It vanishes while connected: DISCONNECT still ends the link cleanly.
  controller.Stop();
  ASSERT_TRUE(w.Click(Control::Button3));
  EXPECT_EQ(w.Status(), kDisconnected);
  EXPECT_EQ(PortHandle(), nullptr);
}

TEST_F(ConnectWindow, LateAnswerGetsTheStepNoCreditAndALaterStepConnects) {
  vc::Options o = Code1();
  o.faults.delayMs = 400;  // long after the 50 ms the step waits
  o.faults.delayFrames = vc::FrameSet::Of({1});
  vc::VirtualController& controller = Controller("COM91", o);
  TestWindow& w = Window();

  ASSERT_TRUE(w.Click(Control::Button1));
  EXPECT_EQ(ConnectState, ConnectStateT::Scanning);
  EXPECT_EQ(w.Status(), kScanning);
  EXPECT_EQ(w.Colour(), WindowColour::ButtonFace);
  EXPECT_EQ(ScanPortIndex, 1);  // moved on (and round, with one port)
  EXPECT_EQ(PortHandle(), nullptr);

  ASSERT_TRUE(PumpUntilIdentified());
  EXPECT_GE(Requests(controller), 2u);
  EXPECT_EQ(w.Log(), kCode1Report);
}

TEST_F(ConnectWindow, AnswerSplitInTwoIsDroppedAndTheNextRequestConnects) {
  vc::Options o = Code1();
  o.faults.split = vc::FrameSet::Of({1});
  o.faults.splitGapMs = 40;  // both halves inside the step's pause, read apart
  vc::VirtualController& controller = Controller("COM91", o);
  TestWindow& w = Window();

  ASSERT_TRUE(w.Click(Control::Button1));
  EXPECT_EQ(ConnectState, ConnectStateT::Scanning);
  ASSERT_TRUE(PumpUntilIdentified());
  EXPECT_GE(Requests(controller), 2u);
  EXPECT_EQ(w.Log(), kCode1Report);
  EXPECT_EQ(w.Background(), kLightGreen);
}

TEST_F(ConnectWindow, ClosingTheWindowDuringTheScanStopsBothTimersAndThePort) {
  PtyPair& silent = Silent("COM91");
  TestWindow& w = Window();
  ASSERT_TRUE(w.Click(Control::Button1));
  EXPECT_EQ(silent.Read(12).size(), 12u);
  ASSERT_TRUE(w.TimerRunning(WindowTimer::Timer1));
  ASSERT_TRUE(Timer2Running());
  w.Close();
  EXPECT_FALSE(w.TimerRunning(WindowTimer::Timer1));
  EXPECT_FALSE(Timer2Running());
  EXPECT_EQ(PortHandle(), nullptr);
  // No further step opens the port, and no retransmission goes out.
  PumpUntil([] { return false; }, 300ms);
  EXPECT_TRUE(silent.Read(1, 1ms).empty());
}

TEST_F(ConnectWindow, DisconnectWhileIdleResetsTheWindow) {
  TestWindow& w = Window();
  w.Form().Memo1->setPlainText("typed by the user");
  w.Form().SetGauge(40);
  ASSERT_TRUE(w.Click(Control::Button3));
  EXPECT_TRUE(w.Log().empty());
  EXPECT_TRUE(w.Form().Memo1->toPlainText().isEmpty());
  EXPECT_EQ(w.Status(), kDisconnected);
  EXPECT_TRUE(w.Enabled(Control::Button1));
  EXPECT_FALSE(w.Enabled(Control::Button2));
  EXPECT_FALSE(w.Enabled(Control::Button4));
  EXPECT_TRUE(w.Visible(Control::Button4));
  EXPECT_EQ(w.Gauge(), 0);
  EXPECT_EQ(w.GaugeText(), "0%");
  EXPECT_EQ(w.Colour(), WindowColour::ButtonFace);
  EXPECT_FALSE(w.TimerRunning(WindowTimer::Timer1));
}

}  // namespace
#endif
