// What a network serial server sends, into the Telnet/RFC 2217 receive path.
// A hostile or broken server must never crash the client, make it write past
// its buffers, or change data without a trace:
//   - the data and the answers owed never outgrow the bytes taken in;
//   - how the bytes are split into reads changes nothing (the input's first
//     byte picks the split);
//   - any frame sent escaped after the server's bytes, once the client is
//     back in data, comes out exactly as it was.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "serial/Rfc2217.h"

namespace {

constexpr std::size_t kMax = 4096;

void Fail(const char* what) {
  std::fprintf(stderr, "rfc2217 fuzz: %s\n", what);
  std::abort();
}

std::uint8_t* g_data = nullptr;
std::uint8_t* g_reply = nullptr;

struct Out {
  std::uint8_t data[kMax];
  std::uint8_t reply[kMax];
  std::size_t dataLength = 0;
  std::size_t replyLength = 0;
  std::size_t taken = 0;
};

void Take(rfc2217::Client& client, const std::uint8_t* in, std::size_t n, Out& out) {
  delete[] g_data;
  delete[] g_reply;
  g_data = new std::uint8_t[n > 0 ? n : 1];
  g_reply = new std::uint8_t[n + rfc2217::kReplySlack];
  // Fed through buffers of exactly the promised size, so ASan sees any byte
  // written past them.
  const auto taken = client.Receive(in, n, g_data, g_reply);
  if (taken.data > n || taken.reply > n + rfc2217::kReplySlack) Fail("more out than promised");
  std::memcpy(out.data + out.dataLength, g_data, taken.data);
  std::memcpy(out.reply + out.replyLength, g_reply, taken.reply);
  out.dataLength += taken.data;
  out.replyLength += taken.reply;
  out.taken += n;
  if (out.replyLength > out.taken) Fail("answers outgrow the bytes that asked for them");
}

bool SameView(const rfc2217::ServerView& a, const rfc2217::ServerView& b) {
  return a.binaryToServer == b.binaryToServer && a.binaryFromServer == b.binaryFromServer &&
         a.comPort == b.comPort && a.comPortRefused == b.comPortRefused &&
         a.baudAnswered == b.baudAnswered && a.baudRate == b.baudRate &&
         a.dataSize == b.dataSize && a.parity == b.parity && a.stopSize == b.stopSize &&
         a.controlAnswered == b.controlAnswered && a.commands == b.commands &&
         a.purgeAnswered == b.purgeAnswered && a.signatures == b.signatures &&
         std::strcmp(a.signature, b.signature) == 0;
}

Out g_whole, g_split;
std::uint8_t g_escaped[2 * 64];
std::uint8_t g_frame[64];

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
  if (size < 1 || size > kMax) return 0;
  const std::uint8_t step = static_cast<std::uint8_t>(input[0] % 17 + 1);
  const std::uint8_t* bytes = input + 1;
  const std::size_t n = size - 1;

  rfc2217::Client whole;
  rfc2217::Client split;
  std::uint8_t greeting[rfc2217::kGreetingSize];
  whole.Greeting(greeting);
  split.Greeting(greeting);
  g_whole = Out{};
  g_split = Out{};
  Take(whole, bytes, n, g_whole);
  for (std::size_t at = 0; at < n; at += step) {
    Take(split, bytes + at, n - at < step ? n - at : step, g_split);
  }
  if (g_whole.dataLength != g_split.dataLength ||
      std::memcmp(g_whole.data, g_split.data, g_whole.dataLength) != 0)
    Fail("the data depend on how the reads split");
  if (g_whole.replyLength != g_split.replyLength ||
      std::memcmp(g_whole.reply, g_split.reply, g_whole.replyLength) != 0)
    Fail("the answers depend on how the reads split");
  if (!SameView(whole.Server(), split.Server()))
    Fail("what the server said depends on how the reads split");
  const auto& view = whole.Server();
  if (std::memchr(view.signature, '\0', sizeof view.signature) == nullptr)
    Fail("signature not ended");

  // A frame made of the input's last bytes, rich in 0xFF, after the server
  // has finished whatever it started (an IAC NOP ends any command or
  // subnegotiation left open).
  std::size_t frameLength = n < sizeof g_frame ? n : sizeof g_frame;
  for (std::size_t i = 0; i < frameLength; ++i) {
    g_frame[i] = (i % 3 == 0) ? 0xFF : bytes[n - 1 - i];
  }
  const std::uint8_t end[] = {rfc2217::kIac, rfc2217::kSe, rfc2217::kIac, 241};
  Out tail{};
  Take(whole, end, sizeof end, tail);
  // An IAC SE closes an open subnegotiation; a pending option verb eats one
  // byte; either way the NOP leaves the client in data.
  tail = Out{};
  const std::size_t escaped = rfc2217::Client::Escape(g_frame, frameLength, g_escaped);
  Take(whole, g_escaped, escaped, tail);
  if (tail.dataLength != frameLength || std::memcmp(tail.data, g_frame, frameLength) != 0)
    Fail("an escaped frame did not come through whole");
  return 0;
}
