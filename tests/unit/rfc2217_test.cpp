// The Telnet/RFC 2217 client against byte sequences as servers send them.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "serial/Rfc2217.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using rfc2217::Client;

struct Result {
  Bytes data;
  Bytes reply;
};

// Feeds `in` in pieces of the given sizes (the rest in one last piece).
Result Feed(Client& client, const Bytes& in, std::vector<std::size_t> pieces = {}) {
  Result result;
  std::size_t at = 0;
  pieces.push_back(in.size());
  for (std::size_t piece : pieces) {
    const std::size_t n = std::min(piece, in.size() - at);
    Bytes data(n), reply(n + rfc2217::kReplySlack);
    const auto taken = client.Receive(in.data() + at, n, data.data(), reply.data());
    EXPECT_LE(taken.data, n);
    EXPECT_LE(taken.reply, n + rfc2217::kReplySlack);
    result.data.insert(result.data.end(), data.begin(), data.begin() + taken.data);
    result.reply.insert(result.reply.end(), reply.begin(), reply.begin() + taken.reply);
    at += n;
  }
  return result;
}

// What ser2net 4.3 sends to a client that opened as ours does, recorded on
// loopback: its own option requests, then answers to the line settings.
const Bytes kServerOpening = {
    255, 251, 3,   // WILL SUPPRESS-GO-AHEAD
    255, 253, 3,   // DO SUPPRESS-GO-AHEAD
    255, 251, 1,   // WILL ECHO
    255, 254, 1,   // DONT ECHO
    255, 253, 0,   // DO BINARY
    255, 251, 0,   // WILL BINARY
    255, 253, 44,  // DO COM-PORT-OPTION
    255, 250, 44, 107, 0, 255, 240,  // modem state: all lines low
};

TEST(Rfc2217, OpensWithBinaryBothWaysAndTheComPortOption) {
  Client client;
  std::uint8_t out[rfc2217::kGreetingSize];
  ASSERT_EQ(client.Greeting(out), rfc2217::kGreetingSize);
  EXPECT_EQ(Bytes(out, out + 9), (Bytes{255, 251, 0, 255, 253, 0, 255, 251, 44}));

  // Agreement to what was asked is not answered again; the options it did
  // not ask for are refused once each, and a DONT of one never agreed is not.
  for (std::size_t cut = 0; cut <= kServerOpening.size(); ++cut) {
    Client c;
    c.Greeting(out);
    const Result r = Feed(c, kServerOpening, {cut});
    EXPECT_TRUE(r.data.empty());
    EXPECT_EQ(r.reply, (Bytes{255, 254, 3, 255, 252, 3, 255, 254, 1})) << "cut at " << cut;
  }
  Feed(client, kServerOpening);
  EXPECT_TRUE(client.Server().binaryToServer);
  EXPECT_TRUE(client.Server().binaryFromServer);
  EXPECT_TRUE(client.Server().comPort);
  EXPECT_FALSE(client.Server().comPortRefused);
}

TEST(Rfc2217, RefusesEveryOtherOptionAndNotesARefusedComPort) {
  Client client;
  std::uint8_t out[rfc2217::kGreetingSize];
  client.Greeting(out);
  // DO ECHO, DO TERMINAL-TYPE, WONT and DONT of things never agreed, DONT COM-PORT.
  const Result r = Feed(client, {255, 253, 1, 255, 253, 24, 255, 252, 5, 255, 254, 7, 255, 254, 44});
  EXPECT_EQ(r.reply, (Bytes{255, 252, 1, 255, 252, 24}));
  EXPECT_TRUE(client.Server().comPortRefused);
  EXPECT_FALSE(client.Server().comPort);
  // A server that changes its mind about BINARY gets its DONT acknowledged.
  Client other;
  other.Greeting(out);
  Feed(other, kServerOpening);
  EXPECT_EQ(Feed(other, {255, 252, 0}).reply, (Bytes{255, 254, 0}));
  EXPECT_FALSE(other.Server().binaryFromServer);
}

TEST(Rfc2217, AsksForTheLineAt115200EightNoneOneWithoutFlowControl) {
  Client client;
  std::uint8_t out[rfc2217::kLineRequestMaxSize];
  const std::size_t n = client.RequestLine(rfc2217::LineRequest{}, out);
  const Bytes expected = {
      255, 250, 44, 1, 0, 1, 194, 0, 255, 240,  // SET-BAUDRATE 115200
      255, 250, 44, 2, 8, 255, 240,             // SET-DATASIZE 8
      255, 250, 44, 3, 1, 255, 240,             // SET-PARITY NONE
      255, 250, 44, 4, 1, 255, 240,             // SET-STOPSIZE 1
      255, 250, 44, 5, 1, 255, 240,             // no flow control outbound
      255, 250, 44, 5, 14, 255, 240,            // ... nor inbound
      255, 250, 44, 5, 9, 255, 240,             // DTR off
      255, 250, 44, 5, 12, 255, 240,            // RTS off
      255, 250, 44, 0, 255, 240,                // SIGNATURE?
  };
  EXPECT_EQ(Bytes(out, out + n), expected);
  EXPECT_LE(n, rfc2217::kLineRequestMaxSize);
  // A value with 0xFF in it is escaped like data.
  rfc2217::LineRequest odd;
  odd.baudRate = 0x00FF00FF;
  const std::size_t m = client.RequestLine(odd, out);
  EXPECT_EQ(Bytes(out, out + 12), (Bytes{255, 250, 44, 1, 0, 255, 255, 0, 255, 255, 255, 240}));
  EXPECT_LE(m, rfc2217::kLineRequestMaxSize);

  std::uint8_t purge[rfc2217::kPurgeSize];
  ASSERT_EQ(client.Purge(rfc2217::kPurgeTransmit, purge), rfc2217::kPurgeSize);
  EXPECT_EQ(Bytes(purge, purge + 7), (Bytes{255, 250, 44, 12, 2, 255, 240}));
}

TEST(Rfc2217, ReadsTheServersAnswersAndSignatureAndNeedsNoControlAnswer) {
  Client client;
  std::uint8_t out[rfc2217::kGreetingSize];
  client.Greeting(out);
  Feed(client, kServerOpening);
  // ser2net's answers; it sends none to SET-CONTROL on a line without modem lines.
  const Bytes answers = {255, 250, 44, 101, 0, 1, 194, 0, 255, 240,  // baud 115200
                         255, 250, 44, 102, 8, 255, 240,
                         255, 250, 44, 103, 1, 255, 240,
                         255, 250, 44, 104, 1, 255, 240,
                         255, 250, 44, 100, 's', 'e', 'r', '2', 'n', 'e', 't', ' ', 'v', '4', 255, 240};
  const Result r = Feed(client, answers, {5, 1, 9, 13});
  EXPECT_TRUE(r.data.empty());
  EXPECT_TRUE(r.reply.empty());
  const auto& s = client.Server();
  EXPECT_TRUE(s.baudAnswered && s.dataSizeAnswered && s.parityAnswered && s.stopSizeAnswered);
  EXPECT_FALSE(s.controlAnswered);
  EXPECT_EQ(s.baudRate, 115200u);
  EXPECT_EQ(s.dataSize, 8);
  EXPECT_EQ(s.parity, 1);
  EXPECT_EQ(s.stopSize, 1);
  EXPECT_STREQ(s.signature, "ser2net v4");
  // An overlong or unprintable signature is cut and made safe to print.
  Bytes longSig = {255, 250, 44, 100};
  for (int i = 0; i < 200; ++i) longSig.push_back(i % 2 ? 0x1B : 'A');
  longSig.insert(longSig.end(), {255, 240, 'x'});
  EXPECT_EQ(Feed(client, longSig).data, (Bytes{'x'}));
  EXPECT_EQ(std::string(client.Server().signature).size(), sizeof s.signature - 1);
  EXPECT_EQ(std::string(client.Server().signature).find('\x1B'), std::string::npos);
}

TEST(Rfc2217, DoublesEveryFFOnTheWayOutAndUndoublesItOnTheWayIn) {
  const Bytes frame = {0xDA, 0xFF, 0x00, 0xFF, 0xFF, 0x7F, 0xFF};
  std::uint8_t wire[2 * 7];
  const std::size_t n = Client::Escape(frame.data(), frame.size(), wire);
  EXPECT_EQ(Bytes(wire, wire + n), (Bytes{0xDA, 0xFF, 0xFF, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F,
                                          0xFF, 0xFF}));
  // Back through the receive path, split at every possible point and at
  // every byte: the frame comes out whole and nothing is owed the server.
  const Bytes escaped(wire, wire + n);
  for (std::size_t cut = 0; cut <= escaped.size(); ++cut) {
    Client client;
    const Result r = Feed(client, escaped, {cut});
    EXPECT_EQ(r.data, frame) << "cut at " << cut;
    EXPECT_TRUE(r.reply.empty());
  }
  Client bytewise;
  EXPECT_EQ(Feed(bytewise, escaped, std::vector<std::size_t>(escaped.size(), 1)).data, frame);
  // Refusals owed for commands split a byte at a time: the last byte of
  // each brings the whole answer.
  Client refusing;
  const Bytes requests = {255, 253, 1, 255, 251, 3, 255, 253, 24};
  const Result r = Feed(refusing, requests, std::vector<std::size_t>(requests.size(), 1));
  EXPECT_EQ(r.reply, (Bytes{255, 252, 1, 255, 254, 3, 255, 252, 24}));
}

TEST(Rfc2217, TakesCommandsOutOfTheMiddleOfData) {
  Client client;
  std::uint8_t out[rfc2217::kGreetingSize];
  client.Greeting(out);
  Feed(client, kServerOpening);
  // A line-state notice and a NOP inside a frame, then an IAC IAC right
  // after a subnegotiation: only the frame's bytes are data.
  const Bytes in = {0xDA, 0x01, 255, 250, 44, 106, 0x60, 255, 240, 0x02, 255, 241, 0x03,
                    255, 250, 44, 107, 255, 255, 255, 240, 255, 255, 0x04};
  for (std::size_t cut = 0; cut <= in.size(); ++cut) {
    Client c = client;
    const Result r = Feed(c, in, {cut});
    EXPECT_EQ(r.data, (Bytes{0xDA, 0x01, 0x02, 0x03, 0xFF, 0x04})) << "cut at " << cut;
    EXPECT_TRUE(r.reply.empty());
    EXPECT_EQ(c.Server().commands - client.Server().commands, 3u);
  }
  // A subnegotiation left open is ended by the next command, not by the
  // data's end: the data after that command are data again.
  Client open = client;
  const Result r = Feed(open, {255, 250, 44, 106, 1, 255, 241, 0xAA, 255, 255});
  EXPECT_EQ(r.data, (Bytes{0xAA, 0xFF}));
}

}  // namespace

namespace {

// A server that asks and asks and never reads: the answers stop, so the
// client's sends cannot fill the connection and hold the open for good.
TEST(Rfc2217, AnswersAServerThatAsksOnAndOnOnlyAFewTimes) {
  Client client;
  std::uint8_t out[rfc2217::kGreetingSize];
  client.Greeting(out);
  Bytes flood;
  for (int i = 0; i < 20000; ++i) {
    const std::uint8_t option = static_cast<std::uint8_t>(1 + i % 250);
    flood.insert(flood.end(), {255, 253, option});                         // DO something else
    flood.insert(flood.end(), {255, static_cast<std::uint8_t>(i % 2 ? 253 : 254), 0});  // DO, DONT BINARY
  }
  const Result r = Feed(client, flood, {7, 4096, 4096});
  EXPECT_LE(r.reply.size(), 3u * 4u * 256u);
  // Still the first refusals, and the data after the flood is data.
  EXPECT_EQ(Bytes(r.reply.begin(), r.reply.begin() + 3), (Bytes{255, 252, 1}));
  const Result after = Feed(client, {0xDA, 255, 255, 0x01});
  EXPECT_EQ(after.data, (Bytes{0xDA, 0xFF, 0x01}));
}

}  // namespace
