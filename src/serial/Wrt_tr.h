// The writer thread of the open port: asleep until woken, then writes the
// frame it was handed once and hand-shakes with the window thread.
#pragma once

#include <chrono>
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

  // One more write, of a copy of `frame` (the contents of TxBuffer). A
  // wake-up while the thread is busy is kept and served when the current pass
  // ends, with the frame of the latest wake-up.
  void Wake(const std::uint8_t* frame, std::uint16_t length);
  // The stop request: the thread ends whether it sleeps, writes or waits in
  // the hand-shake. A frame it has been handed and not yet written is still
  // written first; Finish waits for that write, never longer than `limit`,
  // and never for the hand-shake.
  void Finish(std::chrono::milliseconds limit);

  explicit WriteThread(platform::SerialHandle port) : port_(std::move(port)) {}

 private:
  void Execute();
  bool WaitForWake();
  void HandShake();

  platform::SerialHandle port_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool wakePending_ = false;
  bool terminated_ = false;
  bool writing_ = false;
  bool ended_ = false;
  std::uint16_t handedLength_ = 0;
  std::uint8_t handed_[1024] = {};  // the frame of the latest wake-up
  std::uint64_t handShakesPosted_ = 0;
  std::uint64_t handShakesRun_ = 0;
  // The frame being written: a copy, so a wake-up during the write never
  // changes bytes that are going out.
  std::uint8_t frame_[1024] = {};
  std::uint16_t length_ = 0;
};

// Writer threads whose body has not yet ended.
int LiveWriteThreadsForTest();
