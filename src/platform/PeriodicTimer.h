// A periodic timer that any thread may start, stop and re-time without waiting
// for the thread its expiries run on.
//
// Expiries are handed to a poster (the window thread's queue in the program)
// and run there under `guard`. Start and Stop take `guard` too, so once either
// has returned, no expiry of the earlier period can still run: a stale expiry
// is recognised by its generation and dropped. Holders of `guard` must never
// wait for the thread the expiries run on.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

class PeriodicTimer {
 public:
  using Job = std::function<void()>;
  using Poster = std::function<void(Job)>;

  PeriodicTimer(std::recursive_mutex& guard, Job onExpiry, Poster post);
  ~PeriodicTimer();
  PeriodicTimer(const PeriodicTimer&) = delete;
  PeriodicTimer& operator=(const PeriodicTimer&) = delete;

  // Stop, set the interval, start: the first expiry comes one full interval
  // from now. An interval of 0 leaves the timer stopped.
  void Start(std::uint32_t intervalMs);
  void Stop();
  bool Running() const;
  std::uint32_t Interval() const;
  // Waits until the timer thread is out of the poster: after a Stop, what the
  // poster reaches (a test's window) may then go away. Never under `guard`,
  // since a poster may run the expiry at once.
  void WaitForPoster();

 private:
  using Clock = std::chrono::steady_clock;
  void Run();
  void Deliver(std::uint64_t generation);

  std::recursive_mutex& guard_;
  Job onExpiry_;
  Poster post_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool running_ = false;
  bool posted_ = false;  // an expiry is queued and not yet delivered
  bool posting_ = false;  // the timer thread is inside the poster
  std::condition_variable postDone_;
  bool quit_ = false;
  std::uint32_t interval_ = 0;
  std::uint64_t generation_ = 0;
  Clock::time_point deadline_{};
  std::optional<Clock::time_point> sleepingUntil_;
  std::thread thread_;
};
