// TCP streams for ports on another machine. Linux: POSIX sockets; Windows:
// Winsock. Waits sleep in the system until bytes come, the peer goes or the
// stream is woken for good (closed); nothing polls.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

class TcpStream;
struct TcpStreamDeleter {
  void operator()(TcpStream* stream) const;
};
using TcpStreamPtr = std::unique_ptr<TcpStream, TcpStreamDeleter>;

// How a connect went, for the user and for doctor.
struct TcpConnectReport {
  enum class Failure { None, Resolve, Refused, TimedOut, Unreachable, Other };
  Failure failure = Failure::None;
  std::string address;  // the numeric address tried last, or connected to
  std::string error;    // the system's words for the failure
  std::chrono::microseconds resolveTime{0};
  std::chrono::microseconds connectTime{0};
};

// Resolves `host` (a name, an IPv4 address or an IPv6 one without brackets)
// and connects to the first address that answers, all within `limit`.
// TCP_NODELAY is on. Null on failure, with the reason in the report.
TcpStreamPtr TcpConnect(const std::string& host, std::uint16_t port,
                        std::chrono::milliseconds limit, TcpConnectReport& report);

enum class TcpWaitResult { Readable, Closed, Failed };
// Sleeps until bytes (or the peer's end) can be read, or TcpClose was called.
TcpWaitResult TcpWaitReadable(TcpStream& stream);
// Like TcpWaitReadable, but gives up after `limit`: false then.
bool TcpWaitReadableFor(TcpStream& stream, std::chrono::milliseconds limit);

// > 0: bytes read; 0: the peer has ended the connection; -1: failed (reset);
// -2: nothing to read just now.
long TcpReceive(TcpStream& stream, std::uint8_t* buffer, std::size_t size);
// Sends all of it, waiting for room as long as it takes; false when the
// connection fails or the stream is closed meanwhile.
bool TcpSendAll(TcpStream& stream, const std::uint8_t* data, std::size_t size);
// Ends every wait at once and every later operation fails; the peer sees the
// connection end. Calling it again does nothing.
void TcpClose(TcpStream& stream);

}  // namespace platform
