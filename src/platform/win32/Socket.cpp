// TCP streams on Winsock. Waits sleep in WSAWaitForMultipleEvents on the
// socket's event and on an event that closing sets; the socket handle is
// closed only when the stream object goes, so no thread can reach a handle
// the system has given to something else.
#include "platform/Socket.h"

#include "platform/BoundedLookup.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace platform {

class TcpStream {
 public:
  TcpStream(SOCKET socket, WSAEVENT event, HANDLE closed)
      : socket_(socket), event_(event), closed_(closed) {}
  ~TcpStream() {
    closesocket(socket_);
    WSACloseEvent(event_);
    CloseHandle(closed_);
  }
  TcpStream(const TcpStream&) = delete;
  TcpStream& operator=(const TcpStream&) = delete;

  const SOCKET socket_;
  const WSAEVENT event_;  // FD_READ, FD_WRITE, FD_CLOSE
  const HANDLE closed_;   // set by TcpClose
  std::atomic<bool> isClosed_{false};
  std::mutex closeMutex_;
};

void TcpStreamDeleter::operator()(TcpStream* stream) const { delete stream; }

namespace {

using Clock = std::chrono::steady_clock;

bool Started() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

std::chrono::microseconds Since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
}

DWORD Remaining(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<DWORD>(left.count()) : 0;
}

std::string ErrorText(int error) {
  char text[256] = {};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
  std::string result(text);
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == '.'))
    result.pop_back();
  return result.empty() ? "error " + std::to_string(error) : result;
}

// Numeric addresses at once; names through a lookup held to the deadline.
int Resolve(const std::string& host, std::uint16_t port, Clock::time_point deadline,
            addrinfo*& result) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICHOST;
  const std::string service = std::to_string(port);
  if (getaddrinfo(host.c_str(), service.c_str(), &hints, &result) == 0) return 0;
  result = nullptr;
  hints.ai_flags = 0;
  return RunBounded(
      [host, service, hints](addrinfo** found) {
        return getaddrinfo(host.c_str(), service.c_str(), &hints, found);
      },
      [](addrinfo* found) { freeaddrinfo(found); }, deadline, result, WSATRY_AGAIN, WSAETIMEDOUT);
}

std::string NumericAddress(const sockaddr* address, std::size_t length) {
  char text[NI_MAXHOST] = {};
  if (getnameinfo(address, static_cast<socklen_t>(length), text, sizeof text, nullptr, 0,
                  NI_NUMERICHOST) != 0)
    return {};
  return text;
}

}  // namespace

TcpStreamPtr TcpConnect(const std::string& host, std::uint16_t port,
                        std::chrono::milliseconds limit, TcpConnectReport& report) {
  using Failure = TcpConnectReport::Failure;
  report = TcpConnectReport{};
  if (!Started()) {
    report.failure = Failure::Other;
    report.error = "Winsock could not be started";
    return nullptr;
  }
  const auto start = Clock::now();
  const auto deadline = start + limit;
  addrinfo* addresses = nullptr;
  const int status = Resolve(host, port, deadline, addresses);
  report.resolveTime = Since(start);
  if (status != 0) {
    report.failure = status == WSAETIMEDOUT ? Failure::TimedOut : Failure::Resolve;
    report.error = status == WSAETIMEDOUT ? "the name was not resolved in time" : ErrorText(status);
    return nullptr;
  }
  const auto connectStart = Clock::now();
  report.failure = Failure::Other;
  report.error = "no address to connect to";
  SOCKET s = INVALID_SOCKET;
  WSAEVENT event = WSA_INVALID_EVENT;
  for (addrinfo* a = addresses; a != nullptr && s == INVALID_SOCKET; a = a->ai_next) {
    report.address = NumericAddress(a->ai_addr, a->ai_addrlen);
    SOCKET candidate = WSASocketW(a->ai_family, a->ai_socktype, a->ai_protocol, nullptr, 0,
                                  WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (candidate == INVALID_SOCKET) {
      report.error = ErrorText(WSAGetLastError());
      continue;
    }
    WSAEVENT candidateEvent = WSACreateEvent();
    // The event select makes the socket non-blocking.
    WSAEventSelect(candidate, candidateEvent, FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE);
    int error = 0;
    if (connect(candidate, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0) {
      error = WSAGetLastError();
      if (error == WSAEWOULDBLOCK) {
        error = WSAETIMEDOUT;
        if (WSAWaitForMultipleEvents(1, &candidateEvent, FALSE, Remaining(deadline), FALSE) ==
            WSA_WAIT_EVENT_0) {
          WSANETWORKEVENTS events{};
          if (WSAEnumNetworkEvents(candidate, candidateEvent, &events) == 0 &&
              (events.lNetworkEvents & FD_CONNECT))
            error = events.iErrorCode[FD_CONNECT_BIT];
        }
      }
    }
    if (error != 0) {
      closesocket(candidate);
      WSACloseEvent(candidateEvent);
      report.error = ErrorText(error);
      report.failure = error == WSAECONNREFUSED ? Failure::Refused
                       : error == WSAETIMEDOUT  ? Failure::TimedOut
                       : error == WSAENETUNREACH || error == WSAEHOSTUNREACH ? Failure::Unreachable
                                                                             : Failure::Other;
      if (Clock::now() >= deadline) break;
      continue;
    }
    s = candidate;
    event = candidateEvent;
  }
  freeaddrinfo(addresses);
  report.connectTime = Since(connectStart);
  if (s == INVALID_SOCKET) return nullptr;
  // Frames are small and each is awaited: none may wait for the next.
  const BOOL one = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&one), sizeof one);
  HANDLE closed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (closed == nullptr) {
    closesocket(s);
    WSACloseEvent(event);
    report.failure = Failure::Other;
    report.error = ErrorText(static_cast<int>(GetLastError()));
    return nullptr;
  }
  report.failure = Failure::None;
  report.error.clear();
  return TcpStreamPtr(new TcpStream(s, event, closed));
}

namespace {

// 1: something happened on the socket; 0: the time passed; -1: closed.
int WaitFor(TcpStream& stream, DWORD timeoutMs) {
  if (stream.isClosed_) return -1;
  HANDLE handles[2] = {stream.event_, stream.closed_};
  const DWORD n = WaitForMultipleObjects(2, handles, FALSE, timeoutMs);
  if (stream.isClosed_ || n == WAIT_OBJECT_0 + 1) return -1;
  if (n == WAIT_TIMEOUT) return 0;
  if (n != WAIT_OBJECT_0) return -1;
  // Network events are edge-triggered: the event is reset here, and a read
  // or send that would block re-arms it.
  WSANETWORKEVENTS events{};
  WSAEnumNetworkEvents(stream.socket_, stream.event_, &events);
  return 1;
}

bool Readable(TcpStream& stream) {
  u_long queued = 0;
  if (ioctlsocket(stream.socket_, FIONREAD, &queued) != 0) return true;  // the read says what failed
  if (queued > 0) return true;
  // A peer that has ended the connection reads as 0 bytes.
  char byte = 0;
  const int n = recv(stream.socket_, &byte, 1, MSG_PEEK);
  return n == 0 || (n < 0 && WSAGetLastError() != WSAEWOULDBLOCK);
}

}  // namespace

TcpWaitResult TcpWaitReadable(TcpStream& stream) {
  for (;;) {
    if (stream.isClosed_) return TcpWaitResult::Closed;
    if (Readable(stream)) return TcpWaitResult::Readable;
    if (WaitFor(stream, INFINITE) < 0)
      return stream.isClosed_ ? TcpWaitResult::Closed : TcpWaitResult::Failed;
  }
}

bool TcpWaitReadableFor(TcpStream& stream, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  for (;;) {
    if (stream.isClosed_) return false;
    if (Readable(stream)) return true;
    const DWORD left = Remaining(deadline);
    if (left == 0 || WaitFor(stream, left) <= 0) return !stream.isClosed_ && Readable(stream);
  }
}

long TcpReceive(TcpStream& stream, std::uint8_t* buffer, std::size_t size) {
  if (stream.isClosed_) return -1;
  const int n = recv(stream.socket_, reinterpret_cast<char*>(buffer),
                     static_cast<int>(size > 65536 ? 65536 : size), 0);
  if (n >= 0) return stream.isClosed_ ? -1 : n;
  return WSAGetLastError() == WSAEWOULDBLOCK ? -2 : -1;
}

bool TcpSendAll(TcpStream& stream, const std::uint8_t* data, std::size_t size) {
  std::size_t sent = 0;
  while (sent < size) {
    if (stream.isClosed_) return false;
    const int n = send(stream.socket_, reinterpret_cast<const char*>(data + sent),
                       static_cast<int>(size - sent), 0);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && WSAGetLastError() != WSAEWOULDBLOCK) return false;
    if (WaitFor(stream, 100) < 0) return false;
  }
  return !stream.isClosed_;
}

void TcpClose(TcpStream& stream) {
  std::lock_guard lock(stream.closeMutex_);
  if (stream.isClosed_.exchange(true)) return;
  shutdown(stream.socket_, SD_BOTH);
  SetEvent(stream.closed_);
}

}  // namespace platform
