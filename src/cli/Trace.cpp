#include "cli/Trace.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
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
#include "platform/ThreadPriority.h"
#include "protocol/Messager.h"
#include "serial/WireTap.h"
#include "transfer/ImageStore.h"

namespace cli {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kShownBytes = 64;  // a frame; longer blocks show their first 64
// Frames and link events; the unit markers are not counted against it.
std::size_t g_queueLimit = std::size_t{1} << 16;
constexpr std::size_t kWakeAt = 1024;
constexpr auto kFlushPeriod = std::chrono::milliseconds(20);
constexpr const char* kNeedsOwnFile =
    "--trace-failures-only needs a file of its own, one it can cut back";

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
  std::size_t lostBefore = 0;  // a marker: events of the unit before it that were dropped
  std::uint8_t bytes[kShownBytes] = {};
  char text[96] = {};
};

std::uint16_t Word(const std::uint8_t* bytes) {
  return static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
}

// The lines are made without printf and without a string per field: on a
// fast link the writer thread formats two lines per chunk.
void Number(std::string& out, std::uint64_t value, std::size_t width = 0) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  const auto length = static_cast<std::size_t>(end - digits);
  if (length < width) out.append(width - length, ' ');
  out.append(digits, length);
}

const char* FrameName(const Record& r) {
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
      return "Other";
  }
}

class FieldList {
 public:
  explicit FieldList(std::string& out) : out_(out) {}
  // "name value suffix", after a comma when not the first.
  void Add(const char* name, std::uint64_t value, const char* suffix = "") {
    Start();
    out_ += name;
    Number(out_, value);
    out_ += suffix;
  }
  void Add(const char* text) {
    Start();
    out_ += text;
  }

 private:
  void Start() {
    if (!first_) out_ += ", ";
    first_ = false;
  }
  std::string& out_;
  bool first_ = true;
};

void AppendFields(const Record& r, std::string& out) {
  FieldList fields(out);
  const std::uint32_t shown = std::min<std::uint32_t>(r.length, kShownBytes);
  if (r.kind == wire::TapKind::Out) {
    if (r.chunk >= 0) fields.Add("chunk ", static_cast<std::uint64_t>(r.chunk));
    if (r.chunk < 0 && r.length == 12 && Word(r.bytes) == 0xDA00)
      fields.Add("sequence ", r.bytes[3]);
    fields.Add("interval ", r.intervalMs, " ms");
    if (!r.fresh) fields.Add("retransmission ", r.retry);
    return;
  }
  if (!r.valid) {
    fields.Add("fails the receive check");
  } else if (shown >= 16) {
    switch (Word(r.bytes)) {
      case 0xDA04:
        fields.Add("interval ", Word(r.bytes + 4), " ms");
        break;
      case 0xDA05:
        fields.Add("interval ", Word(r.bytes + 13), " ms");
        break;
      case 0xDA07:
      case 0xDA09:
        fields.Add("result ", r.bytes[4], r.bytes[4] == 1 ? " (success)" : " (failure)");
        break;
      default:
        break;
    }
  }
  if (r.length > kShownBytes) fields.Add("first ", kShownBytes, " bytes shown");
}

// Appends the record's line to `out`.
void AppendLine(const Record& r, std::string& out) {
  Number(out, static_cast<std::uint64_t>(std::max<std::int64_t>(r.us, 0)), 12);
  out += "  ";
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
      const std::size_t nameAt = out.size();
      out += FrameName(r);
      if (r.kind == wire::TapKind::In && r.valid && r.length >= 2 &&
          out.compare(nameAt, 5, "Other") == 0)
        out += Format(" %04x", Word(r.bytes));
      if (out.size() - nameAt < 17) out.append(17 - (out.size() - nameAt), ' ');
      Number(out, r.length, 3);
      out += "  ";
      const std::size_t fieldsAt = out.size();
      AppendFields(r, out);
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
  bool Open(const std::string& path, bool failuresOnly, std::string* error) {
    bool shared = false;
    std::string why;
    file_ = platform::OpenOutputFile(path, &shared, &why);
    if (file_ == nullptr) {
      *error = path + ": the trace file cannot be made (" + why + ")";
      return false;
    }
    // Units that succeed are cut off again: only a file of its own can be.
    if (failuresOnly && (shared || !platform::IsFileOfItsOwn(file_))) {
      std::fclose(file_);
      file_ = nullptr;
      *error = path + ": " + kNeedsOwnFile;
      return false;
    }
    // Emptied only now, when nothing can refuse the run any more.
    if (!shared && !platform::TruncateOutputFile(file_, 0)) {
      *error = path + ": the trace file cannot be made (" + std::strerror(errno) + ")";
      std::fclose(file_);
      file_ = nullptr;
      return false;
    }
    path_ = path;
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
    if (record.marker != Marker::None) {
      // Never dropped, and it takes along the count of what was, so that the
      // line saying so stays in the part of the unit it belongs to.
      queue_.push_back(record);
      queue_.back().lostBefore = lost_;
      lost_ = 0;
      wake_.notify_one();
      return;
    }
    if (frames_ >= g_queueLimit) {
      ++lost_;
      return;
    }
    ++frames_;
    queue_.push_back(record);
    if (queue_.size() == kWakeAt) wake_.notify_one();
  }

  // False, with the reason, when the file did not take all of the trace.
  bool Stop(bool success, std::string* error) {
    {
      std::lock_guard lock(mutex_);
      if (stopping_ || file_ == nullptr) return true;
      stopping_ = true;
      success_ = success;
    }
    wake_.notify_one();
    thread_.join();
    if (std::fclose(file_) != 0 && failure_.empty()) failure_ = std::strerror(errno);
    file_ = nullptr;
    if (failure_.empty()) return true;
    *error = path_ + ": the trace is incomplete: " + failure_;
    return false;
  }

  // Out frames, under TransmitLock: which chunk a fresh frame is, and a
  // retransmission the chunk of the fresh frame it repeats.
  std::int64_t lastChunk_ = -1;

 private:
  void Run() {
    // The link's threads come first; on a real line this thread has nearly
    // all the time there is, and on a saturated machine the queue holds out.
    platform::LowerThisThreadPriority();
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
        frames_ = 0;
        std::swap(lost, lost_);
        stopping = stopping_;
      }
      for (const Record& r : batch) Take(r);
      Write(text_);
      text_.clear();
      batch.clear();
      // Dropped after every record of the batch, the last marker included.
      if (lost > 0) Write(LostLine(Now(), lost));
      if (stopping) break;
      Flush();
    }
    if (failuresOnly_ && success_) Cut();
    Flush();
  }

  static std::string LostLine(std::int64_t us, std::size_t lost) {
    return Format("%12lld  --   %zu events lost: the trace writer fell behind\n",
                  static_cast<long long>(us), lost);
  }

  void Take(const Record& r) {
    if (r.lostBefore > 0) text_ += LostLine(r.us, r.lostBefore);
    AppendLine(r, text_);
    if (r.marker != Marker::UnitEnds) return;
    Write(text_);
    text_.clear();
    if (failuresOnly_ && r.success) Cut();
    unitStart_ = written_;
  }

  void Cut() {
    if (!failure_.empty()) return;
    if (platform::TruncateOutputFile(file_, unitStart_))
      written_ = unitStart_;
    else
      Fail("it cannot be cut back");
  }

  // After the first failure nothing more is written: the file's length no
  // longer says where a unit began.
  void Write(const std::string& text) {
    if (!failure_.empty() || text.empty()) return;
    const std::size_t done = std::fwrite(text.data(), 1, text.size(), file_);
    written_ += static_cast<std::int64_t>(done);
    if (done != text.size()) Fail(std::strerror(errno));
  }

  void Flush() {
    if (failure_.empty() && std::fflush(file_) != 0) Fail(std::strerror(errno));
  }

  void Fail(const std::string& why) {
    if (failure_.empty()) failure_ = why;
  }

  std::FILE* file_ = nullptr;
  std::string path_;
  bool failuresOnly_ = false;
  Clock::time_point start_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<Record> queue_;
  std::size_t frames_ = 0;  // in the queue, markers not counted
  std::size_t lost_ = 0;    // dropped since the last marker
  bool stopping_ = false;
  bool success_ = false;
  // The writer thread's own.
  std::int64_t written_ = 0;
  std::int64_t unitStart_ = 0;
  std::string text_;     // lines not yet written
  std::string failure_;  // why the file did not take the trace; empty: it did
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

bool Trace::Check(const std::string& path, std::string* error) {
  if (std::string why = platform::CheckOutputPath(path); !why.empty()) {
    *error = path + ": " + why + ": --trace writes only to a regular file";
    return false;
  }
  return true;
}

void Trace::LimitQueueForTests(std::size_t frames) { g_queueLimit = frames; }

bool Trace::Start(const std::string& path, bool failuresOnly, std::string* error) {
  auto* writer = new Writer();
  std::string why;
  if (!writer->Open(path, failuresOnly, &why)) {
    delete writer;
    if (error) *error = why;
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

bool Trace::Stop(bool success, std::string* error) {
  if (g_writer == nullptr) return true;
  wire::SetTap(nullptr);
  std::string why;
  if (g_writer->Stop(success, &why)) return true;
  if (error) *error = why;
  return false;
}

}  // namespace cli
