#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "platform/PeriodicTimer.h"

namespace {

using namespace std::chrono;

// Holds posted expiries until the test delivers them, as a busy window thread would.
class HeldQueue {
 public:
  void Post(PeriodicTimer::Job job) {
    std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(job));
    cv_.notify_all();
  }
  bool WaitForJob(milliseconds deadline) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, deadline, [&] { return !jobs_.empty(); });
  }
  void RunAll() {
    std::deque<PeriodicTimer::Job> jobs;
    {
      std::lock_guard lock(mutex_);
      jobs.swap(jobs_);
    }
    for (auto& job : jobs) job();
  }
  std::size_t Size() {
    std::lock_guard lock(mutex_);
    return jobs_.size();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<PeriodicTimer::Job> jobs_;
};

struct Fixture {
  std::recursive_mutex guard;
  HeldQueue queue;
  std::atomic<int> expiries{0};
  PeriodicTimer timer{guard, [this] { ++expiries; }, [this](PeriodicTimer::Job j) { queue.Post(std::move(j)); }};
};

TEST(PeriodicTimer, StaleExpiryNeverRunsAfterStopOrRestart) {
  Fixture f;
  f.timer.Start(5);
  ASSERT_TRUE(f.queue.WaitForJob(seconds(5)));
  f.timer.Stop();
  f.queue.RunAll();  // the expiry was queued before the stop
  EXPECT_EQ(f.expiries.load(), 0);

  f.timer.Start(5);
  ASSERT_TRUE(f.queue.WaitForJob(seconds(5)));
  f.timer.Start(60000);  // a restart supersedes the queued expiry as well
  f.queue.RunAll();
  EXPECT_EQ(f.expiries.load(), 0);
  EXPECT_TRUE(f.timer.Running());
  f.timer.Stop();
}

TEST(PeriodicTimer, OnePendingExpiryAtMostWhileTheReceiverIsBusy) {
  Fixture f;
  f.timer.Start(2);
  ASSERT_TRUE(f.queue.WaitForJob(seconds(5)));
  // Several periods pass while nobody delivers: still one job queued.
  const auto until = steady_clock::now() + milliseconds(30);
  while (steady_clock::now() < until) std::this_thread::yield();
  EXPECT_EQ(f.queue.Size(), 1u);
  f.queue.RunAll();
  EXPECT_EQ(f.expiries.load(), 1);
  ASSERT_TRUE(f.queue.WaitForJob(seconds(5)));  // and it keeps expiring afterwards
  f.timer.Stop();
}

TEST(PeriodicTimer, ZeroIntervalStaysStoppedAndStartBeginsAFullPeriod) {
  Fixture f;
  f.timer.Start(0);
  EXPECT_FALSE(f.timer.Running());
  EXPECT_EQ(f.timer.Interval(), 0u);

  const auto started = steady_clock::now();
  f.timer.Start(100);
  ASSERT_TRUE(f.queue.WaitForJob(seconds(5)));
  const auto elapsed = duration_cast<milliseconds>(steady_clock::now() - started);
  EXPECT_GE(elapsed.count(), 95);  // never early; lateness is the machine's
  f.timer.Stop();
}

}  // namespace
