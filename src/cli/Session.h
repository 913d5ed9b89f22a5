// One run of identify or write: plays the user's clicks on the console window
// and reads the outcome from what the units show. Under --loop the session
// goes on from one controller to the next (Loop.cpp).
#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "cli/Driver.h"
#include "cli/OneShot.h"
#include "cli/Progress.h"
#include "cli/Unit.h"
#include "ui/console/ConsoleWindow.h"

namespace cli {

class WorkerStream;

class Session {
 public:
  Session(const CliOptions& options, std::string title);
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
  int AnswerQuestion();
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

  // The end of a controller, and --loop's way to the next (Loop.cpp).
  void EndUnit(int status, const std::string& result);
  void PrintUnitLine();
  int Tally(bool interrupted);
  void PrintJson();
  void Finish(int status);
  void StartProbing();
  void OnProbeTimer();
  void EndProbe();
  void Gone();

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
  bool probing_ = false;
  int goneMisses_ = 0;
  int count_ = 0;
  int written_ = 0;
  int failed_ = 0;
  int refused_ = 0;
  int interrupted_ = 0;
};

}  // namespace cli
