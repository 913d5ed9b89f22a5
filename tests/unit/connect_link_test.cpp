// The scan against pseudo-terminals: a thread on the master side plays the
// controller and answers each identify frame with a valid 16-byte frame.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "connect/Connecter.h"
#include "platform/DeviceNames.h"
#include "protocol/Messager.h"
#include "serial/Port.h"
#include "serial/Read_tr.h"
#include "serial/Wrt_tr.h"
#include "support/FrameBuilders.h"
#include "support/Pty.h"
#include "support/RecordingWindow.h"
#include "support/Wait.h"

namespace {

using namespace std::chrono_literals;

// A valid 16-byte frame; 0xDA02 is a type the dispatcher ignores, so only the
// scan reacts to it.
std::vector<std::uint8_t> ShortFrame(std::uint16_t type = 0xDA02) {
  return test_frames::SealedFrame({static_cast<std::uint8_t>(type >> 8), static_cast<std::uint8_t>(type)}, 16);
}

// Plays a controller on the master side of a pseudo-terminal.
class FakeController {
 public:
  enum class Mode { Prompt, Silent, Late, SplitOnce };

  // `halfTaken` tells, for SplitOnce, when the port has read the first half.
  explicit FakeController(PtyPair& pty, Mode mode = Mode::Prompt,
                          std::function<bool()> halfTaken = {})
      : pty_(pty), mode_(mode), halfTaken_(std::move(halfTaken)) {
    thread_ = std::thread([this] { Run(); });
  }
  ~FakeController() {
    quit_ = true;
    thread_.join();
  }
  void SetMode(Mode mode) { mode_ = mode; }
  int Requests() const { return requests_; }
  int Answers() const { return answers_; }
  // The request whose answer went out in two halves; 0 before that.
  int SplitAt() const { return splitAt_; }

 private:
  void Run() {
    std::vector<std::uint8_t> pending;
    while (!quit_) {
      const auto got = pty_.Read(12 - pending.size(), 20ms);
      pending.insert(pending.end(), got.begin(), got.end());
      if (pending.size() < 12) continue;
      pending.clear();
      ++requests_;
      Answer();
    }
  }

  void Answer() {
    const auto frame = ShortFrame();
    switch (mode_.load()) {
      case Mode::Silent:
        return;
      case Mode::Prompt:
        break;
      case Mode::Late:
        // Well after the step's pause has ended and the port was closed.
        std::this_thread::sleep_for(300ms);
        break;
      case Mode::SplitOnce: {
        pty_.Write(frame.data(), 8);
        // The rest only once the port's reader has taken the first half on
        // its own; a step that closed the port first gets nothing more, and
        // the next request is split again.
        if (!halfTaken_ || !WaitUntil(halfTaken_, 1s)) return;
        pty_.Write(frame.data() + 8, 8);
        splitAt_ = requests_.load();
        mode_ = Mode::Prompt;
        return;
      }
    }
    pty_.Write(frame);
    ++answers_;
  }

  PtyPair& pty_;
  std::atomic<Mode> mode_;
  std::function<bool()> halfTaken_;
  std::atomic<bool> quit_{false};
  std::atomic<int> requests_{0};
  std::atomic<int> answers_{0};
  std::atomic<int> splitAt_{0};
  std::thread thread_;
};

class ConnectLink : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(WaitUntil(NoThreadsLeft));
    ResetMessagerForTest();
    ResetConnecterForTest();
    // Only the links made here: the machine's own serial ports stay untouched.
    platform::SetDeviceNameSourceForTest([this](char* buffer, std::uint32_t maxChars) {
      std::string all;
      for (const auto& n : links_) all += n + '\0';
      all += '\0';
      if (all.size() > maxChars) return std::uint32_t{0};
      std::memcpy(buffer, all.data(), all.size());
      return static_cast<std::uint32_t>(all.size());
    });
  }
  void TearDown() override {
    Disconnect();
    SetBlockObserverForTest({});
    platform::SetDeviceNameSourceForTest({});
    EXPECT_TRUE(WaitUntil(NoThreadsLeft));
    for (const auto& name : links_) RemoveComLink(name);
    ResetMessagerForTest();
  }

  PtyPair& AddPty(const std::string& name) {
    ptys_.push_back(std::make_unique<PtyPair>(OpenPtyPair()));
    EXPECT_TRUE(ptys_.back()->Ok());
    Link(name, ptys_.back()->slavePath);
    return *ptys_.back();
  }
  void Link(const std::string& name, const std::string& target) {
    EXPECT_FALSE(MakeComLink(name, target).empty());
    links_.push_back(name);
  }

  // The entries the scan steps selected, in order (ListSerialPorts' own
  // selection of entry 0 comes just before each).
  std::vector<int> Tried() const {
    std::vector<int> tried;
    bool listed = false;
    for (const auto& e : window.Events()) {
      if (e == "ports-clear") listed = false;
      if (e.rfind("ports-current ", 0) != 0) continue;
      if (listed) tried.push_back(std::stoi(e.substr(14)));
      listed = !listed;
    }
    return tried;
  }

  // Steps as Timer1 would, until a step connects or `steps` have run. A step
  // that misses the answer only because the machine is slow is followed by
  // another one; the tests look at the step that connected.
  bool TickUntilConnected(int steps) {
    for (int i = 0; i < steps && ConnectState != ConnectStateT::Connected; ++i) Timer1Timer();
    return ConnectState == ConnectStateT::Connected;
  }

  RecordingWindow window;
  std::vector<std::unique_ptr<PtyPair>> ptys_;
  std::vector<std::string> links_;
};

TEST_F(ConnectLink, FirstStepThatConnectsInsideTheClickStillStartsTimer1) {
  PtyPair& pty = AddPty("COM91");
  FakeController controller(pty);

  // A slow machine may miss the answer within the pause; click again then.
  for (int i = 0; i < 10 && ConnectState != ConnectStateT::Connected; ++i) {
    window.ClearEvents();
    Button1Click();
  }
  ASSERT_EQ(ConnectState, ConnectStateT::Connected);
  auto events = window.Events();
  ASSERT_GE(events.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(events.end() - 4, events.end()),
            (std::vector<std::string>{"stop Timer1", "gauge 0", "status The device is connected!",
                                      "start Timer1"}));
  EXPECT_TRUE(window.TimerRunning(WindowTimer::Timer1));
  EXPECT_NE(PortHandle(), nullptr);
  EXPECT_EQ(LinkState.ReplySeen, 0);
  EXPECT_EQ(ScanPortIndex, 0);  // not advanced on the answering port
  // The reader stopped the retransmission when the answer came.
  EXPECT_TRUE(WaitUntil([] { return !Timer2Running(); }));

  // Ticks of the still running Timer1 do nothing while connected.
  const int requests = controller.Requests();
  window.ClearEvents();
  Timer1Timer();
  Timer1Timer();
  EXPECT_TRUE(window.Events().empty());
  EXPECT_EQ(controller.Requests(), requests);
  EXPECT_NE(PortHandle(), nullptr);

  Button3Click();
  EXPECT_EQ(PortHandle(), nullptr);
  EXPECT_FALSE(window.TimerRunning(WindowTimer::Timer1));
}

TEST_F(ConnectLink, ConnectWhileConnectedLetsGoOfTheOpenPortBeforeTryingAgain) {
  // An answer that identifies nothing (here a frame of an ignored type) leaves
  // CONNECT enabled on an open port.
  PtyPair& pty = AddPty("COM91");
  FakeController controller(pty);
  for (int i = 0; i < 10 && ConnectState != ConnectStateT::Connected; ++i) Button1Click();
  ASSERT_EQ(ConnectState, ConnectStateT::Connected);
  ASSERT_TRUE(window.Enabled(Control::Button1));

  // The same port is tried again; it must not still be held by the old link.
  window.ClearEvents();
  for (int i = 0; i < 10; ++i) {
    Button1Click();
    if (ConnectState == ConnectStateT::Connected) break;
  }
  ASSERT_EQ(ConnectState, ConnectStateT::Connected);
  const auto events = window.Events();
  EXPECT_EQ(std::find(events.begin(), events.end(), std::string("status ") + kOpenFailedText),
            events.end());
  EXPECT_TRUE(WaitUntil([] { return LiveReadThreadsForTest() == 1; }));
}

TEST_F(ConnectLink, StepsTryDanglingSilentAndAnsweringPortsInOrderAndReconnectToTheLast) {
  Link("COM91", "/nonexistent/tavrin-no-such-port");
  PtyPair& silentPty = AddPty("COM92");
  PtyPair& answeringPty = AddPty("COM93");
  FakeController silent(silentPty, FakeController::Mode::Silent);
  FakeController answering(answeringPty);

  Button1Click();
  EXPECT_EQ(window.Ports(), (std::vector<std::string>{"COM91", "COM92", "COM93"}));
  EXPECT_EQ(window.Status(), kOpenFailedText);
  ASSERT_TRUE(TickUntilConnected(30));

  const auto tried = Tried();
  ASSERT_GE(tried.size(), 3u);
  EXPECT_EQ(std::vector<int>(tried.begin(), tried.begin() + 3), (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(tried.back(), 2);
  EXPECT_GE(silent.Requests(), 1);  // the silent port was opened and asked
  EXPECT_EQ(ScanPortIndex, 2);
  EXPECT_EQ(window.Status(), "The device is connected!");
  EXPECT_EQ(window.Gauge(), 0);
  EXPECT_FALSE(window.TimerRunning(WindowTimer::Timer1));  // stopped by the answering tick

  // The silent port's step put the button face back and closed that port.
  const auto events = window.Events();
  EXPECT_NE(std::find(events.begin(), events.end(), "colour ButtonFace"), events.end());

  // DISCONNECT, CONNECT: the first step tries the port that answered last.
  Button3Click();
  window.ClearEvents();
  Button1Click();
  ASSERT_FALSE(Tried().empty());
  EXPECT_EQ(Tried().front(), 2);
}

TEST_F(ConnectLink, LateAnswerIsNotCountedAndIsDiscardedWhenThePortOpensAgain) {
  PtyPair& pty = AddPty("COM91");
  FakeController controller(pty, FakeController::Mode::Late);

  Button1Click();
  EXPECT_EQ(ConnectState, ConnectStateT::Scanning);
  EXPECT_EQ(ScanPortIndex, 1);
  EXPECT_EQ(window.Colour(), WindowColour::ButtonFace);
  EXPECT_EQ(window.Events().back(), "start Timer1");

  // The answer comes while the port is closed and waits in the line.
  ASSERT_TRUE(WaitUntil([&] { return controller.Answers() == 1; }));
  ASSERT_TRUE(pty.WaitQueued(16));
  EXPECT_EQ(LinkState.ReplySeen, 0);

  // Opening the port again drops it, so a silent controller gets no credit.
  // (A step whose writer had no time to send before the pause ended is
  // followed by another.)
  controller.SetMode(FakeController::Mode::Silent);
  for (int i = 0; i < 20 && controller.Requests() < 2; ++i) {
    Timer1Timer();
    WaitUntil([&] { return controller.Requests() >= 2; }, 200ms);
  }
  ASSERT_GE(controller.Requests(), 2);
  EXPECT_EQ(ConnectState, ConnectStateT::Scanning);
  EXPECT_EQ(LinkState.ReplySeen, 0);

  // A prompt answer connects.
  controller.SetMode(FakeController::Mode::Prompt);
  ASSERT_TRUE(TickUntilConnected(10));
  EXPECT_EQ(window.Status(), "The device is connected!");
}

TEST_F(ConnectLink, AnswerSplitOverTwoReadsIsDroppedAndTheNextRequestConnects) {
  std::mutex blocksMutex;
  std::vector<std::pair<std::uint16_t, bool>> blocks;  // length, valid
  SetBlockObserverForTest([&](const std::uint8_t*, std::uint16_t length, bool valid) {
    std::lock_guard lock(blocksMutex);
    blocks.emplace_back(length, valid);
  });
  auto blockCount = [&] {
    std::lock_guard lock(blocksMutex);
    return blocks.size();
  };
  PtyPair& pty = AddPty("COM91");
  FakeController controller(pty, FakeController::Mode::SplitOnce,
                            [&] { return blockCount() > 0; });

  Button1Click();
  ASSERT_TRUE(TickUntilConnected(40));
  ASSERT_GT(controller.SplitAt(), 0);
  // The step that connected asked again after the split answer.
  EXPECT_GT(controller.Requests(), controller.SplitAt());

  std::lock_guard lock(blocksMutex);
  ASSERT_FALSE(blocks.empty());
  EXPECT_EQ(blocks.back(), std::make_pair(std::uint16_t{16}, true));
  for (std::size_t i = 0; i + 1 < blocks.size(); ++i) {
    EXPECT_EQ(blocks[i], std::make_pair(std::uint16_t{8}, false)) << "block " << i;
  }
  EXPECT_EQ(window.Status(), "The device is connected!");
}

TEST_F(ConnectLink, PortsFailingToOpenAfterARequestEndInTheRetryLimit) {
  PtyPair& pty = AddPty("COM91");
  FakeController controller(pty, FakeController::Mode::Silent);
  std::atomic<int> handedOver{0};
  SetTransmitObserverForTest([&](const std::uint8_t*, std::uint16_t) { ++handedOver; });

  Button1Click();
  ASSERT_TRUE(WaitUntil([&] { return controller.Requests() == 1; }));
  RemoveComLink("COM91");

  // Timer1's ticks, 100 ms apart, until Disconnect stops it. Timer2's
  // expiries run under the transmit lock; holding it around a tick keeps the
  // two apart, as on the window thread (no port opens, so no writer waits).
  const auto until = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < until) {
    {
      std::lock_guard lock(TransmitLock());
      if (!window.TimerRunning(WindowTimer::Timer1)) break;
      Timer1Timer();
    }
    window.WaitFor([&] { return !window.TimerRunning(WindowTimer::Timer1); }, 100ms);
  }
  EXPECT_EQ(window.Status(), kRetryLimitText);
  EXPECT_FALSE(window.TimerRunning(WindowTimer::Timer1));
  EXPECT_FALSE(Timer2Running());
  EXPECT_EQ(handedOver, 7);  // once fresh, six times again
  EXPECT_EQ(controller.Requests(), 1);
  EXPECT_TRUE(window.Enabled(Control::Button1));
  EXPECT_EQ(window.Gauge(), 0);
}

}  // namespace
