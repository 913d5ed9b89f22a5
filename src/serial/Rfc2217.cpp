#include "serial/Rfc2217.h"

#include <cstring>

namespace rfc2217 {

namespace {

void Put3(std::uint8_t* out, std::size_t& n, std::uint8_t verb, std::uint8_t option) {
  out[n++] = kIac;
  out[n++] = verb;
  out[n++] = option;
}

// IAC SB COM-PORT-OPTION command value... IAC SE, a 0xFF in the value doubled.
std::size_t Command(std::uint8_t command, const std::uint8_t* value, std::size_t length,
                    std::uint8_t* out) {
  std::size_t n = 0;
  out[n++] = kIac;
  out[n++] = kSb;
  out[n++] = kOptionComPort;
  out[n++] = command;
  n += Client::Escape(value, length, out + n);
  out[n++] = kIac;
  out[n++] = kSe;
  return n;
}

std::size_t Command1(std::uint8_t command, std::uint8_t value, std::uint8_t* out) {
  return Command(command, &value, 1, out);
}

}  // namespace

std::size_t Client::Greeting(std::uint8_t* out) {
  std::size_t n = 0;
  Put3(out, n, kWill, kOptionBinary);
  Put3(out, n, kDo, kOptionBinary);
  Put3(out, n, kWill, kOptionComPort);
  usBinary_ = himBinary_ = usComPort_ = Want::Asked;
  return n;
}

std::size_t Client::RequestLine(const LineRequest& line, std::uint8_t* out) const {
  std::size_t n = 0;
  const std::uint8_t baud[4] = {
      static_cast<std::uint8_t>(line.baudRate >> 24), static_cast<std::uint8_t>(line.baudRate >> 16),
      static_cast<std::uint8_t>(line.baudRate >> 8), static_cast<std::uint8_t>(line.baudRate)};
  n += Command(kSetBaudRate, baud, sizeof baud, out + n);
  n += Command1(kSetDataSize, line.dataSize, out + n);
  n += Command1(kSetParity, line.parity, out + n);
  n += Command1(kSetStopSize, line.stopSize, out + n);
  n += Command1(kSetControl, line.flowOut, out + n);
  n += Command1(kSetControl, line.flowIn, out + n);
  n += Command1(kSetControl, line.dtr ? kControlDtrOn : kControlDtrOff, out + n);
  n += Command1(kSetControl, line.rts ? kControlRtsOn : kControlRtsOff, out + n);
  n += Command(kSignature, nullptr, 0, out + n);
  return n;
}

std::size_t Client::Purge(std::uint8_t which, std::uint8_t* out) const {
  return Command1(kPurgeData, which, out);
}

std::size_t Client::SignatureRequest(std::uint8_t* out) const {
  return Command(kSignature, nullptr, 0, out);
}

std::size_t Client::Escape(const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
  std::size_t o = 0;
  for (std::size_t i = 0; i < n; ++i) {
    out[o++] = in[i];
    if (in[i] == kIac) out[o++] = kIac;
  }
  return o;
}

Client::Taken Client::Receive(const std::uint8_t* in, std::size_t n, std::uint8_t* data,
                              std::uint8_t* reply) {
  Taken taken;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t b = in[i];
    switch (state_) {
      case State::Data:
        if (b == kIac) state_ = State::Iac;
        else data[taken.data++] = b;
        break;
      case State::Iac:
        if (b == kIac) {
          data[taken.data++] = kIac;
          state_ = State::Data;
        } else if (b >= kWill) {  // WILL, WONT, DO, DONT
          verb_ = b;
          state_ = State::Option;
        } else if (b == kSb) {
          subLength_ = 0;
          subOverflow_ = false;
          state_ = State::Sub;
        } else {
          // NOP, DM, BRK, IP, AO, AYT, EC, EL, GA, a stray SE: nothing of the data.
          ++server_.commands;
          state_ = State::Data;
        }
        break;
      case State::Option:
        ++server_.commands;
        Option(verb_, b, reply, taken.reply);
        state_ = State::Data;
        break;
      case State::Sub:
        if (b == kIac) {
          state_ = State::SubIac;
        } else if (subLength_ < kSubSize) {
          sub_[subLength_++] = b;
        } else {
          subOverflow_ = true;
        }
        break;
      case State::SubIac:
        if (b == kSe) {
          ++server_.commands;
          SubnegotiationEnd();
          state_ = State::Data;
        } else if (b == kIac) {
          if (subLength_ < kSubSize) sub_[subLength_++] = kIac;
          else subOverflow_ = true;
          state_ = State::Sub;
        } else {
          // A subnegotiation left unended: the command that follows ends it
          // (as the Telnet of most systems reads it), and the data goes on.
          ++server_.commands;
          subLength_ = 0;
          state_ = State::Iac;
          --i;
        }
        break;
    }
  }
  return taken;
}

// A server that asks on and on (a flood of DO, or DO and DONT in turn) gets
// a few answers per option and then none: it may never read them, and an
// answer that cannot be sent would hold the open, or the reader, for good.
void Client::Answer(std::uint8_t* reply, std::size_t& r, std::uint8_t verb, std::uint8_t option) {
  if (answers_[option] >= kAnswersPerOption) return;
  ++answers_[option];
  Put3(reply, r, verb, option);
}

// The client wants BINARY both ways and to speak COM-PORT-OPTION, and nothing
// else. An agreement to what it asked is not answered again, so no two
// well-behaved parties loop; every other request is refused.
void Client::Option(std::uint8_t verb, std::uint8_t option, std::uint8_t* reply, std::size_t& r) {
  Want* us = option == kOptionBinary ? &usBinary_ : option == kOptionComPort ? &usComPort_ : nullptr;
  Want* him = option == kOptionBinary ? &himBinary_ : nullptr;
  switch (verb) {
    case kDo:
      if (us == nullptr) {
        Answer(reply, r, kWont, option);
      } else {
        if (*us == Want::No) Answer(reply, r, kWill, option);
        *us = Want::Yes;
      }
      break;
    case kDont:
      if (us != nullptr) {
        if (*us == Want::Yes) Answer(reply, r, kWont, option);
        *us = Want::No;
        if (option == kOptionComPort) server_.comPortRefused = true;
      }
      break;
    case kWill:
      if (him == nullptr) {
        Answer(reply, r, kDont, option);
      } else {
        if (*him == Want::No) Answer(reply, r, kDo, option);
        *him = Want::Yes;
      }
      break;
    case kWont:
      if (him != nullptr) {
        if (*him == Want::Yes) Answer(reply, r, kDont, option);
        *him = Want::No;
      }
      break;
    default:
      break;
  }
  server_.binaryToServer = usBinary_ == Want::Yes;
  server_.binaryFromServer = himBinary_ == Want::Yes;
  server_.comPort = usComPort_ == Want::Yes;
  if (server_.comPort) server_.comPortRefused = false;
}

void Client::SubnegotiationEnd() {
  if (subLength_ < 2 || sub_[0] != kOptionComPort) return;
  const std::uint8_t command = sub_[1];
  const std::uint8_t* value = sub_ + 2;
  const std::size_t length = subLength_ - 2;
  switch (command) {
    case kServerOffset + kSignature: {
      const std::size_t keep = length < sizeof server_.signature - 1 ? length : sizeof server_.signature - 1;
      for (std::size_t i = 0; i < keep; ++i) {
        // Only printable text: it is shown to the user as it is.
        const std::uint8_t c = value[i];
        server_.signature[i] = (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
      }
      server_.signature[keep] = '\0';
      ++server_.signatures;
      break;
    }
    case kServerOffset + kSetBaudRate:
      if (length == 4 && !subOverflow_) {
        server_.baudRate = (std::uint32_t{value[0]} << 24) | (std::uint32_t{value[1]} << 16) |
                           (std::uint32_t{value[2]} << 8) | value[3];
        server_.baudAnswered = true;
      }
      break;
    case kServerOffset + kSetDataSize:
      if (length == 1) {
        server_.dataSize = value[0];
        server_.dataSizeAnswered = true;
      }
      break;
    case kServerOffset + kSetParity:
      if (length == 1) {
        server_.parity = value[0];
        server_.parityAnswered = true;
      }
      break;
    case kServerOffset + kSetStopSize:
      if (length == 1) {
        server_.stopSize = value[0];
        server_.stopSizeAnswered = true;
      }
      break;
    case kServerOffset + kSetControl:
      server_.controlAnswered = true;
      break;
    case kServerOffset + kPurgeData:
      server_.purgeAnswered = true;
      break;
    default:
      break;  // line and modem state notices, purge answers
  }
}

}  // namespace rfc2217
