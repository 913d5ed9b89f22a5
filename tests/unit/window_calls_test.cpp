// Window operations carried to the window thread: in order, on with nested
// loops (a modal box), and callers that wait let go when the window closes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "ui/WindowCalls.h"

namespace {

using namespace std::chrono_literals;

// The window thread's message queue: each wake is one message.
class FakeQueue {
 public:
  void Wake() {
    std::lock_guard lock(mutex_);
    ++pending_;
    changed_.notify_all();
  }
  // Takes one message, waiting up to the deadline; false when none came.
  bool Take(std::chrono::milliseconds deadline = 5s) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, deadline, [&] { return pending_ > 0; })) return false;
    --pending_;
    return true;
  }
  int Pending() {
    std::lock_guard lock(mutex_);
    return pending_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int pending_ = 0;
};

TEST(WindowCalls, JobsRunInOrderWithAtMostOneWakeQueued) {
  FakeQueue queue;
  WindowCalls calls([&] { queue.Wake(); });
  calls.SetOpen();
  std::vector<int> ran;
  std::thread reader([&] {
    for (int i = 0; i < 500; ++i) calls.Post([&ran, i] { ran.push_back(i); });
  });
  reader.join();
  EXPECT_EQ(queue.Pending(), 1);
  while (queue.Pending() > 0 && queue.Take()) {
    EXPECT_LE(queue.Pending(), 0);
    calls.RunNext();
  }
  ASSERT_EQ(ran.size(), 500u);
  for (int i = 0; i < 500; ++i) EXPECT_EQ(ran[i], i);
}

TEST(WindowCalls, JobsGoOnWhileOneShowsAModalBox) {
  FakeQueue queue;
  WindowCalls calls([&] { queue.Wake(); });
  calls.SetOpen();
  std::vector<std::string> ran;
  calls.Post([&] {
    ran.push_back("box up");
    // The box's own loop takes the window thread's messages meanwhile.
    while (queue.Take(100ms)) calls.RunNext();
    ran.push_back("box closed");
  });
  calls.Post([&] { ran.push_back("after"); });
  ASSERT_TRUE(queue.Take());
  calls.RunNext();
  EXPECT_EQ(ran, (std::vector<std::string>{"box up", "after", "box closed"}));
}

TEST(WindowCalls, CallersWaitForTheAnswerAndGoFreeWhenTheWindowCloses) {
  FakeQueue queue;
  WindowCalls calls([&] { queue.Wake(); });
  calls.SetOpen();

  std::optional<int> answered;
  std::thread asker([&] { answered = calls.Call<int>([] { return 6; }); });
  ASSERT_TRUE(queue.Take());
  calls.RunNext();
  asker.join();
  EXPECT_EQ(answered, 6);

  // A caller still waiting when the window starts to close goes free, and
  // its queued box never shows.
  std::atomic<bool> shown{false};
  std::atomic<bool> returned{false};
  std::thread waiter([&] {
    answered = calls.Call<int>([&] {
      shown = true;
      return 6;
    });
    returned = true;
  });
  ASSERT_TRUE(queue.Take());
  calls.SetClosing();
  waiter.join();
  EXPECT_TRUE(returned);
  EXPECT_EQ(answered, std::nullopt);
  calls.RunNext();
  EXPECT_FALSE(shown);
  // While closing, a box answers at once; once gone, nothing is queued.
  EXPECT_EQ(calls.Call<int>([] { return 6; }), std::nullopt);
  calls.SetGone();
  bool ran = false;
  calls.Post([&] { ran = true; });
  EXPECT_FALSE(queue.Take(50ms));
  calls.RunNext();
  EXPECT_FALSE(ran);
}

}  // namespace
