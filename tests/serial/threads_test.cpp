// The reader and writer threads on a pseudo-terminal.
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <numeric>

#include "PortFixture.h"
#include "connect/Connecter.h"
#include "support/FrameBuilders.h"
#include "transfer/ImageStore.h"

namespace {

// A 64-byte frame of a type nobody handles, with its CRC.
std::vector<std::uint8_t> Frame(std::uint8_t fill) {
  std::vector<std::uint8_t> f(64, fill);
  f[0] = 0xDA;
  f[1] = 0x7E;
  test_frames::SealFrame(f.data(), f.size());
  return f;
}

std::vector<std::uint8_t> Concat(std::vector<std::uint8_t> a, const std::vector<std::uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class Reader : public PortFixture {
 protected:
  void SetUp() override {
    PortFixture::SetUp();
    log_.Install();
  }
  BlockLog log_;
};

TEST_F(Reader, BytesReceivedBeforeOpeningNeverReachTheReader) {
  const std::vector<std::uint8_t> stale(30, 0xEE);
  ASSERT_TRUE(pty_.Write(stale));
  ASSERT_TRUE(pty_.WaitQueued(stale.size()));
  ASSERT_TRUE(OpenPort("COM5"));
  const auto frame = Frame(1);
  ASSERT_TRUE(pty_.Write(frame));
  ASSERT_TRUE(log_.WaitBlocks(1));
  const auto blocks = log_.Blocks();
  EXPECT_EQ(blocks.front().bytes, frame);
}

TEST_F(Reader, ValidFrameStopsTimer2SetsReplySeenThenDispatches) {
  ASSERT_TRUE(OpenPort("COM5"));
  Timer2Start(10000);
  const auto frame = Frame(2);
  ASSERT_TRUE(pty_.Write(frame));
  ASSERT_TRUE(log_.WaitDispatches(1));
  const auto blocks = log_.Blocks();
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0].bytes, frame);
  EXPECT_TRUE(blocks[0].valid);
  const auto dispatched = log_.Dispatches();
  EXPECT_EQ(dispatched[0].bytes, frame);
  EXPECT_TRUE(dispatched[0].valid) << "Timer2 stopped and ReplySeen set before the dispatch";
}

TEST_F(Reader, SplitFrameFailsInBothPieces) {
  ASSERT_TRUE(OpenPort("COM5"));
  const auto frame = Frame(3);
  ASSERT_TRUE(pty_.Write(frame.data(), 20));
  ASSERT_TRUE(log_.WaitBlocks(1));
  ASSERT_TRUE(pty_.Write(frame.data() + 20, 44));
  ASSERT_TRUE(log_.WaitBlocks(2));
  const auto blocks = log_.Blocks();
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks[0].bytes.size(), 20u);
  EXPECT_EQ(blocks[1].bytes.size(), 44u);
  EXPECT_FALSE(blocks[0].valid);
  EXPECT_FALSE(blocks[1].valid);
  EXPECT_TRUE(log_.Dispatches().empty());
  EXPECT_EQ(LinkState.ReplySeen.load(), 0);
}

TEST_F(Reader, TwoFramesTogetherAreOneBlockAndOneDispatch) {
  ASSERT_TRUE(OpenPort("COM5"));
  const auto both = Concat(Frame(4), Frame(5));
  ASSERT_TRUE(pty_.Write(both));
  ASSERT_TRUE(log_.WaitDispatches(1));
  const auto blocks = log_.Blocks();
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0].bytes, both);
  EXPECT_TRUE(blocks[0].valid);
  EXPECT_EQ(log_.Dispatches().size(), 1u);
  // A short block goes to the check too, and fails it.
  ASSERT_TRUE(pty_.Write(std::vector<std::uint8_t>(5, 0xDA)));
  ASSERT_TRUE(log_.WaitBlocks(2));
  EXPECT_EQ(log_.Blocks()[1].bytes.size(), 5u);
  EXPECT_FALSE(log_.Blocks()[1].valid);
  EXPECT_EQ(log_.Dispatches().size(), 1u);
}

TEST_F(Reader, MoreThanTheBufferHoldsIsReadOverSeveralPasses) {
  ASSERT_TRUE(OpenPort("COM5"));
  std::vector<std::uint8_t> data(10000);
  std::iota(data.begin(), data.end(), 0);
  ASSERT_TRUE(pty_.Write(data));
  std::vector<std::uint8_t> got;
  ASSERT_TRUE(WaitUntil([&] {
    got.clear();
    for (const auto& b : log_.Blocks()) {
      EXPECT_LE(b.bytes.size(), ReadThread::kRxBufferSize);
      got.insert(got.end(), b.bytes.begin(), b.bytes.end());
    }
    return got.size() >= data.size();
  }));
  EXPECT_EQ(got, data);
}

TEST_F(Reader, ClosingThePortEndsAWaitingReaderPromptly) {
  ASSERT_TRUE(OpenPort("COM5"));
  ASSERT_TRUE(WaitUntil([] { return LiveReadThreadsForTest() == 1; }));
  const auto start = std::chrono::steady_clock::now();
  ClosePort();
  ASSERT_TRUE(WaitUntil([] { return LiveReadThreadsForTest() == 0; }));
  // Generous: the wait ends in the kernel at once, but the machine is shared.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_TRUE(log_.Blocks().empty());
}

TEST_F(Reader, DispatcherMayCloseThePortFromTheReaderThread) {
  ReaderHooksForTest hooks;
  hooks.dispatch = [](const std::uint8_t*) { ClosePort(); };
  SetReaderHooksForTest(std::move(hooks));
  ASSERT_TRUE(OpenPort("COM5"));
  ASSERT_TRUE(pty_.Write(Frame(6)));
  ASSERT_TRUE(WaitUntil(NoThreadsLeft));
  EXPECT_EQ(PortHandle(), nullptr);
  EXPECT_TRUE(OpenPort("COM5"));
}

// A block the reader had read when the port was closed under it (the scan
// giving up on a port) must not count as an answer on the next port.
TEST_F(Reader, BlockOfAClosedPortNeitherCountsNorStopsTimer2) {
  std::mutex mutex;
  std::condition_variable changed;
  bool inCheck = false;
  bool release = false;
  std::atomic<int> dispatched{0};
  ReaderHooksForTest hooks;
  hooks.check = [&](const std::uint8_t* block, std::uint16_t length) {
    std::unique_lock lock(mutex);
    inCheck = true;
    changed.notify_all();
    changed.wait(lock, [&] { return release; });
    return CheckBlock(block, length);
  };
  hooks.dispatch = [&](const std::uint8_t*) { ++dispatched; };
  SetReaderHooksForTest(std::move(hooks));

  ASSERT_TRUE(OpenPort("COM5"));
  ASSERT_TRUE(pty_.Write(Frame(10)));
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(5), [&] { return inCheck; }));
  }
  ClosePort();
  // The next port's identify frame is on its way.
  LinkState.ReplySeen = 0;
  Timer2Start(10000);
  {
    std::lock_guard lock(mutex);
    release = true;
  }
  changed.notify_all();
  ASSERT_TRUE(WaitUntil(NoThreadsLeft));
  EXPECT_EQ(LinkState.ReplySeen.load(), 0);
  EXPECT_TRUE(Timer2Running());
  EXPECT_EQ(dispatched.load(), 0);
  Timer2Stop();
}

TEST_F(Reader, ControllerVanishingAfterItAnsweredEndsTheLink) {
  ASSERT_TRUE(OpenPort("COM5"));
  ASSERT_TRUE(pty_.Write(Frame(1)));
  ASSERT_TRUE(log_.WaitDispatches(1));
  // Connected and idle: nothing is being retransmitted.
  EXPECT_FALSE(Timer2Running());
  pty_.Close();  // unplugged
  ASSERT_TRUE(window_.WaitForEvent("status device disconnected."));
  EXPECT_EQ(PortHandle(), nullptr);
  EXPECT_TRUE(window_.Enabled(Control::Button1));
  EXPECT_FALSE(window_.Enabled(Control::Button2));
  EXPECT_TRUE(WaitUntil(NoThreadsLeft));
}

// A window that runs `onColour` when Disconnect sets the colour: after it has
// stopped Timer2 and before it closes the port.
class GapWindow : public RecordingWindow {
 public:
  std::function<void()> onColour;
  void SetColour(WindowColour colour) override {
    RecordingWindow::SetColour(colour);
    if (auto hook = std::exchange(onColour, nullptr)) hook();
  }
};

TEST_F(Reader, ChunkRequestDispatchedWhileDisconnectRunsNeitherSendsNorRestartsTimer2) {
  GapWindow window;
  std::mutex mutex;
  std::condition_variable changed;
  bool inDispatch = false, release = false, dispatched = false;
  ReaderHooksForTest hooks;
  // The request has passed the reader's stop test; it is dispatched only when
  // Disconnect has got to the gap.
  hooks.dispatch = [&](const std::uint8_t* frame) {
    std::unique_lock lock(mutex);
    inDispatch = true;
    changed.notify_all();
    changed.wait(lock, [&] { return release; });
    lock.unlock();
    DispatchFrame(frame);
    lock.lock();
    dispatched = true;
    changed.notify_all();
  };
  SetReaderHooksForTest(std::move(hooks));

  ASSERT_TRUE(OpenPort("COM5"));
  const std::uint8_t header[kFirmwareHeaderSize] = {};
  const std::vector<std::uint8_t> image(4 * kFrameSize, 0x5A);
  ASSERT_TRUE(CommitImageAndStart(ImageKind::Firmware, header, image.data(), image.size()));
  ASSERT_EQ(pty_.Read(64).size(), 64u);  // frame 0
  ASSERT_TRUE(pty_.Write(test_frames::SealedFrame({0xDA, 0x04, 0x00, 0x00, 0x10, 0x00}, 16)));
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(5), [&] { return inDispatch; }));
  }
  window.onColour = [&] {
    std::unique_lock lock(mutex);
    release = true;
    changed.notify_all();
    EXPECT_TRUE(changed.wait_for(lock, std::chrono::seconds(5), [&] { return dispatched; }));
  };
  Disconnect();
  EXPECT_FALSE(Timer2Running());
  EXPECT_EQ(window.Gauge(), 0);
  EXPECT_TRUE(pty_.Read(1, std::chrono::milliseconds(100)).empty());  // no chunk after the click
  ASSERT_TRUE(WaitUntil(NoThreadsLeft));
  ResetImageStoreForTest();
}

// Each window step of Disconnect, with whether Timer2 ran and the port was
// open when it came.
class StepWindow : public RecordingWindow {
 public:
  std::vector<std::string> steps;
  void ClearLog() override { Note("clear-log"); }
  void StopTimer(WindowTimer timer) override { Note(std::string("stop ") + Name(timer)); }
  void SetColour(WindowColour colour) override { Note(std::string("colour ") + Name(colour)); }
  void SetStatusText(const std::string& text) override { Note("status " + text); }

 private:
  void Note(const std::string& step) {
    steps.push_back(step + (Timer2Running() ? " timer2" : "") + (PortHandle() ? " open" : ""));
  }
};

TEST_F(Reader, DisconnectStopsTimer2BeforeTheWindowStepsAndClosesThePortBeforeTheStatus) {
  StepWindow window;
  ASSERT_TRUE(OpenPort("COM5"));
  Timer2Start(10000);
  Disconnect();
  EXPECT_EQ(window.steps, (std::vector<std::string>{"clear-log timer2 open", "stop Timer1 open",
                                                     "colour ButtonFace open",
                                                     "status device disconnected."}));
}

// A window whose posted jobs wait until the test runs them, as a busy window
// thread would.
class HoldingWindow : public RecordingWindow {
 public:
  void Post(std::function<void()> job) override {
    std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(job));
    changed_.notify_all();
  }
  bool WaitJobs(std::size_t count, std::chrono::milliseconds deadline = std::chrono::seconds(5)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, deadline, [&] { return jobs_.size() >= count; });
  }
  std::size_t Pending() {
    std::lock_guard lock(mutex_);
    return jobs_.size();
  }
  void RunOne() {
    std::function<void()> job;
    {
      std::lock_guard lock(mutex_);
      ASSERT_FALSE(jobs_.empty());
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    job();
  }
  void DropAll() {
    std::lock_guard lock(mutex_);
    jobs_.clear();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::function<void()>> jobs_;
};

void Send(const std::vector<std::uint8_t>& frame) {
  std::lock_guard lock(TransmitLock());
  std::fill(std::begin(TxBuffer.Data), std::end(TxBuffer.Data), 0);
  std::copy(frame.begin(), frame.end(), TxBuffer.Data);
  TxBuffer.Length = static_cast<std::uint16_t>(frame.size());
  PurgePortOutput();
  WakeWriter();
}

using Writer = PortFixture;

TEST_F(Writer, EachWakeUpWritesOnceAndAWakeUpDuringTheHandShakeOnceMore) {
  HoldingWindow window;  // replaces the fixture's window while it lives
  ASSERT_TRUE(OpenPort("COM5"));
  const std::vector<std::uint8_t> a(12, 0xA1);
  Send(a);
  EXPECT_EQ(pty_.Read(12), a);
  ASSERT_TRUE(window.WaitJobs(1));  // the writer waits in the hand-shake

  const auto b = Frame(0xB2);
  Send(b);
  Send(b);  // two wake-ups while busy: one more write
  // Nothing goes out while the window thread has not answered.
  EXPECT_TRUE(pty_.Read(1, std::chrono::milliseconds(100)).empty());
  window.RunOne();
  EXPECT_EQ(pty_.Read(64), b);
  ASSERT_TRUE(window.WaitJobs(1));
  window.RunOne();
  EXPECT_TRUE(pty_.Read(1, std::chrono::milliseconds(200)).empty());
  EXPECT_EQ(window.Pending(), 0u);

  const std::vector<std::uint8_t> c(12, 0xC3);
  Send(c);
  EXPECT_EQ(pty_.Read(12), c);
  ASSERT_TRUE(window.WaitJobs(1));
  window.RunOne();
  ClosePort();
}

TEST_F(Writer, TransmitFramePurgesTheTransmitSideOnlySoPendingInputSurvives) {
  std::mutex mutex;
  std::condition_variable changed;
  bool inCheck = false, release = false;
  ReaderHooksForTest hooks;
  // The reader is held on the first block, so what comes after stays queued.
  hooks.check = [&](const std::uint8_t*, std::uint16_t) {
    std::unique_lock lock(mutex);
    inCheck = true;
    changed.notify_all();
    changed.wait(lock, [&] { return release; });
    return false;
  };
  SetReaderHooksForTest(std::move(hooks));
  ASSERT_TRUE(OpenPort("COM5"));
  ASSERT_TRUE(pty_.Write(Frame(1)));
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(5), [&] { return inCheck; }));
  }
  const std::vector<std::uint8_t> incoming(40, 0x33);
  ASSERT_TRUE(pty_.Write(incoming));
  const auto port = PortHandle();
  ASSERT_NE(port, nullptr);
  const auto queued = [port] {
    std::uint32_t errors = 0, count = 0;
    platform::SerialClearErrors(*port, errors, count);
    return count;
  };
  ASSERT_TRUE(WaitUntil([&] { return queued() >= incoming.size(); }));

  const std::vector<std::uint8_t> frame(12, 0xA5);
  TransmitFrame(true, frame.data(), 12, 0);
  EXPECT_EQ(pty_.Read(12), frame);
  EXPECT_EQ(queued(), incoming.size());
  {
    std::lock_guard lock(mutex);
    release = true;
  }
  changed.notify_all();
  // The reader must be gone before the hook's state is.
  ClosePort();
  ASSERT_TRUE(WaitUntil(NoThreadsLeft));
}

TEST_F(Writer, WriterNeverWokenEndsWithoutWriting) {
  HoldingWindow window;
  ASSERT_TRUE(OpenPort("COM5"));
  ClosePort();
  EXPECT_TRUE(WaitUntil(NoThreadsLeft));
  EXPECT_TRUE(pty_.Read(1, std::chrono::milliseconds(100)).empty());
  EXPECT_EQ(window.Pending(), 0u);
}

TEST_F(Writer, StopRequestEndsAWriterWaitingForAClosingWindowOnceItsFrameIsOut) {
  auto window = std::make_unique<HoldingWindow>();
  ASSERT_TRUE(OpenPort("COM5"));
  Send(Frame(7));
  EXPECT_EQ(pty_.Read(64), Frame(7));
  ASSERT_TRUE(window->WaitJobs(1));
  Send(Frame(8));  // handed over while the writer waits for the window thread
  ClosePort();     // on the window thread, which runs no hand-shake meanwhile
  ASSERT_TRUE(WaitUntil(NoThreadsLeft));
  EXPECT_EQ(pty_.Read(64), Frame(8));
  // The window thread gets to the job only now, after the writer has gone;
  // the frame written during the close posted no hand-shake of its own.
  window->RunOne();
  EXPECT_EQ(window->Pending(), 0u);
  EXPECT_TRUE(pty_.Read(1, std::chrono::milliseconds(100)).empty());

  // And a window that goes away with the job still queued.
  ASSERT_TRUE(OpenPort("COM5"));
  Send(Frame(9));
  ASSERT_TRUE(window->WaitJobs(1));
  window.reset();
  ClosePort();
  EXPECT_TRUE(WaitUntil(NoThreadsLeft));
}

TEST_F(Writer, StopRequestEndsAWriterBlockedOnAFullLine) {
  ASSERT_TRUE(OpenPort("COM5"));
  // Fill the line so the next write has to wait for room that never comes.
  const std::vector<std::uint8_t> filler(4096, 0x11);
  while (write(pty_.slave, filler.data(), filler.size()) > 0) {
  }
  ASSERT_EQ(errno, EAGAIN);
  std::vector<std::uint8_t> big(1024, 0x22);
  {
    std::lock_guard lock(TransmitLock());
    std::copy(big.begin(), big.end(), TxBuffer.Data);
    TxBuffer.Length = 1024;
  }
  WakeWriter();
  // It waits a short while for the frame it was handed, never for good.
  const auto start = std::chrono::steady_clock::now();
  ClosePort();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_TRUE(WaitUntil(NoThreadsLeft));
}

}  // namespace
