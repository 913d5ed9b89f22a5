// Serial ports through the Win32 communications API, overlapped throughout:
// the reader may sleep in a wait for a port event while the writer writes and
// another thread purges or closes the port.
#include "platform/Serial.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <shared_mutex>

namespace platform {

class SerialPort {
 public:
  explicit SerialPort(HANDLE handle)
      : closedEvent_(CreateEventA(nullptr, TRUE, FALSE, nullptr)), handle_(handle) {}
  explicit SerialPort(std::unique_ptr<SerialBackend> backend)
      : backend_(std::move(backend)), closedEvent_(nullptr), handle_(INVALID_HANDLE_VALUE) {
    closed_.store(true);
  }
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;
  ~SerialPort() {
    if (backend_) backend_->Close();
    Close();
    if (rx_.event != nullptr) CloseHandle(rx_.event);
    if (tx_.event != nullptr) CloseHandle(tx_.event);
    if (closedEvent_ != nullptr) CloseHandle(closedEvent_);
  }

  // Runs `call` with the handle while the port is open. Close waits for such
  // calls to return and then marks the port closed before it closes the
  // handle, so no call can reach a handle value the system has since given to
  // something else. Only calls that return at once belong here.
  template <typename Call>
  bool WithHandle(Call&& call) {
    std::shared_lock lock(handleMutex_);
    if (closed_.load()) return false;
    return call(handle_);
  }

  void Close() {
    std::unique_lock lock(handleMutex_);
    if (closed_.exchange(true)) return;
    // Some drivers leave a pending wait or write in place when the handle
    // goes, and the thread in it would wait for ever: an empty event mask
    // ends the wait, and the port's outstanding I/O, any thread's, is
    // cancelled and purged before the handle is closed.
    SetCommMask(handle_, 0);
    CancelIoEx(handle_, nullptr);
    PurgeComm(handle_, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    if (closedEvent_ != nullptr) SetEvent(closedEvent_);
  }

  bool IsClosed() const { return closed_.load(); }

  // Waits up to `ms`, or less when the port is closed meanwhile.
  void PauseUnlessClosed(DWORD ms) {
    if (closedEvent_ != nullptr) {
      WaitForSingleObject(closedEvent_, ms);
    } else if (!IsClosed()) {
      Sleep(ms);
    }
  }

  // One overlapped record and its event per direction: the reader's wait and
  // read use one, the writer's write the other.
  struct Channel {
    std::mutex mutex;  // one operation at a time on the record
    HANDLE event = nullptr;
    OVERLAPPED overlapped{};
  };
  Channel rx_;
  Channel tx_;

  DCB lastDcb{};  // as GetCommState last returned it
  bool haveDcb = false;
  std::mutex dcbMutex;

  // Waits for a port event that failed, or ended with no event, one after
  // another (under rx_.mutex): each such wait is followed by a pause that
  // grows with the count, so a driver that fails at once cannot make the
  // reader spin.
  unsigned idleWaits = 0;

  const std::unique_ptr<SerialBackend> backend_;  // a port elsewhere, or none

 private:
  HANDLE closedEvent_;  // set by Close, for pauses that must end with the port
  std::shared_mutex handleMutex_;
  std::atomic<bool> closed_{false};
  HANDLE handle_;
};

namespace {

std::atomic<SerialFault> g_fault{SerialFault::None};

bool Faulted(SerialFault step) {
  if (g_fault.load(std::memory_order_relaxed) != step) return false;
  SetLastError(ERROR_GEN_FAILURE);
  return true;
}

// Manual-reset and created signalled, as the I/O threads expect; every
// overlapped call below resets it before it starts.
bool PrepareChannel(SerialPort::Channel& channel) {
  if (channel.event == nullptr) {
    channel.event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    if (channel.event == nullptr) return false;
  }
  channel.overlapped = OVERLAPPED{};
  channel.overlapped.hEvent = channel.event;
  ResetEvent(channel.event);
  return true;
}

enum class Started { Done, Pending, Failed };

Started StartResult(BOOL ok) {
  if (ok) return Started::Done;
  return GetLastError() == ERROR_IO_PENDING ? Started::Pending : Started::Failed;
}

// Waits, without a time limit, for an operation started on `channel` to end,
// and takes its result. Never returns while the system may still write into
// the record. Closing the port ends the wait (the operation is aborted).
bool FinishOverlapped(SerialPort::Channel& channel, Started started, DWORD& transferred) {
  if (started == Started::Pending && WaitForSingleObject(channel.event, INFINITE) != WAIT_OBJECT_0) {
    // Cannot happen with a valid event; still, the record must not be
    // reused before the operation ends.
    while (!HasOverlappedIoCompleted(&channel.overlapped)) Sleep(1);
  }
  // The operation has ended, so this takes the result without touching the
  // port handle, which may have been closed meanwhile.
  return GetOverlappedResult(INVALID_HANDLE_VALUE, &channel.overlapped, &transferred, TRUE) != 0;
}

// Errors after which the port will never report another event: the device
// went away (a USB adapter pulled out) or the handle is no longer usable.
bool PortIsGone(DWORD error) {
  switch (error) {
    case ERROR_INVALID_HANDLE:
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_REMOVED:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_GEN_FAILURE:
      return true;
    default:
      return false;
  }
}

}  // namespace

void SetSerialFaultForTest(SerialFault fault) { g_fault.store(fault); }

namespace {
thread_local SerialOpenFailure t_openFailure;

SerialHandle SystemRefused(DWORD error) {
  t_openFailure = {SerialOpenFailure::Kind::System, static_cast<int>(error)};
  return nullptr;
}
}  // namespace

SerialOpenFailure LastSerialOpenFailure() { return t_openFailure; }
SerialBackend* SerialBackendOf(SerialPort& port) { return port.backend_.get(); }

SerialHandle SerialOpenBackend(std::unique_ptr<SerialBackend> backend) {
  if (!backend) return nullptr;
  return std::make_shared<SerialPort>(std::move(backend));
}

SerialHandle SerialOpen(const std::string& path) {
  t_openFailure = {};
  if (Faulted(SerialFault::Open)) return SystemRefused(ERROR_GEN_FAILURE);
  if (path.empty() || path.find('\0') != std::string::npos)
    return SystemRefused(ERROR_INVALID_NAME);
  // No sharing: nobody, this program included, opens the port a second time.
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return SystemRefused(GetLastError());
  return std::make_shared<SerialPort>(handle);
}

bool SerialGetState(SerialPort& port, SerialSettings& s) {
  if (Faulted(SerialFault::GetState)) return false;
  if (port.backend_) return port.backend_->GetState(s);
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  if (!port.WithHandle([&](HANDLE h) { return GetCommState(h, &dcb) != 0; })) return false;
  {
    std::lock_guard lock(port.dcbMutex);
    port.lastDcb = dcb;
    port.haveDcb = true;
  }
  s.baudRate = dcb.BaudRate;
  s.byteSize = dcb.ByteSize;
  s.parity = dcb.Parity;
  s.stopBits = dcb.StopBits;
  s.binary = dcb.fBinary != 0;
  s.parityCheck = dcb.fParity != 0;
  s.outxCtsFlow = dcb.fOutxCtsFlow != 0;
  s.outxDsrFlow = dcb.fOutxDsrFlow != 0;
  s.dtrControl = static_cast<std::uint8_t>(dcb.fDtrControl);
  s.dsrSensitivity = dcb.fDsrSensitivity != 0;
  s.txContinueOnXoff = dcb.fTXContinueOnXoff != 0;
  s.outX = dcb.fOutX != 0;
  s.inX = dcb.fInX != 0;
  s.errorChar = dcb.fErrorChar != 0;
  s.null = dcb.fNull != 0;
  s.rtsControl = static_cast<std::uint8_t>(dcb.fRtsControl);
  s.abortOnError = dcb.fAbortOnError != 0;
  s.xonLim = dcb.XonLim;
  s.xoffLim = dcb.XoffLim;
  s.xonChar = dcb.XonChar;
  s.xoffChar = dcb.XoffChar;
  s.errorCharValue = dcb.ErrorChar;
  s.eofChar = dcb.EofChar;
  s.evtChar = dcb.EvtChar;
  return true;
}

bool SerialSetState(SerialPort& port, const SerialSettings& s) {
  if (Faulted(SerialFault::SetState)) return false;
  if (port.backend_) return port.backend_->SetState(s);
  // Start from the structure as read, so the fields that SerialSettings does
  // not carry (the reserved ones) go back unchanged.
  DCB dcb{};
  {
    std::lock_guard lock(port.dcbMutex);
    if (port.haveDcb) dcb = port.lastDcb;
  }
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = s.baudRate;
  dcb.ByteSize = s.byteSize;
  dcb.Parity = s.parity;
  dcb.StopBits = s.stopBits;
  dcb.fBinary = s.binary ? 1 : 0;
  dcb.fParity = s.parityCheck ? 1 : 0;
  dcb.fOutxCtsFlow = s.outxCtsFlow ? 1 : 0;
  dcb.fOutxDsrFlow = s.outxDsrFlow ? 1 : 0;
  dcb.fDtrControl = s.dtrControl & 3u;
  dcb.fDsrSensitivity = s.dsrSensitivity ? 1 : 0;
  dcb.fTXContinueOnXoff = s.txContinueOnXoff ? 1 : 0;
  dcb.fOutX = s.outX ? 1 : 0;
  dcb.fInX = s.inX ? 1 : 0;
  dcb.fErrorChar = s.errorChar ? 1 : 0;
  dcb.fNull = s.null ? 1 : 0;
  dcb.fRtsControl = s.rtsControl & 3u;
  dcb.fAbortOnError = s.abortOnError ? 1 : 0;
  dcb.XonLim = s.xonLim;
  dcb.XoffLim = s.xoffLim;
  dcb.XonChar = s.xonChar;
  dcb.XoffChar = s.xoffChar;
  dcb.ErrorChar = s.errorCharValue;
  dcb.EofChar = s.eofChar;
  dcb.EvtChar = s.evtChar;
  return port.WithHandle([&](HANDLE h) { return SetCommState(h, &dcb) != 0; });
}

bool SerialSetZeroTimeouts(SerialPort& port) {
  if (Faulted(SerialFault::SetTimeouts)) return false;
  if (port.backend_) return !port.backend_->IsClosed();
  COMMTIMEOUTS timeouts{};  // all five zero
  return port.WithHandle([&](HANDLE h) { return SetCommTimeouts(h, &timeouts) != 0; });
}

bool SerialSetupQueues(SerialPort& port, std::uint32_t inQueue, std::uint32_t outQueue) {
  if (port.backend_) return !port.backend_->IsClosed();
  return port.WithHandle([&](HANDLE h) { return SetupComm(h, inQueue, outQueue) != 0; });
}

bool SerialPurge(SerialPort& port, std::uint32_t flags) {
  if (port.backend_) return port.backend_->Purge(flags);
  return port.WithHandle([&](HANDLE h) { return PurgeComm(h, flags) != 0; });
}

bool SerialSetRxCharMask(SerialPort& port) {
  if (port.backend_) return !port.backend_->IsClosed();
  return port.WithHandle([&](HANDLE h) { return SetCommMask(h, EV_RXCHAR) != 0; });
}

namespace {

// The pause after the n-th idle wait in a row: 10 ms doubling to 640 ms.
DWORD IdlePause(unsigned n) { return 10u << std::min(n > 0 ? n - 1 : 0u, 6u); }

WaitResult WaitOnce(SerialPort& port, SerialPort::Channel& rx) {
  if (!PrepareChannel(rx)) return port.IsClosed() ? WaitResult::Closed : WaitResult::Other;
  DWORD mask = 0;
  Started started = Started::Failed;
  DWORD error = ERROR_INVALID_HANDLE;
  const bool issued = port.WithHandle([&](HANDLE h) {
    if (Faulted(SerialFault::WaitEvent)) {
      SetLastError(ERROR_INVALID_PARAMETER);
      started = Started::Failed;
    } else {
      started = StartResult(WaitCommEvent(h, &mask, &rx.overlapped));
    }
    if (started == Started::Failed) error = GetLastError();
    return true;
  });
  if (!issued) return WaitResult::Closed;
  if (started == Started::Failed) {
    if (port.IsClosed()) return WaitResult::Closed;
    return PortIsGone(error) ? WaitResult::Gone : WaitResult::Other;
  }
  DWORD ignored = 0;
  const bool ok = FinishOverlapped(rx, started, ignored);
  if (port.IsClosed()) return WaitResult::Closed;
  if (!ok) return PortIsGone(GetLastError()) ? WaitResult::Gone : WaitResult::Other;
  return (mask & EV_RXCHAR) != 0 ? WaitResult::RxChar : WaitResult::Other;
}

}  // namespace

WaitResult SerialWaitEvent(SerialPort& port) {
  if (port.backend_) return port.backend_->WaitEvent();
  SerialPort::Channel& rx = port.rx_;
  std::lock_guard lock(rx.mutex);
  const WaitResult result = WaitOnce(port, rx);
  if (result != WaitResult::Other) {
    port.idleWaits = 0;
    return result;
  }
  // An error that does not say the device has gone (some virtual-port
  // drivers fail the wait at once with errors of their own) or a wait that
  // ended without an event: the next one starts only after a pause.
  port.PauseUnlessClosed(IdlePause(++port.idleWaits));
  return port.IsClosed() ? WaitResult::Closed : WaitResult::Other;
}

bool SerialClearErrors(SerialPort& port, std::uint32_t& errors, std::uint32_t& inQueue) {
  if (port.backend_) return port.backend_->ClearErrors(errors, inQueue);
  DWORD flags = 0;
  COMSTAT status{};
  if (!port.WithHandle([&](HANDLE h) { return ClearCommError(h, &flags, &status) != 0; })) {
    return false;
  }
  errors = flags;
  inQueue = status.cbInQue;
  return true;
}

bool SerialRead(SerialPort& port, std::uint8_t* buffer, std::uint32_t count, std::uint32_t& read) {
  if (port.backend_) return port.backend_->Read(buffer, count, read);
  read = 0;
  SerialPort::Channel& rx = port.rx_;
  std::lock_guard lock(rx.mutex);
  if (!PrepareChannel(rx)) return false;
  Started started = Started::Failed;
  DWORD done = 0;
  if (!port.WithHandle([&](HANDLE h) {
        started = StartResult(ReadFile(h, buffer, count, &done, &rx.overlapped));
        return true;
      })) {
    return false;
  }
  if (started == Started::Failed) return false;
  // Even a read that ended at once is taken through the record, which holds
  // the count for an overlapped handle.
  const bool ok = FinishOverlapped(rx, started, done);
  read = done;
  return ok;
}

bool SerialWrite(SerialPort& port, const std::uint8_t* data, std::uint32_t count,
                 std::uint32_t& written) {
  if (port.backend_) return port.backend_->Write(data, count, written);
  written = 0;
  SerialPort::Channel& tx = port.tx_;
  std::lock_guard lock(tx.mutex);
  if (!PrepareChannel(tx)) return false;
  Started started = Started::Failed;
  DWORD done = 0;
  if (!port.WithHandle([&](HANDLE h) {
        started = StartResult(WriteFile(h, data, count, &done, &tx.overlapped));
        return true;
      })) {
    return false;
  }
  if (started == Started::Failed) return false;
  const bool ok = FinishOverlapped(tx, started, done);
  written = done;
  return ok;
}

void SerialClose(SerialPort& port) {
  if (port.backend_) port.backend_->Close();
  port.Close();
}

bool SerialIsClosed(const SerialPort& port) {
  return port.backend_ ? port.backend_->IsClosed() : port.IsClosed();
}

}  // namespace platform
