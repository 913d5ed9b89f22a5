// Carrying window operations from other threads to the window thread, in the
// order they were asked for, for a window of any toolkit. The toolkit supplies
// one thing: a way to make the window thread call RunNext() soon (a posted
// message, a queued call). Callers that wait for an answer (boxes, dialogs)
// are let go when the window closes or goes away.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>

class WindowCalls {
 public:
  // wake is called with no lock held, from any thread, and must not wait for
  // the window thread.
  explicit WindowCalls(std::function<void()> wake) : wake_(std::move(wake)) {}

  // Open: a window is there and takes calls. Closing: it is going away;
  // calls that wait answer at once and those waiting go free, while the
  // others still run. Gone: every call is dropped.
  void SetOpen();
  void SetClosing();
  void SetGone();

  // Queues job for the window thread; dropped when the window is gone.
  void Post(std::function<void()> job);

  // Runs op on the window thread and waits for its result; nothing when the
  // window is closing or gone, or goes away while the caller waits. The
  // result lives in shared state, so an op still running when its caller was
  // released writes nowhere it should not.
  template <class T>
  std::optional<T> Call(std::function<T()> op);

  // On the window thread, once per wake: runs the jobs queued so far, oldest
  // first. Before each, another wake is asked for when more are queued, so
  // the queue goes on through the loop of a modal box that a job shows. An
  // exception of a job goes to the caller; the jobs after it wait for that
  // wake.
  void RunNext();

 private:
  enum class State { Gone, Open, Closing };
  struct Waiter {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
  };
  template <class T>
  struct ResultWaiter : Waiter {
    std::optional<T> result;  // set under mutex, before finished
  };

  // Queues under mutex_; returns whether a wake must follow.
  bool QueueLocked(std::function<void()> job);
  void ReleaseWaitersLocked();
  void Finish(const std::shared_ptr<Waiter>& waiter, const std::function<void()>& store);

  const std::function<void()> wake_;
  std::mutex mutex_;
  State state_ = State::Gone;
  std::deque<std::function<void()>> jobs_;
  bool wakePending_ = false;
  std::list<std::shared_ptr<Waiter>> waiters_;
};

template <class T>
std::optional<T> WindowCalls::Call(std::function<T()> op) {
  auto waiter = std::make_shared<ResultWaiter<T>>();
  bool wake = false;
  {
    std::lock_guard lock(mutex_);
    if (state_ != State::Open) return std::nullopt;
    waiters_.push_back(waiter);
    wake = QueueLocked([this, waiter, op = std::move(op)] {
      {
        std::lock_guard lock(waiter->mutex);
        if (waiter->finished) return;  // released while it was queued
      }
      try {
        T result = op();
        Finish(waiter, [&] { waiter->result = std::move(result); });
      } catch (...) {
        // The caller goes free as if unanswered; the error goes on.
        Finish(waiter, [] {});
        throw;
      }
    });
  }
  if (wake) wake_();
  std::unique_lock lock(waiter->mutex);
  waiter->done.wait(lock, [&] { return waiter->finished; });
  return std::move(waiter->result);
}
