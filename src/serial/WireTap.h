// A tap on the link for `--trace`: every frame handed to the writer, every
// block read, the scan's steps, opens and closes, and the end of a link. With
// no tap set each point costs one relaxed atomic load.
#pragma once

#include <atomic>
#include <cstdint>

namespace wire {

enum class TapKind : std::uint8_t {
  Out,         // a frame handed to the writer, fresh or retransmitted
  In,          // a block read, checked or not
  ScanStep,    // text: the port the step tries
  Open,        // text: the port opened
  OpenFailed,  // text: the status text that says which step failed
  Close,       // an open port closed
  RetryLimit,  // the retransmissions ran out; the link is dropped
  DeviceGone,  // the open port's device went away
  LinkEnd,     // Disconnect: the link is over
};

struct TapEvent {
  TapKind kind = TapKind::Out;
  const std::uint8_t* bytes = nullptr;
  std::uint32_t length = 0;
  bool fresh = true;             // Out: false for a retransmission
  std::uint32_t retry = 0;       // Out: which retransmission
  std::uint16_t intervalMs = 0;  // Out: the retransmission interval it runs with
  bool valid = false;            // In: the block passed the receive check
  const char* text = nullptr;
};

// Called on the thread of the event: the window thread, the reader thread,
// and for Out always under TransmitLock(). It must not block.
using Tap = void (*)(const TapEvent& event);

inline std::atomic<Tap> g_tap{nullptr};

inline void SetTap(Tap tap) { g_tap.store(tap, std::memory_order_release); }
inline Tap CurrentTap() { return g_tap.load(std::memory_order_acquire); }

inline void Mark(TapKind kind, const char* text = nullptr) {
  if (const Tap tap = CurrentTap()) {
    TapEvent event;
    event.kind = kind;
    event.text = text;
    tap(event);
  }
}

}  // namespace wire
