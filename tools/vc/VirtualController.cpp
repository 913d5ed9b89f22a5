#include "vc/VirtualController.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>

#include "common/ByteOrder.h"
#include "common/Frames.h"
#include "image/ImageFile.h"
#include "platform/DeviceNames.h"

namespace tavrin::vc {

namespace {

using Clock = std::chrono::steady_clock;
// Ten bits (start, eight data, stop) at 115200 baud.
constexpr auto kByteTime = std::chrono::nanoseconds(86806);
constexpr std::size_t kIdentifyRequestSize = 12;
constexpr std::size_t kHostFrameSize = 64;
constexpr unsigned kFirstAutoPort = 20;
constexpr unsigned kLastPort = 255;

using namespace tavrin::bytes;
using framing::FrameSealed;

void Seal(std::vector<std::uint8_t>& frame) { framing::SealFrame(frame.data(), frame.size()); }

bool IsIdentifyRequest(const std::uint8_t* p) {
  return p[0] == 0xDA && p[1] == 0x00 && FrameSealed(p, kIdentifyRequestSize);
}
bool IsClosingFrame(const std::vector<std::uint8_t>& f) {
  return f.size() == kHostFrameSize && f[0] == 0xDA && (f[1] == 0x06 || f[1] == 0x08) &&
         FrameSealed(f.data(), f.size());
}

std::string HexBytes(const std::vector<std::uint8_t>& bytes) {
  std::string out;
  out.reserve(bytes.size() * 3);
  char text[4];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(text, sizeof text, i == 0 ? "%02x" : " %02x", bytes[i]);
    out += text;
  }
  return out;
}

bool ParseNumber(const std::string& text, std::uint32_t& value) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  value = static_cast<std::uint32_t>(std::stoul(text));
  return true;
}

std::string Trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return {};
  const auto e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

// ---- Links of earlier controllers --------------------------------------------

// Beside each link it makes, a controller keeps a record ".COM<n>.vc" of its
// pid and its terminal, so that a later one can tell its own stale links (left
// by a controller killed outright) from anyone else's: a terminal number is
// soon given to a new terminal, whose shell a stale link would then reach.
std::string RecordPath(const std::string& dir, const std::string& name) {
  return dir + "/." + name + ".vc";
}

void WriteRecord(const std::string& dir, const std::string& name, const std::string& slavePath) {
  std::ofstream(RecordPath(dir, name)) << getpid() << ' ' << slavePath << '\n';
}

// Whether process `pid` holds the master of the pseudo-terminal `slavePath`.
bool HoldsMaster(pid_t pid, const std::string& slavePath) {
  const std::string prefix = "/dev/pts/";
  if (slavePath.rfind(prefix, 0) != 0) return false;
  const std::string index = slavePath.substr(prefix.size());
  const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
  DIR* dir = opendir(fdDir.c_str());
  if (dir == nullptr) return false;
  bool holds = false;
  while (const dirent* entry = readdir(dir)) {
    if (holds) break;
    char target[64];
    const ssize_t n = readlink((fdDir + "/" + entry->d_name).c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    const std::string link(target, static_cast<std::size_t>(n));
    if (link != "/dev/ptmx" && link != "/dev/pts/ptmx") continue;
    std::ifstream info("/proc/" + std::to_string(pid) + "/fdinfo/" + entry->d_name);
    std::string key, value;
    while (info >> key >> value) {
      if (key == "tty-index:" && value == index) holds = true;
    }
  }
  closedir(dir);
  return holds;
}

// Removes the links of earlier controllers that are gone, with their records;
// a link that has since been pointed elsewhere is left alone.
void ReclaimStaleLinks(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return;
  std::vector<std::string> names;
  while (const dirent* entry = readdir(d)) {
    const std::string file = entry->d_name;
    if (file.size() > 4 && file[0] == '.' && file.compare(file.size() - 3, 3, ".vc") == 0)
      names.push_back(file.substr(1, file.size() - 4));
  }
  closedir(d);
  for (const auto& name : names) {
    std::ifstream in(RecordPath(dir, name));
    long pid = 0;
    std::string slavePath;
    in >> pid >> slavePath;
    if (pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM) &&
        HoldsMaster(static_cast<pid_t>(pid), slavePath))
      continue;  // alive
    const std::string link = dir + "/" + name;
    char target[4096];
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == slavePath) unlink(link.c_str());
    unlink(RecordPath(dir, name).c_str());
  }
}

}  // namespace

// ---- FrameSet ---------------------------------------------------------------

FrameSet FrameSet::All() {
  FrameSet s;
  s.all_ = true;
  return s;
}

FrameSet FrameSet::Of(std::initializer_list<std::uint32_t> numbers) {
  FrameSet s;
  for (auto n : numbers) s.ranges_.emplace_back(n, n);
  return s;
}

std::optional<FrameSet> FrameSet::Parse(const std::string& text, std::string* error) {
  auto fail = [&](const std::string& why) -> std::optional<FrameSet> {
    if (error != nullptr) *error = why;
    return std::nullopt;
  };
  const std::string whole = Trim(text);
  if (whole == "all") return All();
  if (whole.empty()) return fail("an empty frame list");
  FrameSet s;
  std::size_t start = 0;
  while (start <= whole.size()) {
    const std::size_t comma = whole.find(',', start);
    const std::string item =
        Trim(whole.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    const std::size_t dash = item.find('-');
    std::uint32_t a = 0;
    std::uint32_t b = 0;
    const bool ok = dash == std::string::npos
                        ? ParseNumber(item, a) && ParseNumber(item, b)
                        : ParseNumber(Trim(item.substr(0, dash)), a) &&
                              ParseNumber(Trim(item.substr(dash + 1)), b);
    if (!ok || a == 0 || b < a) {
      return fail("\"" + item + "\" is not a frame number or range (frames count from 1)");
    }
    s.ranges_.emplace_back(a, b);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return s;
}

bool FrameSet::Contains(std::uint32_t number) const {
  if (all_) return true;
  for (const auto& [a, b] : ranges_) {
    if (number >= a && number <= b) return true;
  }
  return false;
}

namespace {

// COM1-COM255 in any case, else 0.
unsigned PortNumber(const std::string& name) {
  std::string upper = name;
  for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::uint32_t n = 0;
  if (upper.rfind("COM", 0) != 0 || !ParseNumber(upper.substr(3), n) || n < 1 || n > kLastPort) {
    return 0;
  }
  return n;
}

}  // namespace

std::string ValidateOptions(const Options& o) {
  if (o.identity.deviceCode > 0x7FFF) return "the device code must be 0-32767";
  if (o.replySize < 16 || o.replySize > 64 || o.replySize % 4 != 0) {
    return "the reply size must be 16 to 64 and a multiple of 4";
  }
  if (!o.port.empty() && PortNumber(o.port) == 0) {
    return "the port must be COM1 to COM" + std::to_string(kLastPort);
  }
  if (!o.resetPort.empty() && PortNumber(o.resetPort) == 0) {
    return "the port to come back under must be COM1 to COM" + std::to_string(kLastPort);
  }
  return {};
}

std::string FrameTypeName(const std::uint8_t* frame, std::size_t length) {
  if (length < 2) return "fragment";
  char text[8];
  std::snprintf(text, sizeof text, "%02X%02X", frame[0], frame[1]);
  std::string name = text;
  if (frame[0] != 0xDA) return name;
  switch (frame[1]) {
    case 0x00: return name + " IdentifyRequest";
    case 0x01: return name + " IdentifyReply";
    case 0x04: return name + " ChunkRequest";
    case 0x05: return name + " PaceUpdate";
    case 0x06: return name + " ImageClose";
    case 0x07: return name + " FirmwareResult";
    case 0x08: return name + " DataMapClose";
    case 0x09: return name + " DataMapResult";
    default: return name + " (unknown type)";
  }
}

// ---- The controller -----------------------------------------------------------

struct VirtualController::Impl {
  explicit Impl(Options o) : opt(std::move(o)), identity(opt.identity) {}

  Options opt;

  // Fixed while running.
  int master = -1;
  int slave = -1;  // kept open so the master never sees a hang-up between host sessions
  int inotifyFd = -1;
  int stopPipe[2] = {-1, -1};
  int wakeFd = -1;  // Reset() asks the worker through it
  std::string slavePath, linkPath, portName, linkDirectory;  // written under `mu`
  std::thread thread;
  Clock::time_point started;
  std::atomic<bool> stopping{false};

  // Shared with the getters.
  mutable std::mutex mu;
  bool running = false;
  Counters counters;
  Identity identity;
  std::vector<std::uint8_t> image;
  std::vector<std::uint8_t> lastImage;
  std::vector<WireFrame> wire;
  std::optional<ResetPlan> requested;  // by Reset(), for the worker

  mutable std::mutex waitMu;
  mutable std::condition_variable changed;
  std::uint64_t generation = 0;

  // The worker's own.
  struct Pending {
    std::vector<std::uint8_t> bytes;
    std::uint64_t epoch;  // ChunkRequests written before these bytes were read
    Clock::time_point readyAt;
  };
  std::vector<std::uint8_t> partial;
  Clock::time_point partialLast;
  std::deque<Pending> pending;
  // A chunk counts as new when a ChunkRequest written before it arrived has
  // not yet been used up: the host sends a fresh chunk only when asked (or to
  // start a transfer). Otherwise an identical chunk is a retransmission.
  std::uint64_t answerEpoch = 0;
  std::uint64_t consumedEpoch = 0;
  std::vector<std::uint8_t> lastChunk;
  Clock::time_point lastChunkAt;
  std::vector<std::uint8_t> lastClose;
  std::uint8_t lastCloseResult = 0;
  // The paced line (lineRate) as one timeline of absolute deadlines: each
  // direction is busy until its deadline, and each deadline follows from the
  // one before (a frame's answer starts crossing once the frame has arrived),
  // never from when this thread happened to wake, so its lateness does not
  // add up frame after frame.
  Clock::time_point rxLineFree, txLineFree;
  Clock::time_point answerBase;           // when the frame being answered arrived
  Clock::duration writeLateness{};        // how late the last frame went out
  // Two writes with nothing from the host in between are kept frameGapMs
  // apart, or the host's one read could take both and refuse the pair.
  Clock::time_point lastWrite;
  bool wroteOnce = false;
  bool heardSinceWrite = false;
  int slaveOpens = 0;  // the host's opens of the slave, from inotify
  // A reset under way: silent until `silentUntil`; `unplugPending` until the
  // host has read what was sent, then `away` (no terminal, no link).
  bool silent = false;
  bool unplugPending = false;
  bool away = false;
  Clock::time_point silentUntil, unplugBy;
  std::string homePort;  // the name the link had, to come back under
  std::optional<std::string> comebackPort;
  std::optional<Identity> comebackIdentity;
  std::mt19937 rng;

  // ---- helpers ----

  void Notify() {
    {
      std::lock_guard<std::mutex> lock(waitMu);
      ++generation;
    }
    changed.notify_all();
  }

  double Ms(Clock::time_point t) const {
    return std::chrono::duration<double, std::milli>(t - started).count();
  }

  void Record(bool out, const std::vector<std::uint8_t>& bytes, std::uint64_t number,
              std::string what) {
    if (!opt.log && !opt.recordWire) {
      Notify();
      return;
    }
    WireFrame w;
    w.ms = Ms(Clock::now());
    w.out = out;
    w.bytes = bytes;
    w.number = number;
    w.what = std::move(what);
    if (opt.log) {
      char head[64];
      std::snprintf(head, sizeof head, "%10.3f ms  %-3s #%-5llu ", w.ms, out ? "out" : "in",
                    static_cast<unsigned long long>(number));
      Emit(std::string(head) + w.what + "\n    " + HexBytes(bytes));
    }
    if (opt.recordWire) {
      std::lock_guard<std::mutex> lock(mu);
      wire.push_back(std::move(w));
    }
    Notify();
  }

  void Note(const std::string& text) {
    if (!opt.log) return;
    char head[32];
    std::snprintf(head, sizeof head, "%10.3f ms  ", Ms(Clock::now()));
    Emit(head + text);
  }

  void Emit(const std::string& line) {
    if (opt.logSink) {
      opt.logSink(line);
    } else {
      std::cout << line << std::endl;
    }
  }

  // Sleeps, but wakes at once for Stop(); false when stopping.
  bool SleepUntil(Clock::time_point until) {
    for (;;) {
      if (stopping) return false;
      const auto now = Clock::now();
      if (now >= until) return true;
      const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(until - now);
      timespec ts{static_cast<time_t>(left.count() / 1000000000),
                  static_cast<long>(left.count() % 1000000000)};
      pollfd p{stopPipe[0], POLLIN, 0};
      if (ppoll(&p, 1, &ts, nullptr) > 0) return false;
    }
  }
  bool SleepFor(std::chrono::milliseconds d) { return SleepUntil(Clock::now() + d); }

  // Waits until the host has sent something since our last write (so it has
  // read that write) or until `until`, reading the port meanwhile so that the
  // host's bytes are seen when they come. False when stopping.
  bool WaitForGap(Clock::time_point until) {
    for (;;) {
      if (stopping) return false;
      if (heardSinceWrite) return true;
      const auto now = Clock::now();
      if (now >= until) return true;
      const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(until - now);
      timespec ts{static_cast<time_t>(left.count() / 1000000000),
                  static_cast<long>(left.count() % 1000000000)};
      pollfd p[2] = {{stopPipe[0], POLLIN, 0}, {master, POLLIN, 0}};
      if (ppoll(p, 2, &ts, nullptr) > 0) {
        if (p[0].revents != 0) return false;
        if ((p[1].revents & POLLIN) != 0) ReadAvailable();
      }
    }
  }

  // ---- reading ----

  void ReadAvailable() {
    std::uint8_t buf[4096];
    for (;;) {
      const ssize_t n = read(master, buf, sizeof buf);
      if (n > 0 && silent) {
        // A restarting controller hears nothing.
        Note("lost " + std::to_string(n) + " bytes (resetting)");
        {
          std::lock_guard<std::mutex> lock(mu);
          counters.droppedBytes += static_cast<std::uint64_t>(n);
        }
        Notify();
        continue;
      }
      if (n > 0) {
        const auto now = Clock::now();
        Clock::time_point lineStart = now;
        if (opt.lineRate && wroteOnce && !heardSinceWrite) {
          // The host answers our last frame, which it got as late as we
          // wrote it: that lateness is ours, not the host's nor the line's.
          lineStart = std::max(txLineFree, now - writeLateness);
        }
        heardSinceWrite = true;
        Feed(buf, static_cast<std::size_t>(n), now, lineStart);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      return;  // EAGAIN, or EIO while no one holds the slave
    }
  }

  void DropPartial(const char* why) {
    if (partial.empty()) return;
    Note("dropped " + std::to_string(partial.size()) + " bytes (" + why + "): " +
         HexBytes(partial));
    {
      std::lock_guard<std::mutex> lock(mu);
      counters.droppedBytes += partial.size();
    }
    partial.clear();
    Notify();
  }

  // Host frames arrive one write each, but reads may split or join them: a
  // frame is 12 bytes when it is an IdentifyRequest (DA 00 with a sound CRC),
  // else 64. An IdentifyRequest also ends any fragment before it.
  // `lineStart`: when the bytes began to cross the line.
  void Feed(const std::uint8_t* bytes, std::size_t n, Clock::time_point now,
            Clock::time_point lineStart) {
    Clock::time_point readyAt = now;
    if (opt.lineRate) {
      rxLineFree = std::max(rxLineFree, lineStart) + kByteTime * static_cast<long>(n);
      readyAt = rxLineFree;
    }
    for (std::size_t i = 0; i < n; ++i) {
      partial.push_back(bytes[i]);
      partialLast = now;
      const std::size_t size = partial.size();
      if (size >= kIdentifyRequestSize &&
          IsIdentifyRequest(partial.data() + size - kIdentifyRequestSize)) {
        std::vector<std::uint8_t> frame(partial.end() - kIdentifyRequestSize, partial.end());
        partial.resize(size - kIdentifyRequestSize);
        DropPartial("a fragment before an IdentifyRequest");
        pending.push_back({std::move(frame), answerEpoch, readyAt});
      } else if (size == kHostFrameSize) {
        pending.push_back({std::move(partial), answerEpoch, readyAt});
        partial.clear();
      }
    }
  }

  void HandleInotify() {
    alignas(inotify_event) char buf[4096];
    for (;;) {
      const ssize_t n = read(inotifyFd, buf, sizeof buf);
      if (n <= 0) return;
      for (ssize_t off = 0; off < n;) {
        const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
        if ((ev->mask & IN_OPEN) != 0) ++slaveOpens;
        if ((ev->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) != 0) {
          if (--slaveOpens <= 0) {
            slaveOpens = 0;
            // As on a real line: once the host lets go, its exclusive claim
            // ends and answers it never read are lost. (The pty keeps the
            // exclusive flag while our own slave handle is open.)
            ioctl(slave, TIOCNXCL);
            tcflush(slave, TCIFLUSH);
            ReadAvailable();
            DropPartial("the host closed the port");
            {
              std::lock_guard<std::mutex> lock(mu);
              ++counters.hostCloses;
            }
            Notify();
          }
        }
        off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
      }
    }
  }

  // ---- writing ----

  bool WriteAll(const std::uint8_t* data, std::size_t n) {
    std::size_t done = 0;
    while (done < n) {
      const ssize_t w = write(master, data + done, n - done);
      if (w > 0) {
        done += static_cast<std::size_t>(w);
        continue;
      }
      if (w < 0 && errno == EINTR) continue;
      if (w < 0 && errno == EAGAIN) {
        // Nobody reads the port: give the bytes a moment, then count them lost.
        pollfd p{master, POLLOUT, 0};
        if (poll(&p, 1, 200) > 0 && (p.revents & POLLOUT) != 0) continue;
      }
      return false;
    }
    return true;
  }

  void Send(const std::vector<std::uint8_t>& frame, std::uint64_t number, std::string what,
            bool split) {
    // Whatever the host sent before this answer is read first, so it is
    // stamped as sent before the answer.
    if (inotifyFd >= 0) HandleInotify();
    ReadAvailable();
    const auto gap = std::chrono::milliseconds(opt.frameGapMs);
    const bool inARow = wroteOnce && !heardSinceWrite;
    if (wroteOnce && !WaitForGap(lastWrite + gap)) return;
    if (opt.lineRate) {
      Clock::time_point start = std::max(txLineFree, answerBase);
      if (inARow && !heardSinceWrite) start = std::max(start, txLineFree + gap);
      txLineFree = start + kByteTime * static_cast<long>(frame.size());
      if (!SleepUntil(txLineFree)) return;
    }
    bool ok;
    if (split) {
      const std::size_t half = frame.size() / 2;
      ok = WriteAll(frame.data(), half);
      if (ok && !SleepFor(std::chrono::milliseconds(opt.faults.splitGapMs))) return;
      ok = ok && WriteAll(frame.data() + half, frame.size() - half);
      what += " [split in two writes]";
    } else {
      ok = WriteAll(frame.data(), frame.size());
    }
    wroteOnce = true;
    heardSinceWrite = false;
    lastWrite = Clock::now();
    // A split frame reaches the host only with its second half: no amends.
    writeLateness = opt.lineRate && !split ? std::max(Clock::duration::zero(), lastWrite - txLineFree)
                                           : Clock::duration::zero();
    if (!ok) what += " [not written: nobody reads the port]";
    if (ok && inotifyFd >= 0 && slaveOpens == 0) {
      // Sent while the port is closed: lost on the line, not kept for
      // whoever opens the port next.
      tcflush(slave, TCIFLUSH);
      what += " [lost: the port is closed]";
    }
    {
      std::lock_guard<std::mutex> lock(mu);
      ++counters.framesOut;
    }
    Record(true, frame, number, std::move(what));
  }

  std::vector<std::uint8_t> ShortFrame(std::uint16_t type, std::size_t size,
                                       std::uint64_t number) const {
    std::vector<std::uint8_t> f(size, 0);
    PutBe16(f.data(), type);
    PutBe16(f.data() + 2, static_cast<std::uint16_t>(number));
    return f;
  }

  std::vector<std::uint8_t> ChunkRequest(std::uint64_t number) const {
    auto f = ShortFrame(0xDA04, opt.replySize, number);
    PutBe16(f.data() + 4, opt.intervalMs);
    Seal(f);
    return f;
  }

  void Answer(std::uint64_t number, std::vector<std::uint8_t> frame, bool chunkRequest) {
    const Faults& fx = opt.faults;
    const auto n = static_cast<std::uint32_t>(number);
    if (fx.silent) {
      Note("#" + std::to_string(number) + " not answered (silent)");
      return;
    }
    if (fx.delayMs > 0 && fx.delayFrames.Contains(n)) {
      if (!SleepFor(std::chrono::milliseconds(fx.delayMs))) return;
      answerBase = Clock::now();
    }
    if (fx.paceMs && fx.paceFrames.Contains(n)) {
      // 64 bytes: in a 16-byte frame bytes 13-14 would be the checksum.
      auto pace = ShortFrame(0xDA05, kHostFrameSize, number);
      PutBe16(pace.data() + 13, *fx.paceMs);
      Seal(pace);
      Send(pace, number, FrameTypeName(pace.data(), pace.size()) + " " + std::to_string(*fx.paceMs) + " ms", false);
    }
    if (fx.unknown.Contains(n)) {
      auto odd = ShortFrame(fx.unknownType, opt.replySize, number);
      Seal(odd);
      Send(odd, number, FrameTypeName(odd.data(), odd.size()), false);
      if (fx.unknownMode == UnknownMode::Instead) return;
    }
    std::string what = FrameTypeName(frame.data(), frame.size());
    if (chunkRequest) what += " " + std::to_string(opt.intervalMs) + " ms";
    const bool broken = fx.badCrc.Contains(n);
    const bool split = fx.split.Contains(n);
    std::vector<std::uint8_t> sent = frame;
    if (broken) {
      sent.back() ^= 0x5A;
      what += " [wrong checksum]";
    }
    Send(sent, number, what, split);
    // A split or broken answer fails the host's check, so asks for nothing.
    if (chunkRequest && !broken && !split) ++answerEpoch;
    if (chunkRequest && fx.doubleAnswer.Contains(n)) {
      Send(frame, number, what + " [again]", false);
      ++answerEpoch;
    }
  }

  // ---- frames in ----

  std::vector<std::uint8_t> IdentifyReply(const std::vector<std::uint8_t>& request) {
    Identity id;
    {
      std::lock_guard<std::mutex> lock(mu);
      id = identity;
    }
    std::uint8_t plain[64] = {};
    plain[0] = 0xDA;
    plain[1] = 0x01;
    plain[2] = request[2];
    plain[3] = request[3];
    for (int i = 4; i < 24; ++i) plain[i] = static_cast<std::uint8_t>(rng() & 0xFFu);
    PutBe16(plain + 24, static_cast<std::uint16_t>((id.deviceCode & 0x7FFFu) | (id.alert ? 0x8000u : 0u)));
    plain[26] = id.bootloaderVersion;
    PutBe16(plain + 27, id.firmwareVersion);
    PutBe16(plain + 29, id.dataVersion);
    plain[31] = id.programMemoryCheck;
    plain[32] = id.dataMemoryCheck;
    std::vector<std::uint8_t> reply(64);
    framing::SealSecretBlock(plain, reply.data());
    return reply;
  }

  void Handle(Pending p) {
    answerBase = p.readyAt;
    std::uint64_t number;
    {
      std::lock_guard<std::mutex> lock(mu);
      number = ++counters.framesIn;
    }
    const bool identify = p.bytes.size() == kIdentifyRequestSize;
    const bool closing = !identify && IsClosingFrame(p.bytes);
    if (opt.faults.ignore.Contains(static_cast<std::uint32_t>(number))) {
      {
        std::lock_guard<std::mutex> lock(mu);
        ++counters.ignored;
      }
      const std::string what =
          identify || closing ? FrameTypeName(p.bytes.data(), p.bytes.size()) : "chunk";
      Record(false, p.bytes, number, what + " [ignored]");
      return;
    }
    if (identify) {
      HandleIdentify(p, number);
    } else if (closing) {
      HandleClose(p, number);
    } else {
      HandleChunk(p, number);
    }
  }

  void HandleIdentify(const Pending& p, std::uint64_t number) {
    {
      std::lock_guard<std::mutex> lock(mu);
      ++counters.identifyRequests;
      image.clear();  // a new session: a transfer left unfinished is over
    }
    consumedEpoch = answerEpoch;
    lastChunk.clear();
    lastClose.clear();
    Record(false, p.bytes, number, FrameTypeName(p.bytes.data(), p.bytes.size()));
    Answer(number, IdentifyReply(p.bytes), false);
  }

  void HandleChunk(const Pending& p, std::uint64_t number) {
    std::string what;
    // A repeat made by the host's timer can cross the answer to the chunk it
    // repeats, and then looks asked for. It comes a whole retransmission
    // interval after that chunk, where a chunk asked for follows the answer.
    const bool repeat = !lastChunk.empty() && p.bytes == lastChunk;
    std::uint32_t intervalMs = opt.intervalMs;
    if (opt.faults.paceMs && *opt.faults.paceMs > 0)
      intervalMs = std::min<std::uint32_t>(intervalMs, *opt.faults.paceMs);
    const bool timedOut = repeat && intervalMs > 0 &&
                          p.readyAt - lastChunkAt >= std::chrono::milliseconds(intervalMs) * 9 / 10;
    if (p.epoch > consumedEpoch && !timedOut) {
      ++consumedEpoch;
      std::lock_guard<std::mutex> lock(mu);
      what = "chunk " + std::to_string(image.size() / kHostFrameSize);
      image.insert(image.end(), p.bytes.begin(), p.bytes.end());
      ++counters.chunks;
    } else if (!lastChunk.empty() && p.bytes == lastChunk) {
      std::lock_guard<std::mutex> lock(mu);
      what = "chunk " + std::to_string(image.size() / kHostFrameSize - 1) + " again (retransmission)";
      ++counters.retransmissions;
    } else {
      // Not asked for and not a repeat: the host starts a transfer.
      std::lock_guard<std::mutex> lock(mu);
      what = image.empty() ? "chunk 0 (transfer starts)"
                           : "chunk 0 (a new transfer replaces " +
                                 std::to_string(image.size() / kHostFrameSize) + " chunks)";
      image.assign(p.bytes.begin(), p.bytes.end());
      ++counters.chunks;
      ++counters.transfersStarted;
      consumedEpoch = std::max(consumedEpoch, p.epoch);
    }
    lastChunk = p.bytes;
    lastChunkAt = p.readyAt;
    Record(false, p.bytes, number, what);
    Answer(number, ChunkRequest(number), true);
  }

  void HandleClose(const Pending& p, std::uint64_t number) {
    const bool firmware = p.bytes[1] == 0x06;
    const std::uint16_t resultType = firmware ? 0xDA07 : 0xDA09;
    std::string what = FrameTypeName(p.bytes.data(), p.bytes.size());
    if (!lastClose.empty() && p.bytes == lastClose) {
      {
        std::lock_guard<std::mutex> lock(mu);
        ++counters.retransmissions;
      }
      Record(false, p.bytes, number, what + " again (retransmission)");
      auto result = ShortFrame(resultType, opt.replySize, number);
      result[4] = lastCloseResult;
      Seal(result);
      Answer(number, result, false);
      return;
    }

    const std::uint32_t claimed = framing::ClosingImageCrc(p.bytes.data());
    const image::Kind kind = firmware ? image::Kind::Firmware : image::Kind::DataMap;

    std::uint8_t resultByte;
    {
      std::lock_guard<std::mutex> lock(mu);
      const std::uint32_t computed = image::PayloadCrc(image.data(), image.size(), kind);
      const bool match = claimed == computed;
      resultByte = opt.faults.closeResult.value_or(match ? 1 : 0);
      if (match && resultByte == 1) Adopt(kind);
      char text[96];
      std::snprintf(text, sizeof text, " (%zu chunks, ImageCrc 0x%08X, received 0x%08X: %s)",
                    image.size() / kHostFrameSize, static_cast<unsigned>(claimed),
                    static_cast<unsigned>(computed), match ? "match" : "MISMATCH");
      what += text;
      ++counters.closes;
      if (resultByte == 1) {
        ++counters.imagesOk;
      } else {
        ++counters.imagesFailed;
      }
      counters.lastResult = resultByte;
      counters.lastImageCrcClaimed = claimed;
      counters.lastImageCrcComputed = computed;
      lastImage = std::move(image);
      lastImage.shrink_to_fit();  // what growing it left over
      image.clear();
    }
    lastClose = p.bytes;
    lastCloseResult = resultByte;
    lastChunk.clear();
    consumedEpoch = answerEpoch;
    Record(false, p.bytes, number, what);
    auto result = ShortFrame(resultType, opt.replySize, number);
    result[4] = resultByte;
    Seal(result);
    Answer(number, result, false);
    if (resultByte == 1 && opt.resetAfterUpdate) {
      ResetPlan plan;
      plan.silentFor = *opt.resetAfterUpdate;
      plan.unplug = opt.resetUnplug;
      if (!opt.resetPort.empty()) plan.port = opt.resetPort;
      BeginReset(plan);
    }
  }

  // ---- resets ----

  void BeginReset(const ResetPlan& plan) {
    const auto now = Clock::now();
    silent = true;
    silentUntil = now + plan.silentFor;
    if (plan.port) comebackPort = plan.port;
    if (plan.identity) comebackIdentity = plan.identity;
    if ((plan.unplug || plan.port) && !away && !unplugPending) {
      unplugPending = true;
      unplugBy = now + std::chrono::seconds(1);
    }
    // Whatever the controller was doing is forgotten.
    pending.clear();
    partial.clear();
    lastChunk.clear();
    lastClose.clear();
    consumedEpoch = answerEpoch;
    {
      std::lock_guard<std::mutex> lock(mu);
      image.clear();
      ++counters.resetsBegun;
    }
    Note("reset: silent for " + std::to_string(plan.silentFor.count()) + " ms" +
         (unplugPending ? ", leaving the port list" : ""));
    Notify();
  }

  // What was sent is read by the host before the port goes, as a real
  // controller's last answer reaches the host before it restarts. The
  // terminal passes written bytes on to the host's side a little later, so an
  // empty queue counts only some time after the last write.
  bool HostHasRead() {
    if (slaveOpens == 0) return true;
    if (wroteOnce && Clock::now() < lastWrite + std::chrono::milliseconds(100)) return false;
    int queued = 0;
    return ioctl(slave, FIONREAD, &queued) != 0 || queued == 0;
  }

  void Unplug() {
    unplugPending = false;
    away = true;
    RemoveLink();
    for (int* fd : {&master, &slave, &inotifyFd}) {
      if (*fd >= 0) close(*fd);
      *fd = -1;
    }
    slaveOpens = 0;
    Note("reset: the port has left the list");
    Notify();
  }

  // False when the controller cannot come back (no terminal).
  bool ComeBack() {
    if (unplugPending) Unplug();
    const bool returning = away;
    if (away) {
      std::string error;
      if (!OpenTerminal(&error)) {
        Note("reset: cannot come back: " + error);
        return false;
      }
      const std::string port = comebackPort.value_or(homePort);
      if (opt.link && !CreateLink(&error, port)) Note("reset: no link: " + error);
      away = false;
    }
    silent = false;
    comebackPort.reset();
    {
      std::lock_guard<std::mutex> lock(mu);
      if (comebackIdentity) identity = *comebackIdentity;
      counters.resetsEnded = counters.resetsBegun;
    }
    comebackIdentity.reset();
    rxLineFree = txLineFree = answerBase = Clock::now();
    writeLateness = {};
    wroteOnce = false;
    heardSinceWrite = false;
    const std::string port = PortNameLocked();
    Note("reset: answering again" +
         (returning ? " on " + slavePath + (port.empty() ? "" : " as " + port) : std::string()));
    Notify();
    return true;
  }

  std::string PortNameLocked() {
    std::lock_guard<std::mutex> lock(mu);
    return portName;
  }

  // A sound image changes what the next IdentifyReply says. Holds `mu`.
  void Adopt(image::Kind kind) {
    if (kind == image::Kind::Firmware) {
      if (const auto h = image::ReadFirmwareHeader(image.data(), image.size())) {
        identity.firmwareVersion = h->version;
        identity.programMemoryCheck = 1;
      }
    } else if (const auto h = image::ReadDataMapHeader(image.data(), image.size())) {
      identity.dataVersion = h->dataVersion;
      identity.dataMemoryCheck = 1;
    }
  }

  // ---- the worker ----

  void Run() {
    // Pacing a line waits a few milliseconds per frame; the default 50 µs of
    // timer slack on each wait would be counted against the programmer.
    (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    while (!stopping) {
      long long timeout = -1;  // ns
      const auto now = Clock::now();
      auto consider = [&](Clock::time_point t) {
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t - now).count();
        const long long m = std::clamp<long long>(ns, 0, 60000000000LL);
        timeout = timeout < 0 ? m : std::min(timeout, m);
      };
      if (!partial.empty()) consider(partialLast + std::chrono::milliseconds(opt.partialTimeoutMs));
      if (!pending.empty()) consider(pending.front().readyAt);
      if (silent) consider(silentUntil);
      if (unplugPending) consider(std::min(unplugBy, now + std::chrono::milliseconds(2)));

      // A negative descriptor (none while the port is away) is skipped.
      pollfd fds[4] = {{stopPipe[0], POLLIN, 0}, {master, POLLIN, 0}, {inotifyFd, POLLIN, 0},
                       {wakeFd, POLLIN, 0}};
      timespec ts{static_cast<time_t>(timeout / 1000000000), static_cast<long>(timeout % 1000000000)};
      const int r = ppoll(fds, 4, timeout < 0 ? nullptr : &ts, nullptr);
      if (r < 0 && errno != EINTR) break;
      if (r > 0) {
        if (fds[0].revents != 0) break;
        if ((fds[3].revents & POLLIN) != 0) {
          std::uint64_t count = 0;
          [[maybe_unused]] const ssize_t got = read(wakeFd, &count, sizeof count);
          std::optional<ResetPlan> plan;
          {
            std::lock_guard<std::mutex> lock(mu);
            plan.swap(requested);
          }
          if (plan) BeginReset(*plan);
        }
        if ((fds[2].revents & POLLIN) != 0) HandleInotify();
        if ((fds[1].revents & POLLIN) != 0) {
          ReadAvailable();
        } else if ((fds[1].revents & (POLLHUP | POLLERR)) != 0) {
          if (!SleepFor(std::chrono::milliseconds(10))) break;
        }
      }
      if (unplugPending && (HostHasRead() || Clock::now() >= unplugBy)) Unplug();
      if (silent && Clock::now() >= silentUntil && !ComeBack()) break;
      if (!partial.empty() &&
          Clock::now() - partialLast >= std::chrono::milliseconds(opt.partialTimeoutMs)) {
        DropPartial("no more bytes came");
      }
      while (!stopping && !pending.empty() && pending.front().readyAt <= Clock::now()) {
        Pending p = std::move(pending.front());
        pending.pop_front();
        Handle(std::move(p));
      }
    }
  }

  // ---- start and stop ----

  bool Fail(std::string* error, const std::string& why) {
    if (error != nullptr) *error = why;
    CloseAll();
    return false;
  }

  bool CreateLink(std::string* error, const std::string& port) {
    std::string dirError;
    const std::string dir =
        opt.linkDirectory.empty() ? platform::DosDevicesDirectory(&dirError) : opt.linkDirectory;
    if (dir.empty()) {
      if (error != nullptr) {
        *error = "no DOS-device directory" + (dirError.empty() ? "" : ": " + dirError);
      }
      return false;
    }
    ReclaimStaleLinks(dir);
    unsigned first = kFirstAutoPort;
    unsigned last = kLastPort;
    if (!port.empty()) first = last = PortNumber(port);
    for (unsigned n = first; n <= last; ++n) {
      const std::string name = "COM" + std::to_string(n);
      const std::string path = dir + "/" + name;
      for (int attempt = 0; attempt < 2; ++attempt) {
        if (symlink(slavePath.c_str(), path.c_str()) == 0) {
          WriteRecord(dir, name, slavePath);
          std::lock_guard<std::mutex> lock(mu);
          linkDirectory = dir;
          linkPath = path;
          portName = name;
          homePort = name;
          return true;
        }
        if (errno != EEXIST) {
          if (error != nullptr) *error = "cannot create " + path + ": " + std::strerror(errno);
          return false;
        }
        // A link left by a controller that did not end cleanly points nowhere:
        // it is taken over. A live one is someone else's port.
        struct stat st {};
        struct stat lst {};
        if (attempt == 0 && lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode) &&
            stat(path.c_str(), &st) != 0 && errno == ENOENT) {
          unlink(path.c_str());
          continue;
        }
        break;
      }
      if (!port.empty()) {
        if (error != nullptr) *error = name + " is taken (" + path + " exists)";
        return false;
      }
    }
    if (error != nullptr) {
      *error = "no free port name from COM" + std::to_string(kFirstAutoPort) + " to COM" +
               std::to_string(kLastPort) + " in " + dir;
    }
    return false;
  }

  void RemoveLink() {
    std::string path, name, dir;
    {
      std::lock_guard<std::mutex> lock(mu);
      path.swap(linkPath);
      name.swap(portName);
      dir.swap(linkDirectory);
    }
    if (path.empty()) return;
    unlink(RecordPath(dir, name).c_str());
    // Only our own link: a stale one may have been taken over meanwhile.
    char target[4096];
    const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == slavePath) {
      unlink(path.c_str());
    }
  }

  void CloseAll() {
    RemoveLink();
    for (int* fd : {&master, &slave, &inotifyFd, &stopPipe[0], &stopPipe[1], &wakeFd}) {
      if (*fd >= 0) close(*fd);
      *fd = -1;
    }
  }

  // A fresh pseudo-terminal, raw, watched for the host's opens and closes.
  bool OpenTerminal(std::string* error) {
    const auto fail = [&](const std::string& why) {
      if (error != nullptr) *error = why;
      return false;
    };
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) return fail(std::string("cannot open a pseudo-terminal: ") + std::strerror(errno));
    char name[256];
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
      return fail(std::string("cannot unlock the pseudo-terminal: ") + std::strerror(errno));
    }
    {
      std::lock_guard<std::mutex> lock(mu);
      slavePath = name;
    }
    slave = open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) return fail("cannot open " + slavePath + ": " + std::strerror(errno));
    // Raw on both sides: the line discipline must pass every byte unchanged.
    for (int fd : {slave, master}) {
      termios t{};
      if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        cfsetispeed(&t, B115200);
        cfsetospeed(&t, B115200);
        tcsetattr(fd, TCSANOW, &t);
      }
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    inotifyFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotifyFd >= 0 &&
        inotify_add_watch(inotifyFd, slavePath.c_str(), IN_OPEN | IN_CLOSE) < 0) {
      close(inotifyFd);
      inotifyFd = -1;
    }
    return true;
  }

  bool Start(std::string* error) {
    if (const std::string why = ValidateOptions(opt); !why.empty()) return Fail(error, why);
    if (!OpenTerminal(error)) {
      CloseAll();
      return false;
    }
    if (pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
      return Fail(error, std::string("cannot make a pipe: ") + std::strerror(errno));
    }
    wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) return Fail(error, std::string("cannot make an eventfd: ") + std::strerror(errno));
    silent = unplugPending = away = false;
    if (opt.link && !CreateLink(error, opt.port)) {
      CloseAll();
      return false;
    }
    std::random_device device;
    rng.seed(device());
    started = Clock::now();
    rxLineFree = txLineFree = answerBase = started;
    writeLateness = {};
    stopping = false;
    {
      std::lock_guard<std::mutex> lock(mu);
      running = true;
    }
    thread = std::thread([this] {
      // A controller that stops answering takes its link with it.
      try {
        Run();
      } catch (...) {
      }
      if (!stopping) {
        RemoveLink();
        {
          std::lock_guard<std::mutex> lock(mu);
          running = false;
        }
        Notify();
      }
    });
    Notify();
    return true;
  }

  void Stop() {
    if (thread.joinable()) {
      stopping = true;
      const char c = 1;
      [[maybe_unused]] const ssize_t ignored = write(stopPipe[1], &c, 1);
      thread.join();
    }
    CloseAll();
    {
      std::lock_guard<std::mutex> lock(mu);
      running = false;
    }
    Notify();
  }
};

VirtualController::VirtualController(Options options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}

VirtualController::~VirtualController() { Stop(); }

bool VirtualController::Start(std::string* error) {
  if (Running()) return true;
  return impl_->Start(error);
}

void VirtualController::Stop() { impl_->Stop(); }

bool VirtualController::Running() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->running;
}

std::string VirtualController::PortName() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->portName;
}
std::string VirtualController::LinkPath() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->linkPath;
}
std::string VirtualController::SlavePath() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->slavePath;
}

Counters VirtualController::GetCounters() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->counters;
}

Identity VirtualController::CurrentIdentity() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->identity;
}

std::vector<std::uint8_t> VirtualController::Image() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->image;
}

std::vector<std::uint8_t> VirtualController::LastImage() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->lastImage;
}

std::vector<WireFrame> VirtualController::Wire() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->wire;
}

bool VirtualController::Reset(const ResetPlan& plan) {
  Impl& m = *impl_;
  if (plan.port && PortNumber(*plan.port) == 0) return false;
  std::uint64_t before = 0;
  {
    std::lock_guard<std::mutex> lock(m.mu);
    if (!m.running) return false;
    before = m.counters.resetsBegun;
    m.requested = plan;
  }
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t ignored = write(m.wakeFd, &one, sizeof one);
  return WaitUntil([&] { return GetCounters().resetsBegun > before || !Running(); },
                   std::chrono::seconds(10)) &&
         GetCounters().resetsBegun > before;
}

bool VirtualController::Reset(std::chrono::milliseconds silentFor,
                              std::optional<std::string> newPort) {
  ResetPlan plan;
  plan.silentFor = silentFor;
  plan.port = std::move(newPort);
  return Reset(plan);
}

void VirtualController::SetIdentity(const Identity& identity) {
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->identity = identity;
  }
  impl_->Notify();
}

std::size_t VirtualController::HeldBytes() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  std::size_t held = impl_->image.capacity() + impl_->lastImage.capacity() +
                     impl_->wire.capacity() * sizeof(WireFrame);
  for (const auto& w : impl_->wire) held += w.bytes.capacity() + w.what.capacity();
  return held;
}

void VirtualController::FeedForTest(const std::uint8_t* bytes, std::size_t length) {
  if (Running()) return;
  Impl& m = *impl_;
  const auto now = Clock::now();
  m.Feed(bytes, length, now, now);
  while (!m.pending.empty()) {
    Impl::Pending p = std::move(m.pending.front());
    m.pending.pop_front();
    m.Handle(std::move(p));
  }
}

bool VirtualController::WaitUntil(const std::function<bool()>& pred,
                                  std::chrono::milliseconds timeout) const {
  const auto deadline = Clock::now() + timeout;
  std::unique_lock<std::mutex> lock(impl_->waitMu);
  for (;;) {
    const std::uint64_t seen = impl_->generation;
    lock.unlock();
    if (pred()) return true;
    lock.lock();
    if (!impl_->changed.wait_until(lock, deadline, [&] { return impl_->generation != seen; })) {
      lock.unlock();
      return pred();
    }
  }
}

}  // namespace tavrin::vc
