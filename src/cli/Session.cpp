#include "cli/Session.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>

#include "cli/Interrupts.h"
#include "cli/Text.h"
#include "cli/Trace.h"
#include "cli/Worker.h"
#include "connect/Connecter.h"
#include "platform/Console.h"
#include "platform/PortLocation.h"
#include "platform/Sha256.h"
#include "protocol/Messager.h"
#include "serial/Port.h"
#include "serial/Ports.h"
#include "transfer/ImageStore.h"
#include "transfer/Loaders.h"

namespace cli {

namespace {
// Between Disconnect and the result box the reader thread does nothing that waits.
constexpr int kResultGraceMs = 1000;
// How often a closed output is looked for.
constexpr int kWatchMs = 250;
}  // namespace

namespace {
UnitMachine::Settings SettingsOf(const CliOptions& options) {
  UnitMachine::Settings settings;
  settings.write = options.command == CliOptions::Command::Write;
  settings.loop = options.loop;
  settings.yes = options.yes;
  settings.rewrite = options.rewrite;
  settings.verify = options.verify;
  settings.dataMap = Extension(options.file) == ".lbin";
  return settings;
}
}  // namespace

Session::Session(const CliOptions& options, std::string title, platform::AppendFile* log,
                 FileFacts file)
    : options_(options),
      title_(std::move(title)),
      worker_(options.worker > 0 ? std::make_unique<WorkerStream>(options.worker) : nullptr),
      window_(ConsoleWindow::Instance()),
      work_(asio::make_work_guard(io_)),
      machine_(SettingsOf(options)),
      timeout_(io_, [this] { OnTimeout(); }),
      probe_(io_, [this] { OnProbeTimer(); }),
      linkEnd_(io_,
               [this] {
                 if (machine_.state() == State::Writing && !outcome_) LinkLost();
               }),
      watch_(io_, [this] { WatchOutput(); }),
      log_(log),
      file_(std::move(file)),
      machineName_(platform::MachineName()) {}

Session::~Session() = default;

int Session::Run() {
  window_.Attach(io_, title_);
  window_.SetOutput(options_.json ? stderr : stdout, stderr);
  if (worker_) {
    window_.SetOutput(worker_->Discard(), worker_->Discard());
    // The supervisor says for the slot what this session would say alone.
    window_.SetNoteSink([this](const std::string& line) {
      const std::string prefix = std::string(kProgram) + ": ";
      if (line.rfind(prefix, 0) == 0) worker_->Note(line.substr(prefix.size()));
    });
  }
  window_.SetBeforePrint([this] { progress_.End(); });
  window_.SetBoxAnswerer([this](const ConsoleWindow::Box& box) { return AnswerBox(box); });
  window_.SetObserver([this](ConsoleWindow::Event event) { OnEvent(event); });
  window_.SetBoxStamp([this] { return ClosingFrameSent(); });
  // The window's start: the port list filled once.
  window_.PortListClear();
  ListSerialPorts();
  // Without a terminal the bell would only end up in a file.
  if (progress_.Terminal() && !worker_) window_.StartTimer(WindowTimer::Timer3);
  {
    Interrupts interrupts(io_, [this] {
      const Interrupts::Kind kind = Interrupts::Last();
      OnInterrupt(kind == Interrupts::Kind::Hangup      ? UnitMachine::Stop::Hangup
                  : kind == Interrupts::Kind::Terminate ? UnitMachine::Stop::Term
                                                        : UnitMachine::Stop::CtrlC);
    });
    window_.Post([this] { Execute(machine_.Start()); });
    watch_.Start(kWatchMs);
    io_.run();

    window_.SetObserver({});
    window_.SetBoxAnswerer({});
    window_.SetBeforePrint({});
    window_.SetNoteSink({});
    // As when the window closes: the port goes, and the retransmit timer.
    ClosePort();
    Timer2Stop();
    window_.SetBoxStamp({});
    window_.Detach();
  }
  return exitStatus_;
}

// ---- What the unit machine says ------------------------------------------------

void Session::Execute(UnitMachine::Actions actions) {
  using Kind = UnitMachine::Action::Kind;
  for (const UnitMachine::Action& action : actions) {
    switch (action.kind) {
      case Kind::Scan:
        Connect(action.timed);
        break;
      case Kind::Disconnect:
        Button3Click();
        break;
      case Kind::Write:
        Write();
        break;
      case Kind::AnswerYes:
      case Kind::AnswerNo:
      case Kind::Ask:
        break;  // answered where the question is shown
      case Kind::CutWrite:
        // Stop sending and let go of the port now.
        Button3Click();
        progress_.End();
        window_.PrintNote(
            ErrorLine(Format("interrupted after %u of %u frames: the controller did not get the "
                             "whole image and must be written again.",
                             FramesSent(), unit_.frames)));
        break;
      case Kind::Verify:
        ConnectVerifying(action.timed);
        break;
      case Kind::SameUnitBack:
        window_.PrintNote(
            Format("The controller on %s answers as the unit just written did: the same "
                   "unit, back after its restart; not written or counted again.",
                   machine_.unit().port.c_str()));
        break;
      case Kind::Probe:
        StartProbing();
        break;
      case Kind::Record:
        if (!EndUnit(action)) {
          Execute(machine_.RecordFailed());
          return;
        }
        break;
      case Kind::End:
        if (options_.loop) PrintTally();
        Finish(action.status);
        return;
    }
  }
}

// ---- Connecting ---------------------------------------------------------------

void Session::StartTimeout() {
  // A time-out longer than the timer's int of milliseconds (some 24 days)
  // waits that long rather than wrapping round to one that has run out.
  const double ms = std::min(options_.timeoutSeconds * 1000,
                             static_cast<double>(std::numeric_limits<int>::max()));
  timeout_.Start(static_cast<int>(std::lround(ms)));
}

bool Session::Connecting() const {
  return machine_.state() == State::Waiting || machine_.state() == State::Verifying;
}

void Session::Connect(bool withTimeout) {
  Trace::UnitBegins();
  window_.SetQuiet(false);
  window_.SetPortFilter(options_.port);
  window_.ForgetStatusTexts();
  unit_ = Unit{};
  received_ = FileFacts{};
  outcome_.reset();
  ++attempt_;
  timed_ = withTimeout;
  if (timed_) StartTimeout();
  if (worker_) worker_->State("scanning", unit_, IsDataMap());
  Button1Click();
}

// The written unit only: its port, or on Linux the port now in its USB socket
// (a restart may rename it); another controller is never asked.
void Session::ConnectVerifying(bool withTimeout) {
  std::string port = machine_.unit().port;
  const std::string& socket = machine_.unit().usbLocation;
  if (!socket.empty()) {
    window_.SetPortFilter({});
    window_.PortListClear();
    ListSerialPorts();
    for (const std::string& name : ScanPorts()) {
      if (platform::PortUsbLocation(name) == socket) port = name;
    }
  }
  window_.SetPortFilter(port);
  window_.ForgetStatusTexts();
  outcome_.reset();
  ++attempt_;
  timed_ = true;
  if (withTimeout) StartTimeout();
  if (worker_) worker_->State("verifying", unit_, IsDataMap());
  Button1Click();
}

bool Session::Identified() const {
  return ConnectState == ConnectStateT::Connected && window_.Status() == kConnectedText &&
         window_.Colour() != WindowColour::ButtonFace && window_.Enabled(Control::Button2) &&
         !window_.Enabled(Control::Button1);
}

// Whoever answered last, and where: an unknown model leaves its versions alone.
Answer Session::Answering() const {
  Answer answer;
  answer.port = window_.PortListCurrentText();
  answer.usbLocation = platform::PortUsbLocation(answer.port);
  Identity& id = answer.id;
  id.deviceCode = DeviceInfo.DeviceCode.load();
  if (FindCatalogueEntry(id.deviceCode) == nullptr) return answer;
  id.known = true;
  const auto& report = window_.LogLines();
  if (report.size() > 2) id.bootloader = NumberAfterColon(report[2]);
  id.firmware = DeviceInfo.FirmwareVersion.load();
  id.dataMap = DeviceInfo.DataMapVersion.load();
  return answer;
}

void Session::TakeReport() {
  unit_.when = LocalIsoTime();
  unit_.time = UtcIsoTime();
  unit_.port = window_.PortListCurrentText();
  unit_.device = platform::PortDevice(unit_.port);
  unit_.usbLocation = platform::PortUsbLocation(unit_.port);
  unit_.deviceCode = DeviceInfo.DeviceCode.load();
  if (const CatalogueEntry* entry = FindCatalogueEntry(unit_.deviceCode)) {
    unit_.model = entry->model;
    unit_.dataMemory = entry->dataMemory;
  }
  unit_.report = window_.LogLines();
  if (unit_.report.size() > 2) unit_.bootloader = NumberAfterColon(unit_.report[2]);
  unit_.firmware = DeviceInfo.FirmwareVersion.load();
  unit_.dataMap = DeviceInfo.DataMapVersion.load();
  unit_.programMemoryOk = DeviceInfo.ProgramMemoryOk.load();
  unit_.dataMemoryOk =
      unit_.dataMemory && !unit_.report.empty() && EndsWith(unit_.report.back(), "OK");
  unit_.alert = window_.Colour() == WindowColour::Red;
}

// ---- What the window shows ------------------------------------------------------

void Session::OnEvent(ConsoleWindow::Event event) {
  const State state = machine_.state();
  if (event == ConsoleWindow::Event::Status && state != State::Probing &&
      state != State::Leaving) {
    if (unit_.texts.empty() || unit_.texts.back() != window_.Status())
      unit_.texts.push_back(window_.Status());
  }
  switch (state) {
    case State::Waiting:
    case State::Verifying:
      if (event == ConsoleWindow::Event::Status && window_.Status() == kRetryLimitText) {
        // Ports that failed to open let the identify frame run out of
        // retries; the user would click CONNECT again.
        window_.Post([this] {
          if (machine_.state() == State::Verifying) {
            ConnectVerifying(false);
          } else if (machine_.state() == State::Waiting) {
            Button1Click();
          }
        });
      } else if (event == ConsoleWindow::Event::Status && window_.Status() == kConnectedText &&
                 !Identified()) {
        // The report follows from the reader thread; a reply whose
        // identity did not check out brings none, and CONNECT is clicked again.
        probe_.Start(1000);
      } else if (Identified() && reported_ != attempt_) {
        reported_ = attempt_;
        window_.Post([this] { OnIdentified(); });
      } else if (event == ConsoleWindow::Event::Box && outcome_ && state == State::Waiting) {
        window_.Post([this] { OnRefusedWhileConnecting(); });
      }
      break;
    case State::Writing:
      if (event == ConsoleWindow::Event::Gauge) ShowProgress(false);
      if (window_.Status() == kRetryLimitText) {
        LinkLost();
      } else if (event == ConsoleWindow::Event::Box && outcome_ && !inClick_) {
        OnResult();
      } else if (!inClick_ && LinkEnded() && !linkEnd_.Active()) {
        // A result frame also ends the link, just before its box is queued
        // from the reader thread: only a link still without one is lost.
        linkEnd_.Start(kResultGraceMs);
      }
      break;
    case State::Probing:
      if (event == ConsoleWindow::Event::Status && window_.Status() == kScanningText) {
        OnProbeStep();
      } else if (window_.Status() == kRetryLimitText || Identified() ||
          (event == ConsoleWindow::Event::Box && probeBox_)) {
        window_.Post([this] { EndProbe(); });
      }
      break;
    default:
      break;
  }
}

void Session::LinkLost() {
  if (machine_.state() != State::Writing) return;
  progress_.End();
  window_.PrintNote(
      ErrorLine(Format("the link was lost after %u of %u frames: the controller did not "
                       "get the whole image and must be written again.",
                       FramesSent(), unit_.frames)));
  Execute(machine_.LinkLost());
}

// Disconnect ran: a vanished controller, DISCONNECT, the retry limit or a result.
bool Session::LinkEnded() const {
  return window_.Status() == kDisconnectedText || window_.Enabled(Control::Button1);
}

// ---- Identify -----------------------------------------------------------------

void Session::OnIdentified() {
  if (!Connecting()) return;
  if (!Identified()) {
    // The connection went again before its report was taken: wait on.
    reported_ = 0;
    if (timed_) StartTimeout();
    return;
  }
  timeout_.Stop();
  if (machine_.state() == State::Waiting) {
    TakeReport();
    if (worker_) worker_->State("scanning", unit_, IsDataMap());
    Execute(machine_.Answered(Answering()));
    return;
  }
  // Verifying: the unit written keeps its own report and texts.
  const Answer answer = Answering();
  const bool dataMemory = FindCatalogueEntry(answer.id.deviceCode) != nullptr &&
                          FindCatalogueEntry(answer.id.deviceCode)->dataMemory;
  if (answer.port == machine_.unit().port ||
      (!machine_.unit().usbLocation.empty() &&
       answer.usbLocation == machine_.unit().usbLocation)) {
    if (dataMemory) unit_.otherAfter = answer.id.dataMap;
  }
  window_.SetQuiet(true);
  Execute(machine_.Answered(answer));
  window_.SetQuiet(false);
}

// A box before any report (an unknown model): the unit is refused.
void Session::OnRefusedWhileConnecting() {
  if (machine_.state() != State::Waiting || !outcome_) return;
  timeout_.Stop();
  Answer who = Answering();
  who.id = Identity{};
  who.id.deviceCode = DeviceInfo.DeviceCode.load();
  Execute(machine_.Refused(*outcome_, &who));
}

// ---- Write --------------------------------------------------------------------

// Nobody left to read what follows: nothing may be started.
bool Session::OutputGone() {
  return platform::OutputClosed() || (worker_ && platform::InputClosed());
}

void Session::Write() {
  if (OutputGone()) {
    window_.PrintNote(ErrorLine(
        "the output's reader has gone (a closed pipe) before the write began: nothing was "
        "written; ending."));
    Execute(machine_.Interrupted(UnitMachine::Stop::OutputClosed));
    Execute(machine_.Declined());
    return;
  }
  StartWrite();
}

void Session::StartWrite() {
  const bool dataMap = IsDataMap();
  outcome_.reset();
  if (dataMap && !(window_.Enabled(Control::Button4) && window_.Visible(Control::Button4))) {
    window_.PrintNote(
        ErrorLine("this controller offers no \"write data map\"; the data map is not written."));
    Execute(machine_.Refused(kExitRefused));
    return;
  }
  window_.SetDialogAnswer(AbsolutePath(options_.file));
  progress_.Reset();
  {
    // The last unit's image is over: until this one is committed no closing
    // frame of ours is out, whatever result arrives meanwhile.
    std::lock_guard lock(TransmitLock());
    ImageStore().FrameCount = 0;
    ImageStore().Cursor = 0;
  }
  retransmissionsBefore_ = Retransmissions();
  writeArmed_ = true;
  inClick_ = true;
  dataMap ? Button4Click() : Button2Click();
  inClick_ = false;
  // From frame 0 on: a question's wait is not part of the transfer.
  started_ = std::chrono::steady_clock::now();
  window_.SetDialogAnswer(std::nullopt);
  std::uint32_t frames = 0;
  {
    std::lock_guard lock(TransmitLock());
    frames = ImageStore().FrameCount;
  }
  if (frames == 0) {
    // The loader refused the file, or the question was answered No: the
    // controller stays untouched.
    writeArmed_ = false;
    Execute(outcome_ ? machine_.Refused(*outcome_) : machine_.Declined());
    return;
  }
  unit_.frames = frames;
  TakeImage();
  std::uint16_t version = 0;
  {
    std::lock_guard lock(TransmitLock());
    const auto& store = ImageStore();
    version = dataMap ? static_cast<std::uint16_t>(store.DataMapHeader[8] |
                                                   store.DataMapHeader[9] << 8)
                      : static_cast<std::uint16_t>(store.FirmwareHeader[2] |
                                                   store.FirmwareHeader[3] << 8);
  }
  Execute(machine_.WriteStarted(version));
  if (worker_) worker_->State("writing", unit_, dataMap);
  ShowProgress(false);
  if (LinkEnded()) linkEnd_.Start(kResultGraceMs);  // it went during the question
}

// What the record names: the bytes this unit is being sent, as the loader
// read them once into the store (the file may have changed since the start).
void Session::TakeImage() {
  std::uint32_t frames = 0;
  const std::uint8_t* bytes = nullptr;
  {
    std::lock_guard lock(TransmitLock());
    frames = ImageStore().FrameCount;
    bytes = ImageStore().Frames;
  }
  // Only this thread commits images: the bytes stay as they are while read.
  const std::size_t size = static_cast<std::size_t>(frames) * kFrameSize;
  received_ = file_;
  received_.size = static_cast<std::int64_t>(size);
  received_.sha256 = platform::Sha256Hex(bytes, size);
}

bool Session::IsDataMap() const { return Extension(options_.file) == ".lbin"; }

std::uint32_t Session::FramesSent() const {
  std::lock_guard lock(TransmitLock());
  return std::min(ImageStore().Cursor, ImageStore().FrameCount);
}

double Session::Elapsed() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
}

void Session::ShowProgress(bool final) {
  if (worker_) {
    worker_->Progress(unit_.frames, FramesSent(), Elapsed());
    return;
  }
  progress_.Show(unit_.frames, FramesSent(), Elapsed(), final);
}

// Read by the reader thread as it raises a box.
bool Session::ClosingFrameSent() const {
  if (!writeArmed_) return false;
  std::lock_guard lock(TransmitLock());
  const auto& store = ImageStore();
  return store.FrameCount > 0 && store.Cursor > store.FrameCount;
}

void Session::OnResult() {
  const bool ok = *outcome_ == kExitSuccess;
  unit_.framesSent = FramesSent();
  unit_.retransmissions = Retransmissions() - retransmissionsBefore_;
  unit_.seconds = Elapsed();
  linkEnd_.Stop();
  writeArmed_ = false;
  progress_.End();
  Execute(machine_.Result(ok));
}

// ---- Signals, a closed output and the time-out -------------------------------------

void Session::OnInterrupt(UnitMachine::Stop stop) {
  // Refused just before: its end was queued behind this, and would be lost.
  if (machine_.state() == State::Waiting && outcome_) OnRefusedWhileConnecting();
  const State state = machine_.state();
  if (state == State::Ended) return;
  const bool cut = stop == UnitMachine::Stop::CtrlC || stop == UnitMachine::Stop::Term;
  // A probe keeps its steps quiet; why the program ends is said all the same.
  window_.SetQuiet(false);
  if (!cut && (state == State::Writing || state == State::Verifying)) {
    window_.PrintNote(ErrorLine(
        stop == UnitMachine::Stop::Hangup
            ? "the session has hung up (SIGHUP): this unit is finished and recorded, then the "
              "program ends."
            : "the output's reader has gone (a closed pipe): this unit is finished and "
              "recorded, then the program ends."));
  } else if (!cut && state != State::Writing) {
    window_.PrintNote(ErrorLine(stop == UnitMachine::Stop::Hangup
                                    ? "the session has hung up (SIGHUP): ending."
                                    : "the output's reader has gone (a closed pipe): ending."));
  }
  if (state == State::Verifying && cut) {
    // Written, not yet verified: the unit ends here, with its line.
    window_.PrintNote(ErrorLine("interrupted before the write was verified."));
    window_.SetQuiet(true);
    Execute(machine_.Interrupted(stop));
    window_.SetQuiet(false);
    return;
  }
  if (state == State::Waiting || state == State::Leaving || state == State::Probing) {
    window_.SetQuiet(true);
    // Waiting for a controller: let go of whatever the scan has open.
    if (state == State::Waiting) Button3Click();
    window_.SetQuiet(false);
    if (state == State::Waiting && !options_.loop && cut)
      window_.PrintNote(ErrorLine("interrupted."));
  }
  Execute(machine_.Interrupted(stop));
}

void Session::OnTimeout() {
  if (!Connecting()) return;
  const bool verifying = machine_.state() == State::Verifying;
  window_.SetQuiet(true);
  Button3Click();
  window_.SetQuiet(false);
  window_.PrintNote(ErrorLine(Format("no controller answered within %g s%s.",
                                     options_.timeoutSeconds, verifying ? " after the write" : "")));
  Execute(machine_.Timeout());
}

// A reader of our output that has gone (a closed pipe) ends the program once
// the unit in hand is done; so does a worker's supervisor that has gone
// (killed), which could no longer stop it.
void Session::WatchOutput() {
  if (machine_.state() == State::Ended) return;
  if (OutputGone() && !machine_.Ending()) {
    OnInterrupt(UnitMachine::Stop::OutputClosed);
    if (machine_.state() == State::Ended) return;
  }
  watch_.Start(kWatchMs);
}

int RunSession(const CliOptions& options, const std::string& title) {
  if (std::string error;
      !options.trace.empty() && !Trace::Start(options.trace, options.traceFailuresOnly, &error)) {
    platform::WriteText(stderr, ErrorLine(error + "\n"));
    return kExitUsage;
  }
  platform::AppendFile log;
  if (!options.log.empty()) {
    std::string error;
    if (!log.Open(options.log, &error)) {
      platform::WriteText(
          stderr, ErrorLine(options.log + ": cannot be opened to append to (" + error + ")\n"));
      std::string ignored;
      Trace::Stop(false, &ignored);
      return kExitUsage;
    }
  }
  FileFacts file;
  if (options.command == CliOptions::Command::Write) file = ReadFileFacts(options.file);
  Session session(options, title, options.log.empty() ? nullptr : &log, std::move(file));
  const int status = session.Run();
  // A trace cut short is not reported as a whole one.
  if (std::string error; !Trace::Stop(status == kExitSuccess, &error)) {
    platform::WriteText(stderr, ErrorLine(error + "\n"));
    return status == kExitSuccess ? kExitUsage : status;
  }
  return status;
}

}  // namespace cli
