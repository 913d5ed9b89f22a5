#include "serial/NetPort.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>

namespace {

using Clock = std::chrono::steady_clock;

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  const std::size_t n = std::strlen(prefix);
  if (text.size() < n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

constexpr const char* kRfc2217Scheme = "rfc2217://";
constexpr const char* kRawScheme = "socket://";

// The fixed buffers of one connection: reads, their data and the answers they
// owe, and one escaped frame.
constexpr std::size_t kReceiveSize = 4096;
constexpr std::size_t kFrameMax = 1024;
constexpr std::size_t kSendSize = rfc2217::EscapedMaxSize(kFrameMax);

class NetSerial final : public platform::SerialBackend {
 public:
  NetSerial(platform::TcpStreamPtr stream, NetAddress::Kind kind)
      : stream_(std::move(stream)), telnet_(kind == NetAddress::Kind::Rfc2217) {
    settings_.baudRate = 115200;
  }

  // Bytes the server sends as soon as it takes the connection: a refusal
  // ("port in use") and its end, or a banner. Data that arrives here was
  // sent before the port was opened and is dropped, as a local port does.
  bool Greet() {
    if (telnet_) {
      std::uint8_t greeting[rfc2217::kGreetingSize];
      const std::size_t n = client_.Greeting(greeting);
      if (!Send(greeting, n)) return false;
    }
    return true;
  }

  // Waits up to `limit` for the server's answers, or for the connection to
  // end (a server that refuses a second client). False when it ended.
  bool Settle(Clock::time_point deadline, bool (*enough)(const rfc2217::ServerView&),
              bool untilSignature = false) {
    for (;;) {
      if (enough != nullptr && enough(client_.Server())) return true;
      if (untilSignature && client_.Server().signatures >= awaitedSignatures_) return true;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return true;
      if (!platform::TcpWaitReadableFor(*stream_, left)) {
        if (closed_) return false;
        continue;
      }
      const long n = platform::TcpReceive(*stream_, raw_, sizeof raw_);
      if (n == -2) continue;
      if (n <= 0) return false;
      const std::size_t got = Take(static_cast<std::size_t>(n));
      for (std::size_t i = 0; i < got && serverText_.size() < kServerTextMax; ++i) {
        const char c = static_cast<char>(data_[i]);
        if ((c >= 0x20 && c < 0x7F) || c == '\n') serverText_ += c;
      }
      std::lock_guard lock(dataMutex_);
      dataStart_ = dataEnd_ = 0;
    }
  }

  const rfc2217::ServerView& Server() const { return client_.Server(); }

  bool RoundTrip(std::chrono::milliseconds limit, std::chrono::microseconds& roundTrip) {
    if (!telnet_) return false;
    std::uint8_t request[rfc2217::kPurgeSize];
    const std::uint32_t before = client_.Server().signatures;
    const auto start = Clock::now();
    if (!Send(request, client_.SignatureRequest(request))) return false;
    awaitedSignatures_ = before + 1;
    const bool alive = Settle(start + limit, [](const rfc2217::ServerView&) { return false; }, true);
    roundTrip = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
    return alive && client_.Server().signatures > before;
  }
  bool Negotiated() const { return negotiated_; }

  bool GetState(platform::SerialSettings& settings) override {
    if (closed_) return false;
    std::lock_guard lock(settingsMutex_);
    settings = settings_;
    return true;
  }

  bool SetState(const platform::SerialSettings& settings) override {
    if (closed_) return false;
    {
      std::lock_guard lock(settingsMutex_);
      settings_ = settings;
    }
    if (!telnet_) return true;  // the server's own settings hold
    const rfc2217::LineRequest line = LineFor(settings);
    if (lineSent_ && SameLine(line, sentLine_)) return true;  // asked for at the open
    return Negotiate(line);
  }

  // Sends the line settings with a purge both ways and waits, a while at
  // most, for the answers. The settings reach the line before any frame (a
  // server takes them in order); the answers are awaited so that the purge
  // cannot take the first frame, and so doctor can tell what the server did.
  // SET-CONTROL is not awaited: a server whose line has no modem lines may
  // never answer it. False when the connection ended meanwhile.
  bool Negotiate(const rfc2217::LineRequest& line) {
    std::uint8_t request[rfc2217::kLineRequestMaxSize + rfc2217::kPurgeSize];
    std::size_t n = client_.RequestLine(line, request);
    // Whatever the server holds from before is dropped, here and only here.
    // Not before each frame as on a local port: a server applies a purge
    // when it gets to it, and ser2net's then takes the frame sent right
    // after it too. There is nothing to purge by then anyway: the controller
    // asks for a frame only when it has the previous one.
    n += client_.Purge(rfc2217::kPurgeBoth, request + n);
    if (!Send(request, n)) return false;
    sentLine_ = line;
    lineSent_ = true;
    const auto start = Clock::now();
    const bool alive = Settle(start + kNetNegotiationLimit, [](const rfc2217::ServerView& s) {
      return s.comPortRefused || (s.baudAnswered && s.dataSizeAnswered && s.parityAnswered &&
                                  s.stopSizeAnswered && s.purgeAnswered);
    });
    const auto& s = client_.Server();
    negotiated_ = s.baudAnswered && s.dataSizeAnswered && s.parityAnswered && s.stopSizeAnswered;
    negotiationTime_ = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
    return alive;
  }

  static rfc2217::LineRequest LineFor(const platform::SerialSettings& settings) {
    rfc2217::LineRequest line;
    line.baudRate = settings.baudRate;
    line.dataSize = settings.byteSize;
    line.parity = static_cast<std::uint8_t>(settings.parity + 1);
    static constexpr std::uint8_t kStop[] = {1, 3, 2};  // ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS
    line.stopSize = settings.stopBits < 3 ? kStop[settings.stopBits] : 1;
    line.flowOut = settings.outxCtsFlow || settings.rtsControl == 2 ? rfc2217::kControlHardwareOut
                   : settings.outX                                 ? rfc2217::kControlXonXoffOut
                                                                   : rfc2217::kControlNoFlowOut;
    line.flowIn = settings.inX ? std::uint8_t{15} : rfc2217::kControlNoFlowIn;  // 15: XON/XOFF inbound
    line.dtr = settings.dtrControl != 0;
    line.rts = settings.rtsControl == 1;
    return line;
  }

  static bool SameLine(const rfc2217::LineRequest& a, const rfc2217::LineRequest& b) {
    return a.baudRate == b.baudRate && a.dataSize == b.dataSize && a.parity == b.parity &&
           a.stopSize == b.stopSize && a.flowOut == b.flowOut && a.flowIn == b.flowIn &&
           a.dtr == b.dtr && a.rts == b.rts;
  }

  // The server's buffers were purged with the line settings; here only what
  // this side holds.
  bool Purge(std::uint32_t flags) override {
    if (closed_) return false;
    if (flags & platform::kPurgeRxClear) {
      std::lock_guard lock(dataMutex_);
      dataStart_ = dataEnd_ = 0;
    }
    return true;
  }

  platform::WaitResult WaitEvent() override {
    for (;;) {
      if (closed_) return platform::WaitResult::Closed;
      if (gone_) return platform::WaitResult::Gone;
      {
        std::lock_guard lock(dataMutex_);
        if (dataEnd_ > dataStart_) return platform::WaitResult::RxChar;
      }
      switch (platform::TcpWaitReadable(*stream_)) {
        case platform::TcpWaitResult::Closed:
          return platform::WaitResult::Closed;
        case platform::TcpWaitResult::Failed:
          return closed_ ? platform::WaitResult::Closed : platform::WaitResult::Other;
        case platform::TcpWaitResult::Readable:
          break;
      }
      std::lock_guard lock(dataMutex_);
      if (dataEnd_ > dataStart_) return platform::WaitResult::RxChar;
      const long n = platform::TcpReceive(*stream_, raw_, sizeof raw_);
      if (n == -2) continue;
      if (n <= 0) {
        if (closed_) return platform::WaitResult::Closed;
        // The server, its machine or the network has gone: the link is lost
        // as when a USB adapter is pulled out.
        gone_ = true;
        return platform::WaitResult::Gone;
      }
      dataStart_ = 0;
      dataEnd_ = Take(static_cast<std::size_t>(n));
    }
  }

  bool ClearErrors(std::uint32_t& errors, std::uint32_t& inQueue) override {
    errors = 0;
    inQueue = 0;
    if (closed_) return false;
    std::lock_guard lock(dataMutex_);
    inQueue = static_cast<std::uint32_t>(dataEnd_ - dataStart_);
    return true;
  }

  bool Read(std::uint8_t* buffer, std::uint32_t count, std::uint32_t& read) override {
    read = 0;
    if (closed_) return false;
    std::lock_guard lock(dataMutex_);
    const std::size_t n = std::min<std::size_t>(count, dataEnd_ - dataStart_);
    std::memcpy(buffer, data_ + dataStart_, n);
    dataStart_ += n;
    read = static_cast<std::uint32_t>(n);
    return true;
  }

  bool Write(const std::uint8_t* data, std::uint32_t count, std::uint32_t& written) override {
    written = 0;
    if (closed_ || count > kFrameMax) return false;
    std::lock_guard lock(sendMutex_);
    std::size_t n = 0;
    if (telnet_) {
      n += rfc2217::Client::Escape(data, count, send_ + n);
    } else {
      std::memcpy(send_ + n, data, count);
      n += count;
    }
    if (!platform::TcpSendAll(*stream_, send_, n)) return false;
    written = count;
    return true;
  }

  void Close() override {
    if (closed_.exchange(true)) return;
    platform::TcpClose(*stream_);
  }

  bool IsClosed() const override { return closed_; }

  std::chrono::microseconds NegotiationTime() const { return negotiationTime_; }
  const std::string& ServerText() const { return serverText_; }

 private:
  // Decodes raw_[0, n) into data_ and sends what it owes the server. The
  // caller holds dataMutex_ or is the only thread about.
  std::size_t Take(std::size_t n) {
    if (!telnet_) {
      std::memcpy(data_, raw_, n);
      return n;
    }
    const auto taken = client_.Receive(raw_, n, data_, reply_);
    if (taken.reply > 0) (void)Send(reply_, taken.reply);
    return taken.data;
  }

  bool Send(const std::uint8_t* bytes, std::size_t n) {
    std::lock_guard lock(sendMutex_);
    return platform::TcpSendAll(*stream_, bytes, n);
  }

  platform::TcpStreamPtr stream_;
  const bool telnet_;
  rfc2217::Client client_;  // its receive side on the reader's thread only
  std::atomic<bool> closed_{false};
  std::atomic<bool> gone_{false};
  bool negotiated_ = false;
  bool lineSent_ = false;
  std::uint32_t awaitedSignatures_ = 0;
  static constexpr std::size_t kServerTextMax = 120;
  std::string serverText_;  // printable text that came before the port was open
  rfc2217::LineRequest sentLine_;
  std::chrono::microseconds negotiationTime_{0};

  std::mutex settingsMutex_;
  platform::SerialSettings settings_;

  std::mutex dataMutex_;
  std::uint8_t raw_[kReceiveSize] = {};
  std::uint8_t data_[kReceiveSize] = {};
  std::uint8_t reply_[kReceiveSize + rfc2217::kReplySlack] = {};
  std::size_t dataStart_ = 0;
  std::size_t dataEnd_ = 0;

  std::mutex sendMutex_;
  std::uint8_t send_[kSendSize] = {};
};

}  // namespace

bool IsNetUrl(const std::string& text) {
  return StartsWithNoCase(text, kRfc2217Scheme) || StartsWithNoCase(text, kRawScheme);
}

bool ParseNetUrl(const std::string& text, NetAddress& address, std::string* error) {
  auto fail = [&](const char* why) {
    if (error) *error = why;
    return false;
  };
  std::string rest;
  if (StartsWithNoCase(text, kRfc2217Scheme)) {
    address.kind = NetAddress::Kind::Rfc2217;
    rest = text.substr(std::strlen(kRfc2217Scheme));
  } else if (StartsWithNoCase(text, kRawScheme)) {
    address.kind = NetAddress::Kind::Raw;
    rest = text.substr(std::strlen(kRawScheme));
  } else {
    return fail("not rfc2217://HOST:PORT or socket://HOST:PORT");
  }
  // A trailing slash is what people paste from a browser; nothing else may follow.
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  std::size_t colon = std::string::npos;
  if (!rest.empty() && rest.front() == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string::npos || close == 1) return fail("an IPv6 address without its closing ]");
    address.host = rest.substr(1, close - 1);
    if (close + 1 >= rest.size() || rest[close + 1] != ':') return fail("no :PORT after the host");
    colon = close + 1;
  } else {
    colon = rest.rfind(':');
    if (colon == std::string::npos) return fail("no :PORT after the host");
    address.host = rest.substr(0, colon);
    if (address.host.find(':') != std::string::npos)
      return fail("an IPv6 address goes in brackets: [::1]:PORT");
  }
  if (address.host.empty()) return fail("no host");
  for (char c : address.host) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '-' || c == '_' || c == ':' || c == '%';
    if (!ok) return fail("the host has a character no host name has");
  }
  const std::string port = rest.substr(colon + 1);
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
    return fail("the port is not a number from 1 to 65535");
  const unsigned long value = std::stoul(port);
  if (value == 0 || value > 65535) return fail("the port is not a number from 1 to 65535");
  address.port = static_cast<std::uint16_t>(value);
  return true;
}

platform::SerialHandle OpenNetPort(const NetAddress& address, NetOpenReport* report) {
  NetOpenReport local;
  NetOpenReport& r = report != nullptr ? *report : local;
  r = NetOpenReport{};
  platform::TcpStreamPtr stream =
      platform::TcpConnect(address.host, address.port, kNetConnectLimit, r.connect);
  if (!stream) return nullptr;
  r.connected = true;
  auto backend = std::make_unique<NetSerial>(std::move(stream), address.kind);
  NetSerial& net = *backend;
  if (!net.Greet()) return nullptr;
  // A server that serves one client at a time takes a second connection and
  // ends it at once, often with a word of why: that port is in use, and the
  // open fails as it does for a local port in use. ser2net says so only
  // after its Telnet options, so the line is asked for here already (as the
  // open goes on to set it: 115200 8N1, no flow control, DTR and RTS low),
  // and its answers, or the end of the connection, tell. A raw server gets
  // a moment to end it.
  bool kept = false;
  if (address.kind == NetAddress::Kind::Rfc2217) {
    platform::SerialSettings line;
    line.baudRate = 115200;
    kept = net.Negotiate(NetSerial::LineFor(line));
  } else {
    kept = net.Settle(Clock::now() + kNetRawRefusalWait, nullptr);
  }
  r.server = net.Server();
  r.serverText = net.ServerText();
  r.negotiated = net.Negotiated();
  r.negotiationTime = net.NegotiationTime();
  if (!kept) {
    r.inUse = true;
    net.Close();
    return nullptr;
  }
  return platform::SerialOpenBackend(std::move(backend));
}

bool NetPortRoundTrip(platform::SerialPort& port, std::chrono::milliseconds limit,
                      std::chrono::microseconds& roundTrip) {
  auto* net = dynamic_cast<NetSerial*>(platform::SerialBackendOf(port));
  return net != nullptr && net->RoundTrip(limit, roundTrip);
}

bool NetPortServerView(platform::SerialPort& port, rfc2217::ServerView& view, bool& negotiated) {
  auto* net = dynamic_cast<NetSerial*>(platform::SerialBackendOf(port));
  if (net == nullptr) return false;
  view = net->Server();
  negotiated = net->Negotiated();
  return true;
}
