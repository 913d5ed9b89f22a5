// The scan's bookkeeping with ports that never answer: gauge, port index,
// CONNECT's reset of the device numbers, and Disconnect.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "connect/Connecter.h"
#include "platform/DeviceNames.h"
#include "protocol/Messager.h"
#include "serial/Port.h"
#include "support/RecordingWindow.h"

namespace {

// Names that no COM link and no serial port of the machine stands behind.
const std::vector<std::string> kAbsent = {"COM231", "COM232", "COM233"};

class ConnectScan : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetMessagerForTest();
    ResetConnecterForTest();
    ListDevices({});
  }
  void TearDown() override {
    ClosePort();
    Timer2Stop();
    platform::SetDeviceNameSourceForTest({});
    ResetMessagerForTest();
  }

  // What the system's device listing reports from now on.
  void ListDevices(std::vector<std::string> names) {
    platform::SetDeviceNameSourceForTest(
        [names](char* buffer, std::uint32_t maxChars) -> std::uint32_t {
          std::string all;
          for (const auto& n : names) all += n + '\0';
          all += '\0';
          if (all.size() > maxChars) return 0;
          std::memcpy(buffer, all.data(), all.size());
          return static_cast<std::uint32_t>(all.size());
        });
  }

  std::vector<std::string> EventsStartingWith(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const auto& e : window.Events()) {
      if (e.rfind(prefix, 0) == 0) out.push_back(e);
    }
    return out;
  }

  RecordingWindow window;
};

TEST_F(ConnectScan, GaugeRisesByTenWrapsAfterHundredAndCarriesAcrossScans) {
  Button1Click();
  for (int i = 0; i < 11; ++i) Timer1Timer();
  EXPECT_EQ(EventsStartingWith("gauge "),
            (std::vector<std::string>{"gauge 10", "gauge 20", "gauge 30", "gauge 40", "gauge 50",
                                      "gauge 60", "gauge 70", "gauge 80", "gauge 90", "gauge 100",
                                      "gauge 0", "gauge 10"}));

  // Two more steps, then DISCONNECT and CONNECT: the new scan goes on from 30.
  Timer1Timer();
  Timer1Timer();
  EXPECT_EQ(ScanGauge, 30);
  Button3Click();
  EXPECT_EQ(window.Gauge(), 0);
  window.ClearEvents();
  Button1Click();
  EXPECT_EQ(EventsStartingWith("gauge "), std::vector<std::string>{"gauge 40"});
  EXPECT_EQ(window.Gauge(), 40);
}

TEST_F(ConnectScan, StepShowsScanTextThenTheOpenFailure) {
  Button1Click();
  const auto statuses = EventsStartingWith("status ");
  ASSERT_EQ(statuses.size(), 2u);
  EXPECT_EQ(statuses[0], "status  Идет сканирование портов ");
  EXPECT_EQ(statuses[1], std::string("status ") + kOpenFailedText);
  EXPECT_EQ(window.Status(), kOpenFailedText);
  // A port that does not open never sends, so nothing is retransmitted.
  EXPECT_FALSE(Timer2Running());
}

TEST_F(ConnectScan, EachStepRefreshesTheListAndTriesTheNextPortRoundTheList) {
  ListDevices(kAbsent);
  Button1Click();
  EXPECT_EQ(window.Ports(), kAbsent);
  for (int i = 0; i < 4; ++i) Timer1Timer();
  // Every step empties and refills the list before it picks the port.
  EXPECT_EQ(EventsStartingWith("ports-clear").size(), 5u);
  EXPECT_EQ(EventsStartingWith("ports-add ").size(), 15u);
  // ListSerialPorts selects entry 0, then the step selects the port to try.
  std::vector<std::string> tried;
  const auto currents = EventsStartingWith("ports-current ");
  for (std::size_t i = 1; i < currents.size(); i += 2) tried.push_back(currents[i]);
  EXPECT_EQ(tried, (std::vector<std::string>{"ports-current 0", "ports-current 1",
                                             "ports-current 2", "ports-current 0",
                                             "ports-current 1"}));
  EXPECT_EQ(ScanPortIndex, 2);
  EXPECT_EQ(ConnectState, ConnectStateT::Scanning);
}

TEST_F(ConnectScan, IndexCarriesOverDisconnectAndRestartsWhenTheListShrinks) {
  ListDevices(kAbsent);
  Button1Click();
  Timer1Timer();
  EXPECT_EQ(ScanPortIndex, 2);
  Button3Click();
  EXPECT_EQ(ScanPortIndex, 2);  // Disconnect leaves it

  // The third port has gone: the index equals the new count, so the step
  // tries entry 0 and counts on from there.
  ListDevices({kAbsent[0], kAbsent[1]});
  window.ClearEvents();
  Button1Click();
  EXPECT_EQ(EventsStartingWith("ports-current ").back(), "ports-current 0");
  EXPECT_EQ(ScanPortIndex, 1);
  Timer1Timer();
  EXPECT_EQ(EventsStartingWith("ports-current ").back(), "ports-current 1");
  EXPECT_EQ(ScanPortIndex, 2);

  // No ports at all: nothing is current, the empty name fails to open, and
  // the index goes round 0 -> 1 on every step.
  ListDevices({});
  window.ClearEvents();
  Timer1Timer();
  Timer1Timer();
  EXPECT_EQ(window.PortCurrent(), -1);
  EXPECT_EQ(ScanPortIndex, 1);
  EXPECT_EQ(window.Status(), kOpenFailedText);
  EXPECT_EQ(EventsStartingWith("gauge ").size(), 2u);
}

TEST_F(ConnectScan, ConnectZeroesTheDeviceNumbersAndStartsTimer1AfterItsStep) {
  DeviceInfo.DeviceCode = 7;
  DeviceInfo.FirmwareVersion = 300;
  DeviceInfo.DataMapVersion = 4;
  DeviceInfo.ProgramMemoryOk = true;

  Button1Click();
  EXPECT_EQ(DeviceInfo.DeviceCode, 0);
  EXPECT_EQ(DeviceInfo.FirmwareVersion, 0);
  EXPECT_EQ(DeviceInfo.DataMapVersion, 0);
  EXPECT_TRUE(DeviceInfo.ProgramMemoryOk);

  const auto events = window.Events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.front(), "ports-clear");  // the step runs inside the click
  EXPECT_EQ(events.back(), "start Timer1");
  EXPECT_TRUE(window.TimerRunning(WindowTimer::Timer1));
}

TEST_F(ConnectScan, SecondConnectDuringTheScanRunsOneExtraStep) {
  ListDevices(kAbsent);
  Button1Click();
  Timer1Timer();
  DeviceInfo.FirmwareVersion = 9;
  window.ClearEvents();
  Button1Click();
  EXPECT_EQ(EventsStartingWith("ports-clear").size(), 1u);
  EXPECT_EQ(ScanPortIndex, 3);  // the third port was tried; the next step wraps
  EXPECT_EQ(ScanGauge, 30);
  EXPECT_EQ(DeviceInfo.FirmwareVersion, 0);
  EXPECT_TRUE(window.TimerRunning(WindowTimer::Timer1));
}

TEST_F(ConnectScan, ConnectedStateIgnoresTimerTicksUntilConnectRestartsTheScan) {
  ConnectState = ConnectStateT::Connected;
  Timer1Timer();
  Timer1Timer();
  EXPECT_TRUE(window.Events().empty());

  ConnectStep(true);
  EXPECT_EQ(ConnectState, ConnectStateT::Scanning);
  EXPECT_EQ(EventsStartingWith("ports-clear").size(), 1u);
}

TEST_F(ConnectScan, OnlyNamesLongerThanFourCharactersGoThroughTheDeviceNamespace) {
  std::vector<std::string> paths;
  SetOpenPathObserverForTest([&](const std::string& path) { paths.push_back(path); });
  // COM7: no controller there to answer (under Wine one may be on COM5),
  // which would end the scan at the first port.
  ListDevices({"COM7", "COM10"});
  Button1Click();  // whether the ports open does not matter here
  Timer1Timer();
  SetOpenPathObserverForTest({});
  EXPECT_EQ(paths, (std::vector<std::string>{"COM7", "\\\\.\\COM10"}));
}

TEST_F(ConnectScan, DisconnectResetsTheWindowInItsOrderAndLeavesTheScanState) {
  window.AddLogLine("left over");
  window.EnableControl(Control::Button1, false);
  window.EnableControl(Control::Button2, true);
  window.ShowControl(Control::Button4, false);
  window.SetColour(WindowColour::Red);
  window.SetGauge(70);
  window.StartTimer(WindowTimer::Timer1);
  Timer2Start(1000);
  ConnectState = ConnectStateT::Connected;
  ScanPortIndex = 3;
  ScanGauge = 60;
  LinkState.AlertFlag = 1;
  DeviceInfo.DeviceCode = 5;
  window.ClearEvents();

  Button3Click();
  EXPECT_EQ(window.Events(),
            (std::vector<std::string>{"clear-log", "stop Timer1", "colour ButtonFace",
                                      "status device disconnected.", "enable Button1 1",
                                      "enable Button2 0", "enable Button4 0", "gauge 0"}));
  EXPECT_FALSE(Timer2Running());
  EXPECT_EQ(PortHandle(), nullptr);
  EXPECT_TRUE(window.Log().empty());
  EXPECT_FALSE(window.Visible(Control::Button4));  // visibility is not Disconnect's
  EXPECT_EQ(ConnectState, ConnectStateT::Connected);
  EXPECT_EQ(ScanPortIndex, 3);
  EXPECT_EQ(ScanGauge, 60);
  EXPECT_EQ(LinkState.AlertFlag, 1);
  EXPECT_EQ(DeviceInfo.DeviceCode, 5);
}

TEST_F(ConnectScan, DisconnectWhileIdleStillResetsEverythingAndCanRepeat) {
  Disconnect();
  Disconnect();
  EXPECT_EQ(window.Status(), "device disconnected.");
  EXPECT_TRUE(window.Enabled(Control::Button1));
  EXPECT_FALSE(window.Enabled(Control::Button2));
  EXPECT_FALSE(window.Enabled(Control::Button4));
  EXPECT_TRUE(window.Enabled(Control::Button3));
  EXPECT_EQ(window.Gauge(), 0);
  EXPECT_EQ(window.Colour(), WindowColour::ButtonFace);
  const auto events = window.Events();
  EXPECT_EQ(std::count(events.begin(), events.end(), "clear-log"), 2);
  EXPECT_FALSE(Timer2Running());
}

}  // namespace
