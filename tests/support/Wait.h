// Waiting with a deadline for state that no window event announces, such as
// the port's threads ending.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <thread>
#include <type_traits>

#include "serial/Read_tr.h"
#include "serial/Wrt_tr.h"

// How many times wider than on a plain build the tests' time windows are:
// a sanitizer build runs several times slower (ThreadSanitizer five- to
// fifteen-fold), and a controller's windows must stay wide against the host
// as it is. The build sets it (TAVRIN_TEST_TIME_SCALE); the environment
// variable of that name, 1 or more, overrides it.
inline int TimeScale() {
  static const int scale = [] {
    if (const char* text = std::getenv("TAVRIN_TEST_TIME_SCALE")) {
      const int value = std::atoi(text);
      if (value >= 1) return value;
    }
    return TAVRIN_TEST_TIME_SCALE;
  }();
  return scale;
}

inline std::chrono::milliseconds Scaled(std::chrono::milliseconds window) {
  return window * TimeScale();
}

// A virtual controller's time windows (vc::Options) widened by TimeScale():
// its retransmission interval, its pauses and its delays.
template <class ControllerOptions>
ControllerOptions ScaledTimes(ControllerOptions o) {
  const auto widen = [](auto& ms) {
    using T = std::remove_reference_t<decltype(ms)>;
    const std::uint64_t wide = static_cast<std::uint64_t>(ms) * TimeScale();
    ms = static_cast<T>(wide > 0xFFFF && sizeof(T) == 2 ? 0xFFFF : wide);
  };
  widen(o.intervalMs);
  widen(o.frameGapMs);
  widen(o.partialTimeoutMs);
  widen(o.faults.delayMs);
  if (o.faults.paceMs) widen(*o.faults.paceMs);
  return o;
}

// Waits until pred() holds or the deadline (widened by TimeScale()) passes.
// Returns pred().
inline bool WaitUntil(const std::function<bool()>& pred,
                      std::chrono::milliseconds deadline = std::chrono::seconds(5)) {
  const auto until = std::chrono::steady_clock::now() + Scaled(deadline);
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= until) return pred();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

inline bool NoThreadsLeft() { return LiveReadThreadsForTest() == 0 && LiveWriteThreadsForTest() == 0; }
