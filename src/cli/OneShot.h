// A single-shot timer on the io_context: started again it waits anew, and
// stopped, a time-out already queued does not run.
#pragma once

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <functional>

namespace cli {

class OneShot {
 public:
  OneShot(asio::io_context& io, std::function<void()> fire) : timer_(io), fire_(std::move(fire)) {}

  void Start(int ms) {
    Stop();
    active_ = true;
    timer_.expires_after(std::chrono::milliseconds(ms));
    timer_.async_wait([this, generation = generation_](const std::error_code& ec) {
      if (ec || generation != generation_) return;
      active_ = false;
      fire_();
    });
  }
  void Stop() {
    ++generation_;
    active_ = false;
    timer_.cancel();
  }
  bool Active() const { return active_; }

 private:
  asio::steady_timer timer_;
  std::function<void()> fire_;
  unsigned generation_ = 0;
  bool active_ = false;
};

}  // namespace cli
