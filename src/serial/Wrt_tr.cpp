#include "serial/Wrt_tr.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "ui/WindowOps.h"

namespace {
std::atomic<int> g_liveWriters{0};
}  // namespace

int LiveWriteThreadsForTest() { return g_liveWriters.load(); }

std::shared_ptr<WriteThread> WriteThread::Create(platform::SerialHandle port) {
  auto self = std::make_shared<WriteThread>(std::move(port));
  g_liveWriters.fetch_add(1);
  try {
    std::thread([self] {
      self->Execute();
      g_liveWriters.fetch_sub(1);
    }).detach();
  } catch (...) {
    g_liveWriters.fetch_sub(1);
    throw;
  }
  return self;
}

void WriteThread::Wake(const std::uint8_t* frame, std::uint16_t length) {
  {
    std::lock_guard lock(mutex_);
    handedLength_ = std::min<std::uint16_t>(length, sizeof handed_);
    std::memcpy(handed_, frame, handedLength_);
    wakePending_ = true;
  }
  changed_.notify_all();
}

void WriteThread::Finish(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  terminated_ = true;
  changed_.notify_all();
  changed_.wait_for(lock, limit, [this] { return ended_ || (!wakePending_ && !writing_); });
}

// Takes the frame of the next wake-up; false when the stop request has come
// and no frame is waiting to be written.
bool WriteThread::WaitForWake() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return wakePending_ || terminated_; });
  if (!wakePending_) {
    ended_ = true;
    changed_.notify_all();
    return false;
  }
  wakePending_ = false;
  writing_ = true;
  length_ = handedLength_;
  std::memcpy(frame_, handed_, length_);
  return true;
}

void WriteThread::Execute() {
  // Created asleep: nothing happens before the first wake-up.
  while (WaitForWake()) {
    std::uint32_t written = 0;
    // A failed write is made good by the retransmission timer.
    (void)platform::SerialWrite(*port_, frame_, length_, written);
    {
      std::lock_guard lock(mutex_);
      writing_ = false;
    }
    changed_.notify_all();
    HandShake();
  }
}

// Waits until the window thread has run an empty job, so that frames never
// outrun the window thread. The job holds this object, so it may run (or be
// dropped) after the thread has ended; a stop request ends the wait at once,
// also when the window is closing and will never run the job.
void WriteThread::HandShake() {
  std::uint64_t ticket = 0;
  {
    std::lock_guard lock(mutex_);
    if (terminated_) return;
    ticket = ++handShakesPosted_;
  }
  Window().Post([self = shared_from_this(), ticket] {
    {
      std::lock_guard lock(self->mutex_);
      self->handShakesRun_ = std::max(self->handShakesRun_, ticket);
    }
    self->changed_.notify_all();
  });
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this, ticket] { return handShakesRun_ >= ticket || terminated_; });
}
