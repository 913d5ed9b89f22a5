// A stand-in controller on a pseudo-terminal, linked into the DOS-device
// directory as COM<n> so the programmer finds it like a serial port. It
// identifies itself, takes firmware and data-map images at its own pace,
// checks them, and can misbehave on demand. The protocol side is written from
// the frame layouts alone: nothing of the programmer's own dispatch is used.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace tavrin::vc {

// Frame numbers a fault applies to: "all", or numbers and ranges such as
// "3", "2-4,7". Frames are numbered from 1 in the order they arrive, counting
// every frame the controller takes in (IdentifyRequests, chunks, closing
// frames, retransmissions included).
class FrameSet {
 public:
  static FrameSet All();
  static FrameSet Of(std::initializer_list<std::uint32_t> numbers);
  static std::optional<FrameSet> Parse(const std::string& text, std::string* error = nullptr);
  bool Contains(std::uint32_t number) const;
  bool Empty() const { return !all_ && ranges_.empty(); }

 private:
  bool all_ = false;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges_;
};

struct Identity {
  std::uint16_t deviceCode = 1;  // 0-0x7FFF; 1-20 are the known models
  bool alert = false;            // bit 15 of the device type code
  std::uint8_t bootloaderVersion = 1;
  std::uint16_t firmwareVersion = 1;
  std::uint16_t dataVersion = 1;
  std::uint8_t programMemoryCheck = 1;  // 1 = OK
  std::uint8_t dataMemoryCheck = 1;     // 1 = OK
};

enum class UnknownMode { Before, Instead };

struct Faults {
  bool silent = false;                     // answer nothing at all
  std::uint32_t delayMs = 0;               // wait this long before answering...
  FrameSet delayFrames = FrameSet::All();  // ...these frames
  FrameSet ignore;                         // take these frames as never received
  FrameSet split;                          // answer in two writes, splitGapMs apart
  std::uint32_t splitGapMs = 20;
  FrameSet badCrc;                         // answer with a wrong frame checksum
  std::optional<std::uint16_t> paceMs;     // send a PaceUpdate first...
  FrameSet paceFrames = FrameSet::All();   // ...before answering these frames
  FrameSet unknown;                        // send a frame of type unknownType
  std::uint16_t unknownType = 0xDA02;
  UnknownMode unknownMode = UnknownMode::Before;
  std::optional<std::uint8_t> closeResult;  // byte 4 of every result, whatever the check says
  FrameSet doubleAnswer;                    // send the ChunkRequest twice
};

struct Options {
  Identity identity;
  std::string port;           // "COM9"; empty: the first free one from COM20 up
  std::string linkDirectory;  // empty: platform::DosDevicesDirectory()
  bool link = true;           // false: no COM link; use SlavePath()
  std::uint16_t intervalMs = 200;  // retransmission interval asked for in ChunkRequests
  std::size_t replySize = 16;      // ChunkRequest, results, unknown frames: 16-64, a multiple of 4
  // Pause between two frames sent with nothing from the host in between.
  std::uint32_t frameGapMs = 20;
  // A partial frame that gets no more bytes for this long is dropped, so the
  // stream falls back into step with the host's retransmissions.
  std::uint32_t partialTimeoutMs = 20;
  bool lineRate = false;  // each byte in or out costs 86.8 us, as at 115200 baud
  Faults faults;
  // A controller that restarts after its update: once it has answered a
  // closing frame with success it goes silent for this long, then answers
  // again (at the version just written). See ResetPlan.
  std::optional<std::chrono::milliseconds> resetAfterUpdate;
  bool resetUnplug = false;  // while silent, the port leaves the list (ResetPlan::unplug)
  std::string resetPort;     // back under this name, "COM25"; empty: the same (implies unplug)
  bool log = false;
  std::function<void(const std::string&)> logSink;  // default: standard output
  // Keep every frame in and out for Wire(). Off, the controller holds its
  // counters, the image under way and the last one only, however long it runs.
  bool recordWire = false;
};

// Checks the options; empty when they are sound, else the reason.
std::string ValidateOptions(const Options& options);

struct Counters {
  std::uint64_t framesIn = 0;          // every frame taken in (the number faults refer to)
  std::uint64_t framesOut = 0;         // every frame written (a split one counts once)
  std::uint64_t identifyRequests = 0;
  std::uint64_t chunks = 0;            // chunks kept (retransmissions not counted)
  std::uint64_t retransmissions = 0;   // repeated chunks and closing frames
  std::uint64_t transfersStarted = 0;
  std::uint64_t closes = 0;            // closing frames checked (repeats not counted)
  std::uint64_t imagesOk = 0;
  std::uint64_t imagesFailed = 0;
  std::uint64_t ignored = 0;
  std::uint64_t droppedBytes = 0;      // partial frames given up, garbage before a frame
  std::uint64_t hostCloses = 0;        // times the host let go of the port
  std::uint64_t resetsBegun = 0;       // resets that have made the controller silent...
  std::uint64_t resetsEnded = 0;       // ...and those it is back from (equal: answering)
  int lastResult = -1;                 // byte 4 of the last result sent
  std::uint32_t lastImageCrcClaimed = 0;
  std::uint32_t lastImageCrcComputed = 0;
};

// A restart of the controller, as after a firmware update or a swap on the
// fixture. The controller stops answering at once; bytes that come meanwhile
// are lost as a rebooting controller loses them.
struct ResetPlan {
  std::chrono::milliseconds silentFor{1000};
  // The port leaves the list while silent, as a USB controller re-enumerates:
  // once the host has read what was sent (at most a second) the COM link is
  // removed and the terminal hangs up, so the host's open handle fails. The
  // controller comes back on a new terminal.
  bool unplug = false;
  std::optional<std::string> port;  // back under this name (implies unplug); "COM1"-"COM255"
  std::optional<Identity> identity;  // back as another unit: a swap on the fixture
};

struct WireFrame {
  double ms = 0;  // since Start()
  bool out = false;
  std::vector<std::uint8_t> bytes;
  std::uint64_t number = 0;  // frames in: their number; frames out: the number they answer
  std::string what;          // type name and notes
};

class VirtualController {
 public:
  explicit VirtualController(Options options = {});
  ~VirtualController();
  VirtualController(const VirtualController&) = delete;
  VirtualController& operator=(const VirtualController&) = delete;

  // Opens the pseudo-terminal, links it and starts answering.
  bool Start(std::string* error = nullptr);
  // Stops answering, removes the link and closes the pseudo-terminal.
  void Stop();
  bool Running() const;

  std::string PortName() const;   // "COM20"; empty without a link
  std::string LinkPath() const;   // the link in the DOS-device directory
  std::string SlavePath() const;  // "/dev/pts/N"

  Counters GetCounters() const;
  Identity CurrentIdentity() const;
  std::vector<std::uint8_t> Image() const;      // chunks of the transfer under way
  std::vector<std::uint8_t> LastImage() const;  // the image the last closing frame ended
  std::vector<WireFrame> Wire() const;          // empty unless Options::recordWire
  // Bytes held for images and the wire record.
  std::size_t HeldBytes() const;

  // Restarts the controller as `plan` says; returns once it has gone silent
  // (false when it is not running or does not go silent within ten seconds).
  // Safe from any thread but the controller's own (a log sink).
  bool Reset(const ResetPlan& plan);
  bool Reset(std::chrono::milliseconds silentFor, std::optional<std::string> newPort = std::nullopt);
  // What the next IdentifyReply says from now on, as if another unit answered.
  void SetIdentity(const Identity& identity);

  // Tests: takes `bytes` as if read from the line and handles every frame
  // they complete at once, on the calling thread; answers go nowhere. Only
  // before Start().
  void FeedForTest(const std::uint8_t* bytes, std::size_t length);

  // Waits until `pred` holds, re-testing it whenever the controller's state
  // changes; false when `timeout` passes first. `pred` may call the getters.
  bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// One-line description of a frame type word, e.g. "DA04 ChunkRequest".
std::string FrameTypeName(const std::uint8_t* frame, std::size_t length);

}  // namespace tavrin::vc
