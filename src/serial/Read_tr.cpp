#include "serial/Read_tr.h"

#include <algorithm>
#include <mutex>
#include <thread>

#include "connect/Connecter.h"
#include "protocol/Messager.h"
#include "serial/WireTap.h"

namespace {

std::atomic<int> g_liveReaders{0};
thread_local const ReadThread* t_reader = nullptr;
std::mutex g_hooksMutex;
std::shared_ptr<const ReaderHooksForTest> g_hooks;

std::shared_ptr<const ReaderHooksForTest> Hooks() {
  std::lock_guard lock(g_hooksMutex);
  return g_hooks;
}

}  // namespace

void SetReaderHooksForTest(ReaderHooksForTest hooks) {
  std::shared_ptr<const ReaderHooksForTest> next;
  if (hooks.observer || hooks.check || hooks.dispatch)
    next = std::make_shared<const ReaderHooksForTest>(std::move(hooks));
  std::lock_guard lock(g_hooksMutex);
  g_hooks = std::move(next);
}

void SetBlockObserverForTest(
    std::function<void(const std::uint8_t* block, std::uint16_t length, bool valid)> observer) {
  ReaderHooksForTest hooks;
  hooks.observer = std::move(observer);
  SetReaderHooksForTest(std::move(hooks));
}

int LiveReadThreadsForTest() { return g_liveReaders.load(); }

bool OnStoppedReaderThread() { return t_reader != nullptr && t_reader->Terminated(); }

std::shared_ptr<ReadThread> ReadThread::Start(platform::SerialHandle port) {
  auto self = std::make_shared<ReadThread>(std::move(port));
  g_liveReaders.fetch_add(1);
  try {
    std::thread([self] {
      self->Execute();
      g_liveReaders.fetch_sub(1);
    }).detach();
  } catch (...) {
    g_liveReaders.fetch_sub(1);
    throw;
  }
  return self;
}

void ReadThread::Execute() {
  t_reader = this;
  platform::SerialPort& port = *port_;
  platform::SerialSetRxCharMask(port);
  while (!Terminated()) {
    const platform::WaitResult event = platform::SerialWaitEvent(port);
    if (event == platform::WaitResult::Closed) break;
    if (event == platform::WaitResult::Gone) {
      wire::Mark(wire::TapKind::DeviceGone);
      DeviceGone();
      // Nothing will come any more: sleep until the stop request.
      terminated_.wait(false);
      break;
    }
    if (event != platform::WaitResult::RxChar) continue;
    std::uint32_t errors = 0;
    std::uint32_t queued = 0;
    if (!platform::SerialClearErrors(port, errors, queued) || queued == 0) continue;
    // More than the buffer holds stays queued for the next pass.
    std::uint32_t count = 0;
    if (!platform::SerialRead(port, RxBuffer, std::min(queued, kRxBufferSize), count) ||
        count == 0)
      continue;
    // A block read just before the port was closed belongs to a link that has
    // ended; handing it on could make it look like an answer on the next port.
    if (Terminated()) break;
    HandleBlock(static_cast<std::uint16_t>(count));
  }
}

// A controller that has answered on this port and then vanished ends the link
// as the retry limit does, but now also when nothing is being retransmitted
// (an idle link, or chunks paced with interval 0). A port that vanished in a
// scan step before any answer is left to the scan.
void ReadThread::DeviceGone() {
  // Under TransmitLock, against a ClosePort of this port meanwhile; Disconnect
  // waits for nothing that needs the lock.
  std::lock_guard lock(TransmitLock());
  if (Terminated() || !answered_) return;
  Disconnect();
}

void ReadThread::HandleBlock(std::uint16_t count) {
  const auto hooks = Hooks();
  const bool valid = hooks && hooks->check ? hooks->check(RxBuffer, count)
                                           : CheckBlock(RxBuffer, count);
  if (hooks && hooks->observer) hooks->observer(RxBuffer, count, valid);
  if (const wire::Tap tap = wire::CurrentTap()) {
    wire::TapEvent event;
    event.kind = wire::TapKind::In;
    event.bytes = RxBuffer;
    event.length = count;
    event.valid = valid;
    tap(event);
  }
  if (!valid) return;
  {
    // ClosePort gives the stop request under the same lock: once it has
    // returned, a block of this port can no longer pass for an answer on the
    // next one, nor stop the timer of that one's identify frame.
    std::lock_guard lock(TransmitLock());
    if (Terminated()) return;
    Timer2Stop();
    LinkState.ReplySeen = 1;
    answered_ = true;
  }
  if (hooks && hooks->dispatch) hooks->dispatch(RxBuffer);
  else DispatchFrame(RxBuffer);
}
