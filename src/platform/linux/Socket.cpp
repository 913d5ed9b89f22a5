// TCP streams on POSIX sockets. Waits sleep in poll() on the socket and on an
// eventfd that closing signals; as with serial ports, the descriptor number is
// never freed while another thread may still be using it.
#include "platform/Socket.h"

#include "platform/BoundedLookup.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace platform {

class TcpStream {
 public:
  TcpStream(int fd, int wakeFd) : fd_(fd), wakeFd_(wakeFd) {}
  ~TcpStream() {
    close(fd_);
    close(wakeFd_);
  }
  TcpStream(const TcpStream&) = delete;
  TcpStream& operator=(const TcpStream&) = delete;

  const int fd_;
  const int wakeFd_;
  std::atomic<bool> closed_{false};
  std::mutex closeMutex_;
};

void TcpStreamDeleter::operator()(TcpStream* stream) const { delete stream; }

namespace {

using Clock = std::chrono::steady_clock;

std::chrono::microseconds Since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
}

int Remaining(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Numeric addresses at once; names through a lookup held to the deadline.
int Resolve(const std::string& host, std::uint16_t port, Clock::time_point deadline,
            addrinfo*& result) {
  addrinfo hints {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  const std::string service = std::to_string(port);
  if (getaddrinfo(host.c_str(), service.c_str(), &hints, &result) == 0) return 0;
  result = nullptr;
  hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
  return RunBounded(
      [host, service, hints](addrinfo** found) {
        return getaddrinfo(host.c_str(), service.c_str(), &hints, found);
      },
      [](addrinfo* found) { freeaddrinfo(found); }, deadline, result, EAI_AGAIN, EAI_AGAIN);
}

std::string NumericAddress(const sockaddr* address, socklen_t length) {
  char text[NI_MAXHOST] = {};
  if (getnameinfo(address, length, text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0) return {};
  return text;
}

}  // namespace

TcpStreamPtr TcpConnect(const std::string& host, std::uint16_t port,
                        std::chrono::milliseconds limit, TcpConnectReport& report) {
  using Failure = TcpConnectReport::Failure;
  report = TcpConnectReport{};
  const auto start = Clock::now();
  const auto deadline = start + limit;
  addrinfo* addresses = nullptr;
  const int status = Resolve(host, port, deadline, addresses);
  report.resolveTime = Since(start);
  if (status != 0) {
    report.failure = status == EAI_AGAIN && Clock::now() >= deadline ? Failure::TimedOut
                                                                      : Failure::Resolve;
    report.error = status == EAI_AGAIN && Clock::now() >= deadline
                       ? "the name was not resolved in time"
                       : gai_strerror(status);
    return nullptr;
  }
  const auto connectStart = Clock::now();
  report.failure = Failure::Other;
  report.error = "no address to connect to";
  int fd = -1;
  for (addrinfo* a = addresses; a != nullptr && fd < 0; a = a->ai_next) {
    report.address = NumericAddress(a->ai_addr, a->ai_addrlen);
    const int s = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (s < 0) {
      report.error = std::strerror(errno);
      continue;
    }
    int error = 0;
    if (connect(s, a->ai_addr, a->ai_addrlen) != 0) {
      error = errno;
      if (error == EINPROGRESS) {
        pollfd p = {s, POLLOUT, 0};
        int n = 0;
        while ((n = poll(&p, 1, Remaining(deadline))) < 0 && errno == EINTR) {}
        socklen_t length = sizeof error;
        if (n == 0) error = ETIMEDOUT;
        else if (n < 0 || getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
      }
    }
    if (error != 0) {
      close(s);
      report.error = std::strerror(error);
      report.failure = error == ECONNREFUSED  ? Failure::Refused
                       : error == ETIMEDOUT   ? Failure::TimedOut
                       : error == ENETUNREACH || error == EHOSTUNREACH ? Failure::Unreachable
                                                                      : Failure::Other;
      if (Clock::now() >= deadline) break;
      continue;
    }
    fd = s;
  }
  freeaddrinfo(addresses);
  report.connectTime = Since(connectStart);
  if (fd < 0) return nullptr;
  // Frames are small and each is awaited: none may wait for the next.
  const int one = 1;
  (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  (void)setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
  const int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd < 0) {
    close(fd);
    report.failure = Failure::Other;
    report.error = std::strerror(errno);
    return nullptr;
  }
  report.failure = Failure::None;
  report.error.clear();
  return TcpStreamPtr(new TcpStream(fd, wakeFd));
}

namespace {

// 1: the socket is ready; 0: the time passed; -1: closed or failed.
int WaitFor(TcpStream& stream, short events, int timeoutMs) {
  if (stream.closed_) return -1;
  pollfd fds[2] = {{stream.fd_, events, 0}, {stream.wakeFd_, POLLIN, 0}};
  int n = 0;
  while ((n = poll(fds, 2, timeoutMs)) < 0) {
    if (errno != EINTR) return -1;
  }
  if (stream.closed_ || (fds[1].revents & POLLIN)) return -1;
  if (n == 0) return 0;
  return 1;
}

}  // namespace

TcpWaitResult TcpWaitReadable(TcpStream& stream) {
  const int n = WaitFor(stream, POLLIN, -1);
  if (n < 0) return stream.closed_ ? TcpWaitResult::Closed : TcpWaitResult::Failed;
  return TcpWaitResult::Readable;
}

bool TcpWaitReadableFor(TcpStream& stream, std::chrono::milliseconds limit) {
  return WaitFor(stream, POLLIN, static_cast<int>(limit.count())) == 1;
}

long TcpReceive(TcpStream& stream, std::uint8_t* buffer, std::size_t size) {
  if (stream.closed_) return -1;
  for (;;) {
    const ssize_t n = recv(stream.fd_, buffer, size, MSG_DONTWAIT);
    if (n >= 0) return stream.closed_ ? -1 : static_cast<long>(n);
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? -2 : -1;
  }
}

bool TcpSendAll(TcpStream& stream, const std::uint8_t* data, std::size_t size) {
  std::size_t sent = 0;
  while (sent < size) {
    if (stream.closed_) return false;
    // MSG_NOSIGNAL: a peer that has gone is a failed send, not a SIGPIPE.
    const ssize_t n = send(stream.fd_, data + sent, size - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    if (WaitFor(stream, POLLOUT, -1) != 1) return false;
  }
  return !stream.closed_;
}

void TcpClose(TcpStream& stream) {
  std::lock_guard lock(stream.closeMutex_);
  if (stream.closed_.exchange(true)) return;
  (void)shutdown(stream.fd_, SHUT_RDWR);
  const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null >= 0) {
    (void)dup3(null, stream.fd_, O_CLOEXEC);
    close(null);
  }
  const std::uint64_t one = 1;
  (void)!write(stream.wakeFd_, &one, sizeof one);
}

}  // namespace platform
