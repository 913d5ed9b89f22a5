#include "ui/WindowCalls.h"

void WindowCalls::SetOpen() {
  std::lock_guard lock(mutex_);
  state_ = State::Open;
}

void WindowCalls::SetClosing() {
  std::lock_guard lock(mutex_);
  if (state_ == State::Gone) return;
  state_ = State::Closing;
  ReleaseWaitersLocked();
}

void WindowCalls::SetGone() {
  std::lock_guard lock(mutex_);
  state_ = State::Gone;
  jobs_.clear();
  wakePending_ = false;  // a wake still under way finds nothing to run
  ReleaseWaitersLocked();
}

bool WindowCalls::QueueLocked(std::function<void()> job) {
  jobs_.push_back(std::move(job));
  if (wakePending_) return false;
  wakePending_ = true;
  return true;
}

void WindowCalls::Post(std::function<void()> job) {
  bool wake = false;
  {
    std::lock_guard lock(mutex_);
    if (state_ == State::Gone) return;
    wake = QueueLocked(std::move(job));
  }
  if (wake) wake_();
}

void WindowCalls::RunNext() {
  std::size_t batch = 0;
  {
    std::lock_guard lock(mutex_);
    wakePending_ = false;
    batch = jobs_.size();
  }
  // The jobs queued by now; later ones come with the next wake, so the window
  // thread's other messages are not held up behind a stream of jobs.
  for (; batch > 0; --batch) {
    std::function<void()> job;
    bool wake = false;
    {
      std::lock_guard lock(mutex_);
      if (jobs_.empty()) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
      if (!jobs_.empty() && !wakePending_) wake = wakePending_ = true;
    }
    if (wake) wake_();
    job();
  }
}

void WindowCalls::Finish(const std::shared_ptr<Waiter>& waiter,
                         const std::function<void()>& store) {
  std::lock_guard lock(mutex_);
  std::lock_guard waiterLock(waiter->mutex);
  if (waiter->finished) return;
  store();
  waiter->finished = true;
  waiter->done.notify_all();
  waiters_.remove(waiter);
}

void WindowCalls::ReleaseWaitersLocked() {
  for (const auto& waiter : waiters_) {
    std::lock_guard lock(waiter->mutex);
    waiter->finished = true;
    waiter->done.notify_all();
  }
  waiters_.clear();
}
