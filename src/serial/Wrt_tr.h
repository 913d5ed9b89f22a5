// The writer thread of the open port: asleep until woken, then writes the
// frame in TxBuffer once and hand-shakes with the window thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/Serial.h"

class WriteThread : public std::enable_shared_from_this<WriteThread> {
 public:
  // Creates the thread asleep: its loop first runs at the first Wake. It keeps
  // the port and itself alive while it runs and disposes of itself when its
  // body ends. Throws std::system_error when no thread can be started.
  static std::shared_ptr<WriteThread> Create(platform::SerialHandle port);

  // One more write of the frame in TxBuffer. A wake-up while the thread is
  // busy is kept and served when the current pass ends.
  void Wake();
  // The stop request, with a wake-up: the thread ends whether it sleeps,
  // writes or waits in the hand-shake, without another write.
  void Terminate();

  explicit WriteThread(platform::SerialHandle port) : port_(std::move(port)) {}

 private:
  void Execute();
  bool WaitForWake();  // false on the stop request
  void HandShake();

  platform::SerialHandle port_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool wakePending_ = false;
  bool terminated_ = false;
  std::uint64_t handShakesPosted_ = 0;
  std::uint64_t handShakesRun_ = 0;
  // The frame being written: a copy, so a refill of TxBuffer during the write
  // never changes bytes that are going out.
  std::uint8_t frame_[1024] = {};
};

// Writer threads whose body has not yet ended.
int LiveWriteThreadsForTest();
