#include "cli/Trace.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "cli/Text.h"
#include "platform/File.h"
#include "protocol/Messager.h"
#include "serial/WireTap.h"
#include "transfer/ImageStore.h"

namespace cli {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kShownBytes = 64;  // a frame; longer blocks show their first 64
constexpr std::size_t kQueueLimit = std::size_t{1} << 16;
constexpr std::size_t kWakeAt = 1024;
constexpr auto kFlushPeriod = std::chrono::milliseconds(20);

enum class Marker : std::uint8_t { None, UnitBegins, UnitEnds };

// One event, copied whole: the queue holds no pointer into the link's buffers.
struct Record {
  std::int64_t us = 0;
  wire::TapKind kind = wire::TapKind::Out;
  Marker marker = Marker::None;
  bool fresh = true;
  bool valid = false;
  bool success = false;
  std::uint16_t intervalMs = 0;
  std::uint32_t retry = 0;
  std::uint32_t length = 0;
  std::int64_t chunk = -1;
  std::uint8_t bytes[kShownBytes] = {};
  char text[96] = {};
};

std::uint16_t Word(const std::uint8_t* bytes) {
  return static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
}

std::string FrameName(const Record& r) {
  if (r.length < 2) return "Block";
  const std::uint16_t type = Word(r.bytes);
  if (r.kind == wire::TapKind::Out) {
    if (r.chunk >= 0) return "Chunk";
    if (type == 0xDA00 && r.length == 12) return "IdentifyRequest";
    if (type == 0xDA06) return "ImageClose";
    if (type == 0xDA08) return "DataMapClose";
    return "Frame";
  }
  if (!r.valid) return "Rejected";
  switch (type) {
    case 0xDA01:
      return "IdentifyReply";
    case 0xDA04:
      return "ChunkRequest";
    case 0xDA05:
      return "PaceUpdate";
    case 0xDA07:
      return "FirmwareResult";
    case 0xDA09:
      return "DataMapResult";
    default:
      return Format("Other %04x", type);
  }
}

std::string Fields(const Record& r) {
  std::string fields;
  const auto add = [&fields](const std::string& field) {
    fields += (fields.empty() ? "" : ", ") + field;
  };
  const std::uint32_t shown = std::min<std::uint32_t>(r.length, kShownBytes);
  if (r.kind == wire::TapKind::Out) {
    if (r.chunk >= 0) add(Format("chunk %lld", static_cast<long long>(r.chunk)));
    if (r.chunk < 0 && r.length == 12 && Word(r.bytes) == 0xDA00)
      add(Format("sequence %u", r.bytes[3]));
    add(Format("interval %u ms", r.intervalMs));
    if (!r.fresh) add(Format("retransmission %u", r.retry));
    return fields;
  }
  if (!r.valid) {
    add("fails the receive check");
  } else if (shown >= 16) {
    switch (Word(r.bytes)) {
      case 0xDA04:
        add(Format("interval %u ms", Word(r.bytes + 4)));
        break;
      case 0xDA05:
        add(Format("interval %u ms", Word(r.bytes + 13)));
        break;
      case 0xDA07:
      case 0xDA09:
        add(Format("result %u (%s)", r.bytes[4], r.bytes[4] == 1 ? "success" : "failure"));
        break;
      default:
        break;
    }
  }
  if (r.length > kShownBytes) add(Format("first %zu bytes shown", kShownBytes));
  return fields;
}

// Appends the record's line to `out`; the bytes without printf, which would
// make the writer thread the busiest one on a fast link.
void AppendLine(const Record& r, std::string& out) {
  out += Format("%12lld  ", static_cast<long long>(r.us));
  if (r.marker == Marker::UnitBegins) {
    out += "==   unit begins\n";
    return;
  }
  if (r.marker == Marker::UnitEnds) {
    out += std::string("==   unit ends: ") + r.text + "\n";
    return;
  }
  switch (r.kind) {
    case wire::TapKind::Out:
    case wire::TapKind::In: {
      out += r.kind == wire::TapKind::Out ? "out  " : "in   ";
      out += Format("%-16s %3u  ", FrameName(r).c_str(), r.length);
      const std::size_t fieldsAt = out.size();
      out += Fields(r);
      if (out.size() - fieldsAt < 36) out.append(36 - (out.size() - fieldsAt), ' ');
      out += " |";
      static constexpr char kHex[] = "0123456789abcdef";
      for (std::uint32_t i = 0; i < std::min<std::uint32_t>(r.length, kShownBytes); ++i) {
        const char hex[3] = {' ', kHex[r.bytes[i] >> 4], kHex[r.bytes[i] & 15]};
        out.append(hex, 3);
      }
      out += '\n';
      return;
    }
    case wire::TapKind::ScanStep:
      out += std::string("--   scan step: ") + r.text;
      break;
    case wire::TapKind::Open:
      out += std::string("--   open ") + r.text;
      break;
    case wire::TapKind::OpenFailed:
      out += std::string("--   open failed: ") + r.text;
      break;
    case wire::TapKind::Close:
      out += "--   close";
      break;
    case wire::TapKind::RetryLimit:
      out += "--   retry limit: the link is dropped";
      break;
    case wire::TapKind::DeviceGone:
      out += "--   the port's device has gone";
      break;
    case wire::TapKind::LinkEnd:
      out += "--   link end";
      break;
  }
  out += '\n';
}

class Writer {
 public:
  bool Open(const std::string& path, bool failuresOnly) {
    file_ = platform::CreateOutputFile(path);
    if (file_ == nullptr) return false;
    failuresOnly_ = failuresOnly;
    start_ = Clock::now();
    queue_.reserve(kWakeAt * 2);
    Write(
        "# tavrin-cli trace: microseconds since the start; out = to the controller, in = from "
        "it, -- = the link, == = a unit\n");
    unitStart_ = written_;
    thread_ = std::thread([this] { Run(); });
    return true;
  }

  std::int64_t Now() const {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start_).count();
  }

  void Push(const Record& record) {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    if (queue_.size() >= kQueueLimit) {
      ++lost_;
      return;
    }
    queue_.push_back(record);
    if (queue_.size() == kWakeAt || record.marker != Marker::None) wake_.notify_one();
  }

  void Stop(bool success) {
    {
      std::lock_guard lock(mutex_);
      if (stopping_ || file_ == nullptr) return;
      stopping_ = true;
      success_ = success;
    }
    wake_.notify_one();
    thread_.join();
    std::fclose(file_);
    file_ = nullptr;
  }

  // Out frames, under TransmitLock: which chunk a fresh frame is, and a
  // retransmission the chunk of the fresh frame it repeats.
  std::int64_t lastChunk_ = -1;

 private:
  void Run() {
    std::vector<Record> batch;
    batch.reserve(kWakeAt * 2);
    for (;;) {
      std::size_t lost = 0;
      bool stopping = false;
      {
        std::unique_lock lock(mutex_);
        wake_.wait_for(lock, kFlushPeriod, [this] {
          return stopping_ || queue_.size() >= kWakeAt ||
                 (!queue_.empty() && queue_.back().marker != Marker::None);
        });
        batch.swap(queue_);
        std::swap(lost, lost_);
        stopping = stopping_;
      }
      for (const Record& r : batch) Take(r);
      Write(text_);
      text_.clear();
      batch.clear();
      if (lost > 0)
        Write(Format("%12lld  --   %zu events lost: the trace writer fell behind\n",
                     static_cast<long long>(Now()), lost));
      if (stopping) break;
      std::fflush(file_);
    }
    if (failuresOnly_ && success_) Cut();
    std::fflush(file_);
  }

  void Take(const Record& r) {
    AppendLine(r, text_);
    if (r.marker != Marker::UnitEnds) return;
    Write(text_);
    text_.clear();
    if (failuresOnly_ && r.success) Cut();
    unitStart_ = written_;
  }

  void Cut() {
    if (platform::TruncateOutputFile(file_, unitStart_)) written_ = unitStart_;
  }

  void Write(const std::string& text) {
    written_ += static_cast<std::int64_t>(std::fwrite(text.data(), 1, text.size(), file_));
  }

  std::FILE* file_ = nullptr;
  bool failuresOnly_ = false;
  Clock::time_point start_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<Record> queue_;
  std::size_t lost_ = 0;
  bool stopping_ = false;
  bool success_ = false;
  // The writer thread's own.
  std::int64_t written_ = 0;
  std::int64_t unitStart_ = 0;
  std::string text_;  // lines not yet written
};

// Never destroyed: a reader thread may still be in the tap while the
// program exits.
Writer* g_writer = nullptr;

void CopyText(Record& r, const char* text) {
  if (text != nullptr) std::snprintf(r.text, sizeof r.text, "%s", text);
}

void OnTap(const wire::TapEvent& event) {
  Record r;
  r.us = g_writer->Now();
  r.kind = event.kind;
  r.length = event.length;
  if (event.bytes != nullptr)
    std::memcpy(r.bytes, event.bytes, std::min<std::size_t>(event.length, kShownBytes));
  r.fresh = event.fresh;
  r.retry = event.retry;
  r.intervalMs = event.intervalMs;
  r.valid = event.valid;
  CopyText(r, event.text);
  if (event.kind == wire::TapKind::Out) {
    // Called under TransmitLock, which guards the image store too.
    if (event.fresh) {
      const ImageStoreT& store = ImageStore();
      const bool chunk =
          event.length == kFrameSize && store.Cursor < store.FrameCount &&
          std::memcmp(event.bytes,
                      store.Frames + static_cast<std::size_t>(store.Cursor) * kFrameSize,
                      kFrameSize) == 0;
      g_writer->lastChunk_ = chunk ? static_cast<std::int64_t>(store.Cursor) : -1;
    }
    r.chunk = g_writer->lastChunk_;
  }
  g_writer->Push(r);
}

}  // namespace

bool Trace::Start(const std::string& path, bool failuresOnly, std::string* error) {
  auto* writer = new Writer();
  if (!writer->Open(path, failuresOnly)) {
    delete writer;
    if (error) *error = path + ": the trace file cannot be made";
    return false;
  }
  g_writer = writer;
  wire::SetTap(&OnTap);
  return true;
}

void Trace::UnitBegins() {
  if (g_writer == nullptr) return;
  Record r;
  r.us = g_writer->Now();
  r.marker = Marker::UnitBegins;
  g_writer->Push(r);
}

void Trace::UnitEnds(const std::string& result, bool success) {
  if (g_writer == nullptr) return;
  Record r;
  r.us = g_writer->Now();
  r.marker = Marker::UnitEnds;
  r.success = success;
  CopyText(r, result.c_str());
  g_writer->Push(r);
}

void Trace::Stop(bool success) {
  if (g_writer == nullptr) return;
  wire::SetTap(nullptr);
  g_writer->Stop(success);
}

}  // namespace cli
