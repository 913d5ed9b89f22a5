// Serial ports on another machine, behind a network serial server:
// rfc2217://HOST:PORT (Telnet with Com Port Control: this side sets the line)
// and socket://HOST:PORT (bytes as they are; the server's settings hold).
// Opened, they are ports like any other: the same reader and writer threads
// run on them.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "platform/Serial.h"
#include "platform/Socket.h"
#include "serial/Rfc2217.h"

struct NetAddress {
  enum class Kind { Rfc2217, Raw };
  Kind kind = Kind::Rfc2217;
  std::string host;  // without the brackets of an IPv6 address
  std::uint16_t port = 0;
};

// Whether `text` names a network port at all (by its scheme, in any case).
bool IsNetUrl(const std::string& text);
// Parses rfc2217://HOST:PORT or socket://HOST:PORT; HOST is a name, an IPv4
// address or an IPv6 address in brackets. False, with the reason, otherwise.
bool ParseNetUrl(const std::string& text, NetAddress& address, std::string* error = nullptr);

// A scan step must not hang on a host that does not answer: name resolution
// and connect together get this long, the Telnet negotiation this long again.
inline constexpr auto kNetConnectLimit = std::chrono::milliseconds(1500);
inline constexpr auto kNetNegotiationLimit = std::chrono::milliseconds(1000);
// How long a raw server is given to end a connection it will not serve.
inline constexpr auto kNetRawRefusalWait = std::chrono::milliseconds(50);

// What opening a network port found, for doctor.
struct NetOpenReport {
  platform::TcpConnectReport connect;
  bool connected = false;
  bool inUse = false;  // the server took the connection and ended it at once
  std::string serverText;  // printable text the server sent before the data began
  rfc2217::ServerView server;
  std::chrono::microseconds negotiationTime{0};
  bool negotiated = false;  // the server answered the line settings in time
};

// Connects; for rfc2217 it also opens the Telnet negotiation. The line
// settings go out with SerialSetState, as on a local port. Null on failure.
platform::SerialHandle OpenNetPort(const NetAddress& address, NetOpenReport* report = nullptr);

// Times a round trip to the server of an open RFC 2217 port whose reader is
// not running (doctor): a SIGNATURE request and its answer, which never
// reach the line. False when the server does not answer within `limit`.
bool NetPortRoundTrip(platform::SerialPort& port, std::chrono::milliseconds limit,
                      std::chrono::microseconds& roundTrip);

// What the server of an open network port has said (doctor); false for a
// port that is not one.
bool NetPortServerView(platform::SerialPort& port, rfc2217::ServerView& view,
                       bool& negotiated);
