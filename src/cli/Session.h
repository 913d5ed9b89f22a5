// One run of identify or write: plays the user's clicks on the console window
// and reads the outcome from what the units show. Under --loop the session
// goes on from one controller to the next (Loop.cpp).
#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "cli/Driver.h"
#include "cli/OneShot.h"
#include "cli/Progress.h"
#include "cli/Unit.h"
#include "platform/AppendFile.h"
#include "ui/console/ConsoleWindow.h"

namespace cli {

// The identity a controller answers with, to tell the unit just handled from
// the next one (the controllers report no serial number).
struct Identity {
  std::uint16_t deviceCode = 0;
  bool known = false;  // a listed model: the versions below were reported
  int bootloader = -1;
  std::uint16_t firmware = 0;
  std::uint16_t dataMap = 0;
  bool operator==(const Identity&) const = default;
};

// An outcome of the version question: the controller has the file's version.
inline constexpr int kAlreadyCurrent = -1;

class WorkerStream;

class Session {
 public:
  // `log`, when not null, takes one line per unit; `file`, for a write, what
  // the records say of the file.
  Session(const CliOptions& options, std::string title, platform::AppendFile* log, FileFacts file);
  ~Session();
  // Runs the io_context on this thread, which becomes the window thread,
  // until the session ends; its exit status.
  int Run();

 private:
  enum class Phase { Connecting, Writing, Verifying, Probing, Done };

  // One controller (Session.cpp).
  void Connect(bool withTimeout);
  void NotIdentifiedAfterAll();
  bool Identified() const;
  void TakeReport();
  void OnEvent(ConsoleWindow::Event event);
  void LinkLost();
  bool LinkEnded() const;
  int AnswerBox(const ConsoleWindow::Box& box);
  int AnswerQuestion(const ConsoleWindow::Box& box);
  void OnIdentified();
  void StartWrite();
  bool IsDataMap() const;
  std::uint32_t FramesSent() const;
  double Elapsed() const;
  void ShowProgress(bool final);
  void OnResult();
  void OnVerified();
  void OnInterrupt();
  void OnTimeout();
  void StartTimeout();
  void WatchOutput();
  bool ClosingFrameSent() const;

  // The end of a controller, and --loop's way to the next (Loop.cpp).
  void EndUnit(int status, const std::string& result);
  // Where every unit ends, once: its --json object and its --log line.
  // False when its --log line could not be written.
  bool UnitEnded();
  void PrintUnitLine();
  int Tally(bool interrupted);
  void Finish(int status);
  void StartProbing();
  void OnProbeTimer();
  void EndProbe();
  void Gone();

  // Telling units apart (Units.cpp).
  Identity Answering() const;
  void RememberUnit();
  bool SameUnitBack();
  bool StillTheSameUnit() const;

  CliOptions options_;
  std::string title_;
  std::unique_ptr<WorkerStream> worker_;  // as a slot's worker: its report
  ConsoleWindow& window_;
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  int exitStatus_ = kExitSuccess;
  ProgressLine progress_;
  Phase phase_ = Phase::Connecting;
  Unit unit_;
  std::optional<int> outcome_;
  bool unitEnded_ = false;
  bool identifiedPosted_ = false;
  bool timed_ = false;  // the connection waits against --timeout
  bool inClick_ = false;
  std::uint16_t expectedVersion_ = 0;
  std::chrono::steady_clock::time_point started_;
  OneShot timeout_;
  OneShot probe_;
  OneShot linkEnd_;
  OneShot watch_;
  platform::AppendFile* log_;
  FileFacts file_;
  std::string machine_;
  std::uint64_t retransmissionsBefore_ = 0;
  // Set for a write from before its click until the unit ends: only then
  // can a result be this write's (read by the reader thread).
  std::atomic<bool> writeArmed_{false};
  bool probing_ = false;
  bool probeAnswered_ = false;
  int goneMisses_ = 0;
  // The unit handled last, as it should answer now; and whether it was
  // written and not seen since (it may be restarting).
  std::optional<Identity> last_;
  std::string lastUsbLocation_;  // where it sat on USB, when it did
  bool lastMayReturn_ = false;
  bool writeOk_ = false;         // the controller said this unit's write succeeded
  bool seenAfterWrite_ = false;  // and --verify has heard from it since
  int count_ = 0;
  int written_ = 0;
  int current_ = 0;
  int failed_ = 0;
  int refused_ = 0;
  int interrupted_ = 0;
};

}  // namespace cli
