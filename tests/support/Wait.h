// Waiting with a deadline for state that no window event announces, such as
// the port's threads ending.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

#include "serial/Read_tr.h"
#include "serial/Wrt_tr.h"

// Waits until pred() holds or the deadline passes. Returns pred().
inline bool WaitUntil(const std::function<bool()>& pred,
                      std::chrono::milliseconds deadline = std::chrono::seconds(5)) {
  const auto until = std::chrono::steady_clock::now() + deadline;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= until) return pred();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

inline bool NoThreadsLeft() { return LiveReadThreadsForTest() == 0 && LiveWriteThreadsForTest() == 0; }
