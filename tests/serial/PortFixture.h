// A pseudo-terminal behind COM5, a recording window, and clean module state
// before and after each test of the port and its threads.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Serial.h"
#include "platform/linux/PortUse.h"
#include "protocol/Messager.h"
#include "serial/Port.h"
#include "serial/Read_tr.h"
#include "serial/Wrt_tr.h"
#include "support/Pty.h"
#include "support/RecordingWindow.h"
#include "support/Wait.h"

class PortFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(NoThreadsLeft() || WaitUntil(NoThreadsLeft));
    ResetMessagerForTest();
    pty_ = OpenPtyPair();
    ASSERT_TRUE(pty_.Ok());
    ASSERT_FALSE(MakeComLink("COM5", pty_.slavePath).empty());
  }
  void TearDown() override {
    platform::SetModemLinesForTest({});
    platform::SetBeforeOpenForTest({});
    ClosePort();
    EXPECT_TRUE(WaitUntil(NoThreadsLeft));
    platform::SetSerialFaultForTest(platform::SerialFault::None);
    SetReaderHooksForTest({});
    RemoveComLink("COM5");
    ResetMessagerForTest();
  }

  RecordingWindow window_;
  PtyPair pty_;
};

// Collects what the reader hands to the check, and what it dispatches.
class BlockLog {
 public:
  struct Block {
    std::vector<std::uint8_t> bytes;
    bool valid;
  };

  void Install(bool recordDispatch = true) {
    ReaderHooksForTest hooks;
    hooks.observer = [this](const std::uint8_t* block, std::uint16_t length, bool valid) {
      std::lock_guard lock(mutex_);
      blocks_.push_back({std::vector<std::uint8_t>(block, block + length), valid});
      changed_.notify_all();
    };
    if (recordDispatch) {
      hooks.dispatch = [this](const std::uint8_t* frame) {
        std::lock_guard lock(mutex_);
        // What the reader must have done before it dispatches.
        dispatches_.push_back({std::vector<std::uint8_t>(frame, frame + 64),
                               LinkState.ReplySeen.load() == 1 && !Timer2Running()});
        changed_.notify_all();
      };
    }
    SetReaderHooksForTest(std::move(hooks));
  }

  bool WaitBlocks(std::size_t count, std::chrono::milliseconds deadline = std::chrono::seconds(5)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, deadline, [&] { return blocks_.size() >= count; });
  }
  bool WaitDispatches(std::size_t count,
                      std::chrono::milliseconds deadline = std::chrono::seconds(5)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, deadline, [&] { return dispatches_.size() >= count; });
  }
  std::vector<Block> Blocks() {
    std::lock_guard lock(mutex_);
    return blocks_;
  }
  // Each entry: the frame dispatched; `valid` tells that the timer was stopped
  // and ReplySeen set when it was.
  std::vector<Block> Dispatches() {
    std::lock_guard lock(mutex_);
    return dispatches_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Block> blocks_;
  std::vector<Block> dispatches_;
};
