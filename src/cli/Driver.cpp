#include "cli/Driver.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "connect/Connecter.h"
#include "platform/DeviceNames.h"
#include "protocol/Messager.h"
#include "serial/Port.h"
#include "serial/Ports.h"
#include "transfer/ImageStore.h"
#include "transfer/Loaders.h"
#include "ui/console/ConsoleWindow.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kProgram = "tavrin-cli";
// Between Disconnect and the result box the reader thread does nothing that waits.
constexpr int kResultGraceMs = 1000;

std::string ErrorLine(const std::string& text) { return std::string(kProgram) + ": " + text; }

// ---- Ctrl+C -------------------------------------------------------------------

// The handler only writes a byte; the window thread reads it. A second Ctrl+C
// before the first was handled ends the program at once.
int g_signalPipe[2] = {-1, -1};
volatile sig_atomic_t g_signals = 0;

void OnSignal(int) {
  if (g_signals != 0) _exit(kExitInterrupted);
  g_signals = 1;
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = write(g_signalPipe[1], &byte, 1);
}

bool InstallSignalHandler() {
  if (pipe(g_signalPipe) != 0) return false;
  fcntl(g_signalPipe[0], F_SETFD, FD_CLOEXEC);
  fcntl(g_signalPipe[1], F_SETFD, FD_CLOEXEC);
  fcntl(g_signalPipe[1], F_SETFL, O_NONBLOCK);
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a question waiting for its answer ends
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  return true;
}

// ---- One controller -----------------------------------------------------------

struct Unit {
  std::string port;
  std::uint16_t deviceCode = 0;
  std::string model;
  bool dataMemory = false;
  int bootloader = -1;
  std::uint16_t firmware = 0;
  std::uint16_t dataMap = 0;
  bool programMemoryOk = false;
  bool dataMemoryOk = false;
  bool alert = false;
  std::vector<std::string> report;
  std::vector<std::string> texts;  // boxes and status texts shown
  std::optional<std::uint16_t> versionAfter;
  std::string result;
  int status = kExitSuccess;
  std::uint32_t frames = 0;
  std::uint32_t framesSent = 0;
  double seconds = 0;
  QDateTime when;
};

// The number after the last colon of a report line, or -1.
int NumberAfterColon(const std::string& line) {
  const auto colon = line.rfind(':');
  if (colon == std::string::npos) return -1;
  const std::string rest = line.substr(colon + 1);
  const auto first = rest.find_first_not_of(' ');
  if (first == std::string::npos || rest[first] < '0' || rest[first] > '9') return -1;
  return std::atoi(rest.c_str() + first);
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

QString Q(const std::string& text) { return QString::fromStdString(text); }

class Session {
 public:
  explicit Session(const CliOptions& options)
      : options_(options), window_(ConsoleWindow::Instance()) {}

  int Run() {
    auto* app = QCoreApplication::instance();
    window_.Attach();
    window_.SetOutput(options_.json ? stderr : stdout, stderr);
    window_.SetBeforePrint([this] { EndProgressLine(); });
    window_.SetBoxAnswerer([this](const ConsoleWindow::Box& box) { return AnswerBox(box); });
    window_.SetObserver([this](ConsoleWindow::Event event) { OnEvent(event); });
    // The window's start: the port list filled once.
    window_.PortListClear();
    ListSerialPorts();
    // Without a terminal the bell would only end up in a file.
    if (errorTerminal_) window_.StartTimer(WindowTimer::Timer3);

    QSocketNotifier* interrupt = nullptr;
    if (InstallSignalHandler()) {
      interrupt = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, app);
      QObject::connect(interrupt, &QSocketNotifier::activated, app, [this] {
        char byte;
        [[maybe_unused]] const ssize_t n = read(g_signalPipe[0], &byte, 1);
        g_signals = 0;
        OnInterrupt();
      });
    }
    timeout_ = new QTimer(app);
    timeout_->setSingleShot(true);
    QObject::connect(timeout_, &QTimer::timeout, app, [this] { OnTimeout(); });
    linkEnd_ = new QTimer(app);
    linkEnd_->setSingleShot(true);
    QObject::connect(linkEnd_, &QTimer::timeout, app, [this] {
      if (phase_ == Phase::Writing && !unitEnded_ && !outcome_) LinkLost();
    });
    probe_ = new QTimer(app);
    probe_->setSingleShot(true);
    QObject::connect(probe_, &QTimer::timeout, app, [this] { OnProbeTimer(); });

    window_.Post([this] { Connect(true); });
    const int status = QCoreApplication::exec();

    window_.SetObserver({});
    window_.SetBoxAnswerer({});
    window_.SetBeforePrint({});
    // As when the window closes: the port goes, and the retransmit timer.
    ClosePort();
    Timer2Stop();
    window_.Detach();
    return status;
  }

 private:
  enum class Phase { Connecting, Writing, Verifying, Probing, Done };

  // ---- Connecting ---------------------------------------------------------------

  void Connect(bool withTimeout) {
    phase_ = phase_ == Phase::Verifying ? Phase::Verifying : Phase::Connecting;
    window_.SetPortFilter(options_.port);
    window_.ForgetStatusTexts();
    unit_ = Unit{};
    outcome_.reset();
    unitEnded_ = false;
    identifiedPosted_ = false;
    timed_ = withTimeout && !(options_.loop && phase_ == Phase::Connecting);
    if (timed_) timeout_->start(static_cast<int>(std::lround(options_.timeoutSeconds * 1000)));
    Button1Click();
  }

  // The connection went again before its report was taken: wait on.
  void NotIdentifiedAfterAll() {
    identifiedPosted_ = false;
    if (timed_) timeout_->start(static_cast<int>(std::lround(options_.timeoutSeconds * 1000)));
  }

  bool Identified() const {
    return ConnectState == ConnectStateT::Connected && window_.Status() == kConnectedText &&
           window_.Colour() != WindowColour::ButtonFace && window_.Enabled(Control::Button2) &&
           !window_.Enabled(Control::Button1);
  }

  void TakeReport() {
    unit_.when = QDateTime::currentDateTime();
    unit_.port = window_.PortListCurrentText();
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

  void OnEvent(ConsoleWindow::Event event) {
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
          probe_->start(1000);
        } else if (Identified() && !identifiedPosted_) {
          identifiedPosted_ = true;
          timeout_->stop();
          window_.Post([this] { phase_ == Phase::Verifying ? OnVerified() : OnIdentified(); });
        } else if (event == ConsoleWindow::Event::Box && outcome_) {
          timeout_->stop();
          window_.Post([this] { EndUnit(*outcome_, "refused"); });
        }
        break;
      case Phase::Writing:
        if (event == ConsoleWindow::Event::Gauge) ShowProgress(false);
        if (window_.Status() == kRetryLimitText && !unitEnded_) {
          LinkLost();
        } else if (event == ConsoleWindow::Event::Box && outcome_ && !unitEnded_ && !inClick_) {
          OnResult();
        } else if (!unitEnded_ && !inClick_ && LinkEnded() && !linkEnd_->isActive()) {
          // A result frame also ends the link, just before its box is queued
          // from the reader thread: only a link still without one is lost.
          linkEnd_->start(kResultGraceMs);
        }
        break;
      case Phase::Probing:
        if (window_.Status() == kRetryLimitText || Identified())
          window_.Post([this] { EndProbe(); });
        break;
      case Phase::Done:
        break;
    }
  }

  void LinkLost() {
    EndProgressLine();
    window_.PrintNote(
        ErrorLine(Format("the link was lost after %u of %u frames: the controller did not "
                         "get the whole image and must be written again.",
                         FramesSent(), unit_.frames)));
    EndUnit(kExitLinkLost, "link lost");
  }

  // Disconnect ran: a vanished controller, DISCONNECT, the retry limit or a result.
  bool LinkEnded() const {
    return window_.Status() == kDisconnectedText || window_.Enabled(Control::Button1);
  }

  int AnswerBox(const ConsoleWindow::Box& box) {
    if (phase_ == Phase::Probing) return box.flags == kMbYesNoInfo ? kIdNo : kIdOk;
    if (unit_.port.empty()) unit_.port = window_.PortListCurrentText();
    unit_.texts.push_back(box.caption.empty() ? box.text : box.caption + ": " + box.text);
    if (box.flags == kMbYesNoInfo) return AnswerQuestion();
    const bool dataMap = IsDataMap();
    const bool success = box.text == kFirmwareResultOkText || box.text == kDataMapResultOkText;
    const bool failure = box.text == kFirmwareResultFailText || box.text == kDataMapResultFailText;
    const bool ours = box.text == (dataMap ? kDataMapResultOkText : kFirmwareResultOkText) ||
                      box.text == (dataMap ? kDataMapResultFailText : kFirmwareResultFailText);
    if (success || failure) {
      // Only the answer to our own closing frame counts: a result frame at
      // any other time, or for the other kind of image, says nothing about
      // the file given.
      if (phase_ == Phase::Writing && !inClick_ && ours) {
        outcome_ = success ? kExitSuccess : kExitControllerFailure;
      }
    } else if (box.flags == kMbOkCancel) {
      outcome_ = kExitUsage;  // the file could not be read
    } else {
      outcome_ = kExitRefused;  // every other box refuses the file or the controller
    }
    return kIdOk;
  }

  int AnswerQuestion() {
    if (options_.yes) {
      window_.PrintLine("> yes (--yes)");
      return kIdYes;
    }
    if (!isatty(0)) {
      window_.PrintNote(
          ErrorLine("no terminal on standard input to answer the question, so the answer is No "
                    "and nothing is written; give --yes to answer Yes."));
      outcome_ = kExitRefused;
      return kIdNo;
    }
    std::fputs("Answer y or N: ", stderr);
    std::fflush(stderr);
    std::string answer;
    for (;;) {
      char c = 0;
      const ssize_t n = read(0, &c, 1);
      if (n < 0 && errno == EINTR) {
        std::fputc('\n', stderr);
        outcome_ = kExitInterrupted;
        return kIdNo;
      }
      if (n <= 0 || c == '\n') break;
      answer += c;
    }
    if (answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes") return kIdYes;
    window_.PrintNote(ErrorLine("answered No: nothing is written."));
    outcome_ = kExitRefused;
    return kIdNo;
  }

  // ---- Identify -----------------------------------------------------------------

  void OnIdentified() {
    if (!Identified()) {
      NotIdentifiedAfterAll();
      return;
    }
    TakeReport();
    if (options_.command == CliOptions::Command::Identify) {
      Button3Click();
      EndUnit(kExitSuccess, "identified");
      return;
    }
    StartWrite();
  }

  // ---- Write --------------------------------------------------------------------

  void StartWrite() {
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
    window_.SetDialogAnswer(fs::absolute(options_.file).string());
    lastDrawn_ = {};
    lastSent_ = 0;
    lastTenth_ = -1;
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
      EndUnit(status, status == kExitInterrupted ? "interrupted" : "refused");
      return;
    }
    {
      std::lock_guard lock(TransmitLock());
      unit_.frames = ImageStore().FrameCount;
    }
    ShowProgress(false);
    if (LinkEnded()) linkEnd_->start(kResultGraceMs);  // it went during the question
  }

  bool IsDataMap() const {
    std::string ext = fs::path(options_.file).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    return ext == ".lbin";
  }

  std::uint32_t FramesSent() const {
    std::lock_guard lock(TransmitLock());
    return std::min(ImageStore().Cursor, ImageStore().FrameCount);
  }

  double Elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
  }

  template <class... Args>
  static std::string Format(const char* format, Args... args) {
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, format, args...);
    return buffer;
  }

  // One redrawn line on a terminal, a plain line at every tenth otherwise.
  void ShowProgress(bool final) {
    if (unit_.frames == 0) return;
    const std::uint32_t sent = FramesSent();
    if (sent == lastSent_ && !final) return;  // the gauge's reset after the result, for one
    lastSent_ = sent;
    const int percent = static_cast<int>(100.0 * sent / unit_.frames);
    // Frame 0 went out as the clock started; too short a time gives no rate.
    const double seconds = Elapsed();
    const bool measured = sent > 1 && seconds > 0 && (seconds >= 0.2 || sent == unit_.frames);
    const double rate = measured ? (sent - 1) / seconds : 0;
    const std::string rateText =
        measured ? Format("%.0f frames/s", rate) : std::string("- frames/s");
    if (errorTerminal_) {
      const auto now = std::chrono::steady_clock::now();
      if (!final && sent != unit_.frames && now - lastDrawn_ < std::chrono::milliseconds(100))
        return;
      lastDrawn_ = now;
      const int left = measured ? static_cast<int>(std::lround((unit_.frames - sent) / rate)) : -1;
      const std::string leftText =
          left < 0 ? std::string("-:-- left") : Format("%d:%02d left", left / 60, left % 60);
      std::fprintf(stderr, "\r%3d%%  %u/%u frames  %s  %s\033[K", percent, sent, unit_.frames,
                   rateText.c_str(), leftText.c_str());
      std::fflush(stderr);
      progressDrawn_ = true;
    } else if (percent / 10 > lastTenth_) {
      lastTenth_ = percent / 10;
      std::fprintf(stderr, "%d%%  %u/%u frames  %s\n", lastTenth_ * 10, sent, unit_.frames,
                   rateText.c_str());
      std::fflush(stderr);
    }
  }

  void EndProgressLine() {
    if (!progressDrawn_) return;
    progressDrawn_ = false;
    std::fputc('\n', stderr);
    std::fflush(stderr);
  }

  void OnResult() {
    const int status = *outcome_;
    unit_.framesSent = FramesSent();
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

  void OnVerified() {
    if (!Identified()) {
      NotIdentifiedAfterAll();
      return;
    }
    const Unit written = unit_;
    TakeReport();
    const std::uint16_t reported = DeviceInfo.FirmwareVersion.load();
    Button3Click();
    unit_ = written;
    unit_.versionAfter = reported;
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

  // ---- The end of a controller --------------------------------------------------

  void EndUnit(int status, const std::string& result) {
    if (unitEnded_) return;
    unitEnded_ = true;
    // A controller refused before its report (an unknown model) still has its code.
    if (unit_.deviceCode == 0) unit_.deviceCode = DeviceInfo.DeviceCode.load();
    if (!unit_.when.isValid()) unit_.when = QDateTime::currentDateTime();
    timeout_->stop();
    linkEnd_->stop();
    EndProgressLine();
    if (unit_.seconds == 0 && unit_.frames > 0) unit_.seconds = Elapsed();
    if (unit_.framesSent == 0 && unit_.frames > 0) unit_.framesSent = FramesSent();
    if (status == kExitSuccess && !unit_.versionAfter &&
        options_.command == CliOptions::Command::Write) {
      std::lock_guard lock(TransmitLock());
      const auto& store = ImageStore();
      unit_.versionAfter =
          IsDataMap()
              ? static_cast<std::uint16_t>(store.DataMapHeader[8] | store.DataMapHeader[9] << 8)
              : static_cast<std::uint16_t>(store.FirmwareHeader[2] | store.FirmwareHeader[3] << 8);
    }
    unit_.status = status;
    unit_.result = result;
    PrintJson();
    if (!options_.loop) {
      Finish(status);
      return;
    }
    ++count_;
    if (status == kExitSuccess) {
      ++written_;
    } else if (status == kExitRefused) {
      ++refused_;
    } else if (status == kExitInterrupted) {
      ++interrupted_;
    } else {
      ++failed_;
    }
    PrintUnitLine();
    if (status == kExitInterrupted) {
      Finish(Tally(true));
      return;
    }
    StartProbing();
  }

  void PrintUnitLine() {
    const bool dataMap = IsDataMap();
    std::string versions = Format("%s %u -> ", dataMap ? "data map" : "firmware",
                                  dataMap ? unit_.dataMap : unit_.firmware);
    versions += unit_.versionAfter ? std::to_string(*unit_.versionAfter) : std::string("unchanged");
    window_.PrintLine(Format("#%d  %s  %s  %s  %s  %s  %.1f s", count_,
                             unit_.when.toString(Qt::ISODate).toStdString().c_str(),
                             unit_.port.c_str(), unit_.model.c_str(), versions.c_str(),
                             unit_.result.c_str(), unit_.seconds));
  }

  int Tally(bool interrupted) {
    // The controller cut off by Ctrl+C neither failed nor was refused.
    const std::string cut = interrupted_ > 0 ? Format(", %d interrupted", interrupted_) : "";
    window_.PrintLine(Format("Tally: %d written, %d failed, %d refused%s.", written_, failed_,
                             refused_, cut.c_str()));
    if (interrupted) return kExitInterrupted;
    if (failed_ > 0) return kExitControllerFailure;
    return refused_ > 0 ? kExitRefused : kExitSuccess;
  }

  void PrintJson() {
    if (!options_.json || unit_.port.empty()) return;
    QJsonObject o;
    o["port"] = Q(unit_.port);
    o["deviceCode"] = static_cast<int>(unit_.deviceCode);
    o["model"] = Q(unit_.model);
    o["bootloaderVersion"] = unit_.bootloader;
    o["firmwareVersion"] = static_cast<int>(unit_.firmware);
    if (unit_.dataMemory) o["dataMapVersion"] = static_cast<int>(unit_.dataMap);
    o["programMemoryOk"] = unit_.programMemoryOk;
    if (unit_.dataMemory) o["dataMemoryOk"] = unit_.dataMemoryOk;
    o["alert"] = unit_.alert;
    QJsonArray report;
    for (const auto& line : unit_.report) report.append(Q(line));
    o["report"] = report;
    if (options_.command == CliOptions::Command::Write) {
      o["file"] = Q(options_.file);
      o["kind"] = IsDataMap() ? "data map" : "firmware";
      o["frames"] = static_cast<qint64>(unit_.frames);
      o["framesSent"] = static_cast<qint64>(unit_.framesSent);
      o["seconds"] = std::round(unit_.seconds * 1000) / 1000;
      if (unit_.versionAfter)
        o[IsDataMap() ? "dataMapVersionAfter" : "firmwareVersionAfter"] =
            static_cast<int>(*unit_.versionAfter);
    }
    o["result"] = Q(unit_.result);
    o["exitStatus"] = unit_.status;
    QJsonArray texts;
    for (const auto& text : unit_.texts) texts.append(Q(text));
    o["texts"] = texts;
    const QByteArray json = QJsonDocument(o).toJson(QJsonDocument::Compact);
    std::fwrite(json.constData(), 1, static_cast<std::size_t>(json.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  }

  void Finish(int status) {
    phase_ = Phase::Done;
    timeout_->stop();
    probe_->stop();
    EndProgressLine();
    QCoreApplication::exit(status);
  }

  // ---- --loop: waiting for the controller to go --------------------------------------

  void StartProbing() {
    phase_ = Phase::Probing;
    goneMisses_ = 0;
    window_.PrintNote("Waiting for this controller to go (unplug it), then for the next one...");
    probe_->start(300);
  }

  // Every so often: is the port still listed, and does it still answer?
  void OnProbeTimer() {
    if ((phase_ == Phase::Connecting || phase_ == Phase::Verifying) && !identifiedPosted_) {
      Button1Click();
      return;
    }
    if (phase_ != Phase::Probing) return;
    if (probing_) {
      EndProbe();  // nothing answered in time
      return;
    }
    window_.SetQuiet(true);
    window_.SetPortFilter(unit_.port);
    window_.PortListClear();
    ListSerialPorts();
    if (window_.PortListCount() == 0) {
      Gone();
      return;
    }
    probing_ = true;
    Button1Click();
    probe_->start(1000);  // the time one probe may take
  }

  void EndProbe() {
    if (phase_ != Phase::Probing || !probing_) return;
    probing_ = false;
    const bool answered = Identified();
    Button3Click();
    if (answered) {
      goneMisses_ = 0;
      probe_->start(300);
    } else if (++goneMisses_ >= 2) {
      Gone();
    } else {
      probe_->start(300);
    }
  }

  void Gone() {
    probe_->stop();
    if (probing_) {
      probing_ = false;
      Button3Click();
    }
    window_.SetQuiet(false);
    window_.PrintNote("The controller has gone; waiting for the next one.");
    Connect(false);
  }

  // ---- Ctrl+C and the time-out ------------------------------------------------------

  void OnInterrupt() {
    switch (phase_) {
      case Phase::Writing:
        if (unitEnded_) break;
        // Stop sending and let go of the port now.
        Button3Click();
        EndProgressLine();
        window_.PrintNote(
            ErrorLine(Format("interrupted after %u of %u frames: the controller did not get the "
                             "whole image and must be written again.",
                             FramesSent(), unit_.frames)));
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
    if (options_.loop) {
      Finish(Tally(false));
      return;
    }
    window_.PrintNote(ErrorLine("interrupted."));
    Finish(kExitInterrupted);
  }

  void OnTimeout() {
    if (phase_ != Phase::Connecting && phase_ != Phase::Verifying) return;
    window_.SetQuiet(true);
    Button3Click();
    window_.SetQuiet(false);
    window_.PrintNote(
        ErrorLine(Format("no controller answered within %g s%s.", options_.timeoutSeconds,
                         phase_ == Phase::Verifying ? " after the write" : "")));
    Finish(kExitNoController);
  }

  CliOptions options_;
  ConsoleWindow& window_;
  const bool errorTerminal_ = isatty(2) != 0;  // asked once: the progress is drawn per frame
  Phase phase_ = Phase::Connecting;
  Unit unit_;
  std::optional<int> outcome_;
  bool unitEnded_ = false;
  bool identifiedPosted_ = false;
  bool timed_ = false;  // the connection waits against --timeout
  bool inClick_ = false;
  std::uint16_t expectedVersion_ = 0;
  std::chrono::steady_clock::time_point started_;
  std::chrono::steady_clock::time_point lastDrawn_;
  std::uint32_t lastSent_ = 0;
  int lastTenth_ = -1;
  bool progressDrawn_ = false;
  QTimer* timeout_ = nullptr;
  QTimer* probe_ = nullptr;
  QTimer* linkEnd_ = nullptr;
  bool probing_ = false;
  int goneMisses_ = 0;
  int count_ = 0;
  int written_ = 0;
  int failed_ = 0;
  int refused_ = 0;
  int interrupted_ = 0;
};

}  // namespace

int RunPorts() {
  ConsoleWindow& window = ConsoleWindow::Instance();
  window.Attach();
  window.PortListClear();
  ListSerialPorts();
  const std::vector<std::string> ports = window.Ports();
  window.Detach();
  if (ports.empty()) {
    std::printf("No COM ports: the scan would find nothing to try.\n");
    return kExitSuccess;
  }
  std::printf("The scan tries these ports, in this order:\n");
  for (const std::string& name : ports) {
    const std::string device = platform::DeviceFileForName(name);
    std::error_code ec;
    std::string what;
    if (!device.empty() && fs::is_symlink(fs::symlink_status(device, ec))) {
      const fs::path target = fs::read_symlink(device, ec);
      what = "link " + device + " -> " + (ec ? std::string("?") : target.string());
    } else {
      what = (device.empty() ? name : device) + " (this machine's own port)";
    }
    std::printf("  %-7s %s\n", name.c_str(), what.c_str());
  }
  return kExitSuccess;
}

int RunSession(const CliOptions& options) {
  Session session(options);
  return session.Run();
}
