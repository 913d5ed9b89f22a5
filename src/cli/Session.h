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
#include "cli/UnitMachine.h"
#include "platform/AppendFile.h"
#include "ui/console/ConsoleWindow.h"

namespace cli {

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
  using State = UnitMachine::State;

  // What the unit machine says to do, in order (Session.cpp).
  void Execute(UnitMachine::Actions actions);

  // One controller (Session.cpp).
  void Connect(bool withTimeout);
  void ConnectVerifying(bool withTimeout);
  bool Connecting() const;
  bool Identified() const;
  void TakeReport();
  Answer Answering() const;
  void OnEvent(ConsoleWindow::Event event);
  void OnIdentified();
  void OnRefusedWhileConnecting();
  void LinkLost();
  bool LinkEnded() const;
  int AnswerBox(const ConsoleWindow::Box& box);
  int AnswerQuestion(const ConsoleWindow::Box& box);
  int Reply(const UnitMachine::Actions& actions, const ConsoleWindow::Box& box);
  void Write();
  void StartWrite();
  bool IsDataMap() const;
  std::uint32_t FramesSent() const;
  double Elapsed() const;
  void ShowProgress(bool final);
  void OnResult();
  void OnInterrupt(UnitMachine::Stop stop);
  void OnTimeout();
  void StartTimeout();
  void WatchOutput();
  bool OutputGone();
  bool ClosingFrameSent() const;
  void TakeImage();

  // The end of a controller, and --loop's way to the next (Loop.cpp).
  // False when its --log line could not be written.
  bool EndUnit(const UnitMachine::Action& record);
  bool UnitEnded();
  void PrintUnitLine();
  void PrintTally();
  void Finish(int status);
  void StartProbing();
  void OnProbeTimer();
  void EndProbe();

  CliOptions options_;
  std::string title_;
  std::unique_ptr<WorkerStream> worker_;  // as a slot's worker: its report
  ConsoleWindow& window_;
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  UnitMachine machine_;
  int exitStatus_ = kExitSuccess;
  ProgressLine progress_;
  Unit unit_;
  // A box's verdict on the file or the controller (a refusal's status), or
  // the write's result, as the reader thread's boxes give it.
  std::optional<int> outcome_;
  // Each connection attempt has a number: its report is taken once.
  unsigned attempt_ = 0;
  unsigned reported_ = 0;
  unsigned probeNoted_ = 0;  // the attempt whose unit's leaving was said
  bool timed_ = false;  // the connection waits against --timeout
  bool inClick_ = false;
  std::chrono::steady_clock::time_point started_;
  OneShot timeout_;
  OneShot probe_;
  OneShot linkEnd_;
  OneShot watch_;
  platform::AppendFile* log_;
  FileFacts file_;       // as read at the start; a unit not written names it
  FileFacts received_;   // the image the unit in hand received
  std::string machineName_;
  std::uint64_t retransmissionsBefore_ = 0;
  // Set for a write from before its click until the unit ends: only then
  // can a result be this write's (read by the reader thread).
  std::atomic<bool> writeArmed_{false};
  // An unknown model answering a probe with its box: still there.
  std::optional<std::uint16_t> probeBox_;
  int count_ = 0;
};

}  // namespace cli
