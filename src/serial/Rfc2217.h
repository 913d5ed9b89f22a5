// Telnet with the Com Port Control option (RFC 854, 856, 2217): what a client
// of a network serial server sends and how it reads what comes back. No I/O:
// the network port feeds bytes in and sends what comes out. Every buffer is
// the caller's, so nothing is allocated per frame.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rfc2217 {

inline constexpr std::uint8_t kIac = 255;
inline constexpr std::uint8_t kDont = 254;
inline constexpr std::uint8_t kDo = 253;
inline constexpr std::uint8_t kWont = 252;
inline constexpr std::uint8_t kWill = 251;
inline constexpr std::uint8_t kSb = 250;
inline constexpr std::uint8_t kSe = 240;

inline constexpr std::uint8_t kOptionBinary = 0;
inline constexpr std::uint8_t kOptionComPort = 44;

// Client-to-server commands of the Com Port option; the server answers each
// with the same code plus 100.
inline constexpr std::uint8_t kSignature = 0;
inline constexpr std::uint8_t kSetBaudRate = 1;
inline constexpr std::uint8_t kSetDataSize = 2;
inline constexpr std::uint8_t kSetParity = 3;
inline constexpr std::uint8_t kSetStopSize = 4;
inline constexpr std::uint8_t kSetControl = 5;
inline constexpr std::uint8_t kPurgeData = 12;
inline constexpr std::uint8_t kServerOffset = 100;

// SET-CONTROL values.
inline constexpr std::uint8_t kControlNoFlowOut = 1;
inline constexpr std::uint8_t kControlXonXoffOut = 2;
inline constexpr std::uint8_t kControlHardwareOut = 3;
inline constexpr std::uint8_t kControlDtrOn = 8;
inline constexpr std::uint8_t kControlDtrOff = 9;
inline constexpr std::uint8_t kControlRtsOn = 11;
inline constexpr std::uint8_t kControlRtsOff = 12;
inline constexpr std::uint8_t kControlNoFlowIn = 14;

// PURGE-DATA values.
inline constexpr std::uint8_t kPurgeReceive = 1;   // what the server received from the line
inline constexpr std::uint8_t kPurgeTransmit = 2;  // what it has yet to send on the line
inline constexpr std::uint8_t kPurgeBoth = 3;

// The line as the client asks for it, in RFC 2217's own values.
struct LineRequest {
  std::uint32_t baudRate = 115200;
  std::uint8_t dataSize = 8;
  std::uint8_t parity = 1;    // NONE
  std::uint8_t stopSize = 1;  // 1 stop bit
  std::uint8_t flowOut = kControlNoFlowOut;
  std::uint8_t flowIn = kControlNoFlowIn;
  bool dtr = false;
  bool rts = false;
};

// What the server has said so far.
struct ServerView {
  bool binaryToServer = false;    // it said DO BINARY
  bool binaryFromServer = false;  // it said WILL BINARY
  bool comPort = false;           // it said DO COM-PORT-OPTION
  bool comPortRefused = false;    // it said DONT COM-PORT-OPTION
  bool baudAnswered = false;
  bool dataSizeAnswered = false;
  bool parityAnswered = false;
  bool stopSizeAnswered = false;
  bool controlAnswered = false;  // some servers never answer it
  bool purgeAnswered = false;
  std::uint32_t baudRate = 0;
  std::uint8_t dataSize = 0;
  std::uint8_t parity = 0;
  std::uint8_t stopSize = 0;
  std::uint32_t commands = 0;  // Telnet commands taken out of the data
  std::uint32_t signatures = 0;  // SIGNATURE answers so far
  char signature[64] = {};     // its SIGNATURE text, zero-ended, cut to fit
};

// Worst cases, for the callers' fixed buffers.
inline constexpr std::size_t kGreetingSize = 9;
inline constexpr std::size_t kLineRequestMaxSize = 8 * 12;
inline constexpr std::size_t kPurgeSize = 7;
inline constexpr std::size_t EscapedMaxSize(std::size_t n) { return 2 * n; }
inline constexpr std::size_t kReplySlack = 2;

class Client {
 public:
  // WILL BINARY, DO BINARY, WILL COM-PORT-OPTION: what the client opens with.
  std::size_t Greeting(std::uint8_t* out);
  // SET-BAUDRATE, -DATASIZE, -PARITY, -STOPSIZE, the flow control both ways,
  // DTR and RTS, and a SIGNATURE request.
  std::size_t RequestLine(const LineRequest& line, std::uint8_t* out) const;
  std::size_t Purge(std::uint8_t which, std::uint8_t* out) const;
  // A SIGNATURE request alone: a round trip that never reaches the line.
  std::size_t SignatureRequest(std::uint8_t* out) const;

  // Data bytes for the wire: every 0xFF doubled. `out` holds 2 * n.
  static std::size_t Escape(const std::uint8_t* in, std::size_t n, std::uint8_t* out);

  // Takes `n` received bytes: the data in them goes to `data` (at most n
  // bytes), the answers the client owes the server (refusals of options it
  // does not do) to `reply` (at most n + kReplySlack bytes: a command begun
  // in the previous call may end in this one). A command, an escape or a
  // subnegotiation may be split across calls at any byte.
  struct Taken {
    std::size_t data = 0;
    std::size_t reply = 0;
  };
  Taken Receive(const std::uint8_t* in, std::size_t n, std::uint8_t* data, std::uint8_t* reply);

  const ServerView& Server() const { return server_; }

  // Between connections.
  void Reset() { *this = Client(); }

 private:
  enum class State : std::uint8_t { Data, Iac, Option, Sub, SubIac };
  enum class Want : std::uint8_t { No, Asked, Yes };

  void Option(std::uint8_t verb, std::uint8_t option, std::uint8_t* reply, std::size_t& r);
  void Answer(std::uint8_t* reply, std::size_t& r, std::uint8_t verb, std::uint8_t option);
  void SubnegotiationEnd();

  State state_ = State::Data;
  std::uint8_t verb_ = 0;
  // Our side (WILL) and the server's side (DO from us) of the two options.
  Want usBinary_ = Want::No;
  Want himBinary_ = Want::No;
  Want usComPort_ = Want::No;
  static constexpr std::size_t kSubSize = 72;
  std::uint8_t sub_[kSubSize] = {};
  std::size_t subLength_ = 0;
  bool subOverflow_ = false;
  static constexpr std::uint8_t kAnswersPerOption = 4;
  std::uint8_t answers_[256] = {};  // answers given so far, per option
  ServerView server_;
};

}  // namespace rfc2217
