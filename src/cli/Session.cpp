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

Session::Session(const CliOptions& options, std::string title, platform::AppendFile* log,
                 FileFacts file)
    : options_(options),
      title_(std::move(title)),
      worker_(options.worker > 0 ? std::make_unique<WorkerStream>(options.worker) : nullptr),
      window_(ConsoleWindow::Instance()),
      work_(asio::make_work_guard(io_)),
      timeout_(io_, [this] { OnTimeout(); }),
      probe_(io_, [this] { OnProbeTimer(); }),
      linkEnd_(io_,
               [this] {
                 if (phase_ == Phase::Writing && !unitEnded_ && !outcome_) LinkLost();
               }),
      watch_(io_, [this] { WatchOutput(); }),
      log_(log),
      file_(std::move(file)),
      machine_(platform::MachineName()) {}

Session::~Session() = default;

int Session::Run() {
  window_.Attach(io_, title_);
  window_.SetOutput(options_.json ? stderr : stdout, stderr);
  if (worker_) window_.SetOutput(worker_->Discard(), worker_->Discard());
  if (worker_) window_.SetNoteSink([this](const std::string& note) { worker_->Note(note); });
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
    Interrupts interrupts(io_, [this] { OnInterrupt(); });
    window_.Post([this] { Connect(true); });
    watch_.Start(kWatchMs);
    io_.run();

    window_.SetObserver({});
    window_.SetBoxAnswerer({});
    window_.SetBeforePrint({});
    // As when the window closes: the port goes, and the retransmit timer.
    ClosePort();
    Timer2Stop();
    window_.SetBoxStamp({});
    window_.Detach();
  }
  return exitStatus_;
}

// ---- Connecting ---------------------------------------------------------------

void Session::StartTimeout() {
  // A time-out longer than the timer's int of milliseconds (some 24 days)
  // waits that long rather than wrapping round to one that has run out.
  const double ms = std::min(options_.timeoutSeconds * 1000,
                             static_cast<double>(std::numeric_limits<int>::max()));
  timeout_.Start(static_cast<int>(std::lround(ms)));
}

void Session::Connect(bool withTimeout) {
  phase_ = phase_ == Phase::Verifying ? Phase::Verifying : Phase::Connecting;
  if (phase_ == Phase::Connecting) {
    Trace::UnitBegins();
    writeOk_ = false;
    seenAfterWrite_ = false;
  }
  window_.SetPortFilter(options_.port);
  window_.ForgetStatusTexts();
  unit_ = Unit{};
  outcome_.reset();
  unitEnded_ = false;
  identifiedPosted_ = false;
  timed_ = withTimeout && !(options_.loop && phase_ == Phase::Connecting);
  if (timed_) StartTimeout();
  if (worker_)
    worker_->State(phase_ == Phase::Verifying ? "verifying" : "scanning", unit_, IsDataMap());
  Button1Click();
}

// The connection went again before its report was taken: wait on.
void Session::NotIdentifiedAfterAll() {
  identifiedPosted_ = false;
  if (timed_) StartTimeout();
}

bool Session::Identified() const {
  return ConnectState == ConnectStateT::Connected && window_.Status() == kConnectedText &&
         window_.Colour() != WindowColour::ButtonFace && window_.Enabled(Control::Button2) &&
         !window_.Enabled(Control::Button1);
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
  if (event == ConsoleWindow::Event::Status && phase_ != Phase::Probing) {
    if (unit_.texts.empty() || unit_.texts.back() != window_.Status())
      unit_.texts.push_back(window_.Status());
  }
  switch (phase_) {
    case Phase::Connecting:
    case Phase::Verifying:
      if (event == ConsoleWindow::Event::Status && window_.Status() == kRetryLimitText) {
        // Ports that failed to open let the identify frame run out of
        // retries; the user would click CONNECT again.
        window_.Post([this] { Button1Click(); });
      } else if (event == ConsoleWindow::Event::Status && window_.Status() == kConnectedText &&
                 !Identified()) {
        // The report follows from the reader thread; a reply whose
        // identity did not check out brings none, and CONNECT is clicked again.
        probe_.Start(1000);
      } else if (Identified() && !identifiedPosted_) {
        identifiedPosted_ = true;
        timeout_.Stop();
        window_.Post([this] { phase_ == Phase::Verifying ? OnVerified() : OnIdentified(); });
      } else if (event == ConsoleWindow::Event::Box && outcome_) {
        timeout_.Stop();
        window_.Post([this] { EndUnit(*outcome_, "refused"); });
      }
      break;
    case Phase::Writing:
      if (event == ConsoleWindow::Event::Gauge) ShowProgress(false);
      if (window_.Status() == kRetryLimitText && !unitEnded_) {
        LinkLost();
      } else if (event == ConsoleWindow::Event::Box && outcome_ && !unitEnded_ && !inClick_) {
        OnResult();
      } else if (!unitEnded_ && !inClick_ && LinkEnded() && !linkEnd_.Active()) {
        // A result frame also ends the link, just before its box is queued
        // from the reader thread: only a link still without one is lost.
        linkEnd_.Start(kResultGraceMs);
      }
      break;
    case Phase::Probing:
      if (window_.Status() == kRetryLimitText || Identified() ||
          (event == ConsoleWindow::Event::Box && probeAnswered_)) {
        window_.Post([this] { EndProbe(); });
      }
      break;
    case Phase::Done:
      break;
  }
}

void Session::LinkLost() {
  progress_.End();
  window_.PrintNote(
      ErrorLine(Format("the link was lost after %u of %u frames: the controller did not "
                       "get the whole image and must be written again.",
                       FramesSent(), unit_.frames)));
  EndUnit(kExitLinkLost, "link lost");
}

// Disconnect ran: a vanished controller, DISCONNECT, the retry limit or a result.
bool Session::LinkEnded() const {
  return window_.Status() == kDisconnectedText || window_.Enabled(Control::Button1);
}

// ---- Identify -----------------------------------------------------------------

void Session::OnIdentified() {
  if (!Identified()) {
    NotIdentifiedAfterAll();
    return;
  }
  TakeReport();
  if (options_.loop && SameUnitBack()) {
    Button3Click();
    window_.PrintNote(
        Format("The controller on %s answers as the unit just written did: the same "
               "unit, back after its restart; not written or counted again.",
               unit_.port.c_str()));
    StartProbing();
    return;
  }
  if (options_.command == CliOptions::Command::Identify) {
    Button3Click();
    EndUnit(kExitSuccess, "identified");
    return;
  }
  StartWrite();
}

// ---- Write --------------------------------------------------------------------

void Session::StartWrite() {
  const bool dataMap = IsDataMap();
  unitEnded_ = false;
  outcome_.reset();
  if (dataMap && !(window_.Enabled(Control::Button4) && window_.Visible(Control::Button4))) {
    window_.PrintNote(
        ErrorLine("this controller offers no \"write data map\"; the data map is not written."));
    Button3Click();
    EndUnit(kExitRefused, "refused");
    return;
  }
  phase_ = Phase::Writing;
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
  if (outcome_) {
    // The loader refused the file, or the question was answered No: the
    // controller stays untouched; let go of it.
    const int status = *outcome_;
    Button3Click();
    if (status == kAlreadyCurrent) {
      EndUnit(kExitSuccess, "already current");
    } else {
      EndUnit(status, status == kExitInterrupted ? "interrupted" : "refused");
    }
    return;
  }
  {
    std::lock_guard lock(TransmitLock());
    unit_.frames = ImageStore().FrameCount;
  }
  if (worker_) worker_->State("writing", unit_, dataMap);
  ShowProgress(false);
  if (LinkEnded()) linkEnd_.Start(kResultGraceMs);  // it went during the question
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
  const int status = *outcome_;
  unit_.framesSent = FramesSent();
  unit_.retransmissions = Retransmissions() - retransmissionsBefore_;
  writeOk_ = status == kExitSuccess;
  if (status != kExitSuccess) {
    EndUnit(status, "failed");
    return;
  }
  if (options_.verify) {
    {
      std::lock_guard lock(TransmitLock());
      const std::uint8_t* header = ImageStore().FirmwareHeader;
      expectedVersion_ = static_cast<std::uint16_t>(header[2] | header[3] << 8);
    }
    unit_.seconds = Elapsed();
    phase_ = Phase::Verifying;
    const Unit written = unit_;
    window_.Post([this, written] {
      Connect(true);
      unit_ = written;
    });
    return;
  }
  EndUnit(kExitSuccess, "written");
}

void Session::OnVerified() {
  if (!Identified()) {
    NotIdentifiedAfterAll();
    return;
  }
  const Unit written = unit_;
  TakeReport();
  seenAfterWrite_ = true;
  const std::uint16_t reported = DeviceInfo.FirmwareVersion.load();
  const bool dataMemory = unit_.dataMemory;
  const std::uint16_t dataMapAfter = DeviceInfo.DataMapVersion.load();
  Button3Click();
  unit_ = written;
  unit_.versionAfter = reported;
  if (dataMemory) unit_.otherAfter = dataMapAfter;
  if (reported != expectedVersion_) {
    window_.PrintNote(
        ErrorLine(Format("verify failed: the controller reports firmware %u, the file is "
                         "version %u.",
                         reported, expectedVersion_)));
    EndUnit(kExitControllerFailure, "verify failed");
    return;
  }
  window_.PrintLine(Format("Verified: the controller reports firmware %u.", reported));
  EndUnit(kExitSuccess, "written");
}

// ---- Ctrl+C and the time-out ------------------------------------------------------

void Session::OnInterrupt() {
  switch (phase_) {
    case Phase::Writing:
      if (unitEnded_) break;
      // Stop sending and let go of the port now.
      Button3Click();
      progress_.End();
      window_.PrintNote(
          ErrorLine(Format("interrupted after %u of %u frames: the controller did not get the "
                           "whole image and must be written again.",
                           FramesSent(), unit_.frames)));
      EndUnit(kExitInterrupted, "interrupted");
      return;
    case Phase::Verifying:
      // Written, not yet verified: the unit ends here, with its line.
      window_.SetQuiet(true);
      Button3Click();
      window_.SetQuiet(false);
      window_.PrintNote(ErrorLine("interrupted before the write was verified."));
      EndUnit(kExitInterrupted, "interrupted");
      return;
    case Phase::Done:
      return;
    default:
      break;
  }
  window_.SetQuiet(true);
  Button3Click();
  window_.SetQuiet(false);
  if (phase_ == Phase::Connecting && outcome_ && !unitEnded_) {
    // Refused just before: its end was queued behind this, and would be lost.
    EndUnit(*outcome_, "refused");
    if (phase_ == Phase::Done) return;
  }
  if (options_.loop) {
    Finish(Tally(false));
    return;
  }
  window_.PrintNote(ErrorLine("interrupted."));
  Finish(kExitInterrupted);
}

void Session::OnTimeout() {
  if (phase_ != Phase::Connecting && phase_ != Phase::Verifying) return;
  window_.SetQuiet(true);
  Button3Click();
  window_.SetQuiet(false);
  window_.PrintNote(
      ErrorLine(Format("no controller answered within %g s%s.", options_.timeoutSeconds,
                       phase_ == Phase::Verifying ? " after the write" : "")));
  if (phase_ == Phase::Verifying) {
    // The write itself was answered: the unit ends with its line and record.
    EndUnit(kExitNoController, "verify timed out");
    return;
  }
  Finish(kExitNoController);
}

// A reader of our output that has gone (a closed pipe) ends the program as
// SIGTERM would; so does a worker's supervisor that has gone (killed), which
// could no longer stop it.
void Session::WatchOutput() {
  if (phase_ == Phase::Done) return;
  if (platform::OutputClosed() || (worker_ && platform::InputClosed())) {
    window_.PrintNote(ErrorLine("the output's reader has gone (a closed pipe): ending."));
    OnInterrupt();
    return;
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
