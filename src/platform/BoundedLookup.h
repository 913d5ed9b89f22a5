// A blocking lookup held to a deadline. The system's name lookup has no time
// limit of its own, so it runs on a thread of its own, which is left to finish
// alone (and to free what it found) when the deadline passes first.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace platform {

// find(Result**) returns 0 or an error code and fills in what it found;
// release(Result*) frees it. Returns find's status, `noThread` when no
// thread can be started, `timedOut` when the deadline passes first.
template <class Result, class Find, class Release>
int RunBounded(Find find, Release release, std::chrono::steady_clock::time_point deadline,
               Result*& result, int noThread, int timedOut) {
  struct State {
    explicit State(Release r) : release(r) {}
    ~State() {
      if (found != nullptr) release(found);
    }
    Release release;
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    int status = 0;
    Result* found = nullptr;
  };
  result = nullptr;
  auto state = std::make_shared<State>(release);
  try {
    std::thread([state, find] {
      Result* found = nullptr;
      const int status = find(&found);
      std::lock_guard lock(state->mutex);
      state->status = status;
      state->found = found;
      state->finished = true;
      state->done.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    return noThread;
  }
  std::unique_lock lock(state->mutex);
  if (!state->done.wait_until(lock, deadline, [&] { return state->finished; })) return timedOut;
  if (state->status != 0) return state->status;
  result = state->found;
  state->found = nullptr;
  return 0;
}

}  // namespace platform
