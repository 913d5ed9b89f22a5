#include "platform/PeriodicTimer.h"

#include <optional>
#include <utility>

PeriodicTimer::PeriodicTimer(std::recursive_mutex& guard, Job onExpiry, Poster post)
    : guard_(guard), onExpiry_(std::move(onExpiry)), post_(std::move(post)) {
  thread_ = std::thread([this] { Run(); });
}

PeriodicTimer::~PeriodicTimer() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void PeriodicTimer::Start(std::uint32_t intervalMs) {
  std::lock_guard outer(guard_);
  {
    std::lock_guard lock(mutex_);
    ++generation_;
    interval_ = intervalMs;
    running_ = intervalMs != 0;
    posted_ = false;
    deadline_ = Clock::now() + std::chrono::milliseconds(intervalMs);
    // A thread already asleep until an earlier time will find the new
    // deadline when it wakes; waking it now would cost a switch per restart.
    if (!running_ || (sleepingUntil_ && *sleepingUntil_ <= deadline_)) return;
  }
  wake_.notify_all();
}

void PeriodicTimer::Stop() {
  std::lock_guard outer(guard_);
  {
    std::lock_guard lock(mutex_);
    ++generation_;
    running_ = false;
    posted_ = false;
  }
}

bool PeriodicTimer::Running() const {
  std::lock_guard lock(mutex_);
  return running_;
}

void PeriodicTimer::WaitForPoster() {
  std::unique_lock lock(mutex_);
  postDone_.wait(lock, [this] { return !posting_; });
}

std::uint32_t PeriodicTimer::Interval() const {
  std::lock_guard lock(mutex_);
  return interval_;
}

void PeriodicTimer::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (quit_) return;
    if (!running_) {
      wake_.wait(lock);  // sleeps until started: costs nothing while stopped
      continue;
    }
    const std::uint64_t generation = generation_;
    const Clock::time_point until = deadline_;
    sleepingUntil_ = until;
    const bool timedOut = wake_.wait_until(lock, until) == std::cv_status::timeout;
    sleepingUntil_.reset();
    if (!timedOut && Clock::now() < until) continue;  // woken early: re-read the state
    if (running_ && Clock::now() < deadline_) continue;  // restarted meanwhile
    if (quit_ || !running_ || generation != generation_) continue;
    // Next expiry one interval after this one, as a periodic timer does; if the
    // receiving thread was busy for longer, do not pile up a burst.
    deadline_ += std::chrono::milliseconds(interval_);
    const auto now = Clock::now();
    if (deadline_ < now) deadline_ = now + std::chrono::milliseconds(interval_);
    if (posted_) continue;  // like WM_TIMER: one pending expiry at most
    posted_ = true;
    posting_ = true;
    lock.unlock();
    post_([this, generation] { Deliver(generation); });
    lock.lock();
    posting_ = false;
    postDone_.notify_all();
  }
}

void PeriodicTimer::Deliver(std::uint64_t generation) {
  std::lock_guard outer(guard_);
  {
    std::lock_guard lock(mutex_);
    if (generation != generation_) return;  // stopped or restarted since
    posted_ = false;
    if (!running_) return;
  }
  onExpiry_();
}
