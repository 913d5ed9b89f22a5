#include "serial/Port.h"

#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>

#include "protocol/Messager.h"
#include "serial/NetNames.h"
#include "serial/NetPort.h"
#include "serial/Read_tr.h"
#include "serial/WireTap.h"
#include "serial/Wrt_tr.h"
#include "ui/WindowOps.h"

namespace {

// The open port and its two threads. The window thread opens and closes; the
// reader thread may close (a frame that ends the link) and TransmitFrame may
// run on either, so the references are read and changed under a lock.
std::mutex g_mutex;
platform::SerialHandle g_port;
std::shared_ptr<ReadThread> g_reader;
std::shared_ptr<WriteThread> g_writer;

std::function<void(const std::string&)> g_openPathObserver;  // set by tests only

constexpr std::size_t kPathBufferSize = 16;
constexpr auto kLastWriteLimit = std::chrono::milliseconds(200);
constexpr char kDevicePrefix[] = "\\\\.\\";
constexpr std::size_t kPrefixLength = sizeof kDevicePrefix - 1;

// Names longer than 4 characters go through the device namespace; false when
// the path with its terminating zero would not fit the buffer.
bool BuildDevicePath(const std::string& name, char (&path)[kPathBufferSize]) {
  std::memset(path, 0, sizeof path);
  const bool prefixed = name.size() > 4;
  const std::size_t length = name.size() + (prefixed ? kPrefixLength : 0);
  if (length >= kPathBufferSize) return false;
  if (prefixed) std::memcpy(path, kDevicePrefix, kPrefixLength);
  std::memcpy(path + (prefixed ? kPrefixLength : 0), name.data(), name.size());
  return true;
}

bool FailAfterClose(const char* text) {
  ClosePort();
  wire::Mark(wire::TapKind::OpenFailed, text);
  Window().SetStatusText(text);
  return false;
}

}  // namespace

platform::SerialHandle PortHandle() {
  std::lock_guard lock(g_mutex);
  return g_port;
}

bool OpenPort(const std::string& name) {
  // The callers close the previous port first; should one not, its threads
  // would keep it open for good.
  if (PortHandle()) ClosePort();

  char path[kPathBufferSize];
  platform::SerialHandle port;
  NetAddress address;
  if (const std::string url = NetUrlForPortName(name); !url.empty()) {
    // A port on another machine: unreachable, refused or in use, the open
    // fails as a local one that cannot be opened does, within its bound.
    if (g_openPathObserver) g_openPathObserver(url);
    if (ParseNetUrl(url, address)) port = OpenNetPort(address);
  } else if (BuildDevicePath(name, path)) {
    if (g_openPathObserver) g_openPathObserver(path);
    port = platform::SerialOpen(path);
  }
  if (!port) {
    wire::Mark(wire::TapKind::OpenFailed, kOpenFailedText);
    Window().SetStatusText(kOpenFailedText);
    return false;
  }
  {
    std::lock_guard lock(g_mutex);
    g_port = port;
  }
  wire::Mark(wire::TapKind::Open, name.c_str());

  platform::SerialSettings settings;
  if (!platform::SerialGetState(*port, settings)) return FailAfterClose(kReadDcbFailedText);
  settings.baudRate = 115200;
  settings.byteSize = 8;
  settings.parity = 0;    // NOPARITY
  settings.stopBits = 0;  // ONESTOPBIT
  settings.binary = true;
  settings.outxCtsFlow = false;
  settings.outxDsrFlow = false;
  settings.dtrControl = 0;  // DTR_CONTROL_DISABLE
  settings.dsrSensitivity = false;
  settings.null = false;
  settings.rtsControl = 0;  // RTS_CONTROL_DISABLE
  settings.abortOnError = false;
  // Software flow control, too, is off: a Linux tty starts with XON/XOFF on,
  // and it would swallow the bytes 0x11 and 0x13 of binary frames.
  settings.outX = false;
  settings.inX = false;
  if (!platform::SerialSetState(*port, settings)) return FailAfterClose(kSetDcbFailedText);
  if (!platform::SerialSetZeroTimeouts(*port)) return FailAfterClose(kSetTimeoutsFailedText);
  (void)platform::SerialSetupQueues(*port, 1024, 1024);
  // Whatever arrived before now is not an answer to anything we will send.
  (void)platform::SerialPurge(*port, platform::kPurgeRxClear);

  std::shared_ptr<ReadThread> reader;
  std::shared_ptr<WriteThread> writer;
  try {
    reader = ReadThread::Start(port);
    writer = WriteThread::Create(port);
  } catch (const std::system_error&) {
    if (reader) reader->Terminate();
    return FailAfterClose(kOpenFailedText);
  }
  std::lock_guard lock(g_mutex);
  g_reader = std::move(reader);
  g_writer = std::move(writer);
  return true;
}

void ClosePort() {
  platform::SerialHandle port;
  std::shared_ptr<ReadThread> reader;
  std::shared_ptr<WriteThread> writer;
  // Under TransmitLock: the reader tests its stop request under it before a
  // block counts as an answer. The only waits here are bounded: the last
  // handed-over write and the line's drain before its settings go back.
  std::lock_guard transmitLock(TransmitLock());
  {
    std::lock_guard lock(g_mutex);
    port = std::move(g_port);
    reader = std::move(g_reader);
    writer = std::move(g_writer);
    g_port.reset();
    g_reader.reset();
    g_writer.reset();
  }
  if (reader) reader->Terminate();
  // A frame already handed to the writer (the last retransmission before the
  // link drops, say) still reaches the line; a line that takes nothing (held
  // back by flow control) does not hold up the close for long.
  if (writer) writer->Finish(kLastWriteLimit);
  // Ends the reader's pending wait and the writer's; the threads' own
  // references keep the port object alive until they have finished.
  if (port) {
    platform::SerialClose(*port);
    wire::Mark(wire::TapKind::Close);
  }
}

void SetOpenPathObserverForTest(std::function<void(const std::string& path)> observer) {
  g_openPathObserver = std::move(observer);
}

void StopReader() {
  std::lock_guard transmitLock(TransmitLock());
  std::shared_ptr<ReadThread> reader;
  {
    std::lock_guard lock(g_mutex);
    reader = g_reader;
  }
  if (reader) reader->Terminate();
}

void PurgePortOutput() {
  if (const auto port = PortHandle()) (void)platform::SerialPurge(*port, platform::kPurgeTxClear);
}

void WakeWriter() {
  std::lock_guard transmitLock(TransmitLock());
  std::shared_ptr<WriteThread> writer;
  {
    std::lock_guard lock(g_mutex);
    writer = g_writer;
  }
  if (writer) writer->Wake(TxBuffer.Data, TxBuffer.Length);
}
