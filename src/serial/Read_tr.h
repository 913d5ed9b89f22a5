// The reader thread of the open port: waits for received bytes, reads what is
// queued and hands each block to the receive check and the dispatcher.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/Serial.h"

class ReadThread {
 public:
  static constexpr std::uint32_t kRxBufferSize = 4096;

  // Starts the thread at once. It keeps the port and itself alive while it
  // runs and disposes of itself when its body ends. Throws std::system_error
  // when no thread can be started.
  static std::shared_ptr<ReadThread> Start(platform::SerialHandle port);

  // The stop request; the thread ends at its next test of it (closing the port
  // ends a pending wait).
  void Terminate() {
    terminated_.store(true);
    terminated_.notify_all();
  }
  bool Terminated() const { return terminated_.load(); }

  explicit ReadThread(platform::SerialHandle port) : port_(std::move(port)) {}

 private:
  void Execute();
  void HandleBlock(std::uint16_t count);
  void DeviceGone();

  platform::SerialHandle port_;
  std::atomic<bool> terminated_{false};
  bool answered_ = false;  // a block of this port passed the check
  // The port's RxBuffer. Each reader has its own: the reader of a port just
  // closed may still be finishing a block while the next port's reader starts.
  std::uint8_t RxBuffer[kRxBufferSize] = {};
};

// True on a reader thread that has its stop request: what it dispatches then
// belongs to a link that is ending, and must neither start Timer2 nor send.
// Read under TransmitLock(), under which the stop requests are given.
bool OnStoppedReaderThread();

// Test seams. The observer sees every block after the check; `check` and
// `dispatch` replace CheckBlock and DispatchFrame when set. Empty functions
// restore the real ones.
struct ReaderHooksForTest {
  std::function<void(const std::uint8_t* block, std::uint16_t length, bool valid)> observer;
  std::function<bool(const std::uint8_t* block, std::uint16_t length)> check;
  std::function<void(const std::uint8_t* frame)> dispatch;
};
void SetReaderHooksForTest(ReaderHooksForTest hooks);
void SetBlockObserverForTest(
    std::function<void(const std::uint8_t* block, std::uint16_t length, bool valid)> observer);
// Reader threads whose body has not yet ended.
int LiveReadThreadsForTest();
