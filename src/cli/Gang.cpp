#include "cli/Gang.h"

#include <array>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <utility>

#include "cli/GangRules.h"
#include "cli/GangView.h"
#include "cli/Interrupts.h"
#include "cli/OneShot.h"
#include "cli/Ask.h"
#include "cli/Text.h"
#include "cli/Unit.h"
#include "cli/UnitMachine.h"
#include "platform/AppendFile.h"
#include "platform/Console.h"
#include "platform/Process.h"

#ifdef _WIN32
#include <thread>
#else
#include <fcntl.h>

#include <asio/posix/stream_descriptor.hpp>
#endif

namespace cli {

namespace {

// What a stopped worker is given to close its port before it is killed.
constexpr int kStopDeadlineMs = 5000;

std::string Dump(const nlohmann::json& o) { return RecordLine(o); }

class Gang {
 public:
  Gang(const CliOptions& options, const std::vector<std::string>& args);
  ~Gang();
  int Run();

 private:
  struct Worker {
    platform::ChildProcess child;
    bool running = false;
    std::string partial;  // the start of a line still coming
    bool overlong = false;  // the line coming was too long: dropped up to its end
    int units = 0;
#ifdef _WIN32
    std::thread reader;  // Windows: a blocking read per worker, posted to the loop
#else
    std::unique_ptr<asio::posix::stream_descriptor> pipe;
    std::array<char, 4096> chunk{};
#endif
  };

  void Start(std::size_t i);
#ifndef _WIN32
  void Read(std::size_t i);
#endif
  void Take(std::size_t i, const char* data, std::size_t size);
  void OnLine(std::size_t i, const std::string& line);
  void OnReport(std::size_t i, const nlohmann::json& o);
  void OnUnit(std::size_t i, nlohmann::json unit);
  void OnQuestion(std::size_t i, const std::string& text);
  void OnAnswer(platform::LineRead read, const std::string& answer);
  void OnEnded(std::size_t i);
  // Carries out what the rules decided.
  void Do(const GangRules::Actions& actions);
  void Changed();
  void Note(std::size_t i, const std::string& text);
  void Finish();

  CliOptions options_;
  std::vector<std::string> args_;
  std::string program_;
  asio::io_context io_;
  // Windows: between two reads posted by the reader threads the loop has
  // nothing of its own to wait for, and must not end.
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  GangRules rules_;
  std::vector<SlotState> slots_;
  std::vector<std::unique_ptr<Worker>> workers_;
  GangView view_;
  OneShot redraw_;
  OneShot killDeadline_;
  const bool askable_;  // a terminal on standard input answers the questions
  // The answers are read beside the loop: the other slots go on meanwhile.
  std::optional<platform::TerminalLineReader> answers_;
  int units_ = 0;
  int exitStatus_ = kExitInterrupted;
};

Gang::Gang(const CliOptions& options, const std::vector<std::string>& args)
    : options_(options),
      args_(args),
      program_(platform::CurrentProgramPath()),
      work_(asio::make_work_guard(io_)),
      rules_(options.ports.size()),
      slots_(options.ports.size()),
      view_(slots_, options.json ? stderr : stdout),
      redraw_(io_, [this] { view_.Redraw(); }),
      killDeadline_(io_, [this] { Do(rules_.Deadline()); }),
      askable_(!options.yes && platform::IsTerminal(stdin)) {
  for (std::size_t i = 0; i < slots_.size(); ++i) slots_[i].port = options.ports[i];
  if (askable_) {
    answers_.emplace([this](platform::LineRead read, const std::string& line) {
#ifdef _WIN32
      // Ctrl+C ends the console's read before its own news comes.
      if (read == platform::LineRead::End && line.empty() &&
          Interrupts::Arrives(std::chrono::milliseconds(500)))
        read = platform::LineRead::Interrupted;
#endif
      asio::post(io_, [this, read, line] { OnAnswer(read, line); });
    });
  }
}

Gang::~Gang() {
  // First: it posts into the loop.
  answers_.reset();
#ifdef _WIN32
  for (auto& w : workers_) {
    if (w->reader.joinable()) w->reader.join();
  }
#endif
}

int Gang::Run() {
  Interrupts interrupts(io_, [this] { Do(rules_.Interrupt()); });
  for (std::size_t i = 0; i < slots_.size(); ++i) workers_.push_back(std::make_unique<Worker>());
  for (std::size_t i = 0; i < slots_.size(); ++i) Start(i);
  view_.Redraw();
  if (!rules_.Finished()) io_.run();
  return exitStatus_;
}

void Gang::Start(std::size_t i) {
  Worker& w = *workers_[i];
  std::string error = "the path of this program is not known";
  std::optional<platform::ChildProcess> child;
  if (!program_.empty()) {
    child = platform::StartProcess(
        program_, WorkerArguments(args_, slots_[i].port, static_cast<int>(i) + 1), &error);
  }
  if (!child) {
    slots_[i].exitStatus = 127;
    Do(rules_.NotStarted(i, error));
    return;
  }
  w.child = std::move(*child);
  w.running = true;
  rules_.Started(i);
#ifdef _WIN32
  w.reader = std::thread([this, i, worker = &w] {
    for (;;) {
      char buffer[4096];
      const std::ptrdiff_t n = worker->child.Read(buffer, sizeof buffer);
      if (n <= 0) {
        asio::post(io_, [this, i] { OnEnded(i); });
        return;
      }
      asio::post(io_, [this, i, data = std::string(buffer, static_cast<std::size_t>(n))] {
        Take(i, data.data(), data.size());
      });
    }
  });
#else
  // A descriptor of the loop's own (ChildProcess keeps and closes its own),
  // never passed on to the next worker.
  const int fd = fcntl(w.child.OutputFd(), F_DUPFD_CLOEXEC, 3);
  w.pipe = std::make_unique<asio::posix::stream_descriptor>(io_, fd);
  Read(i);
#endif
}

#ifndef _WIN32
void Gang::Read(std::size_t i) {
  Worker& w = *workers_[i];
  w.pipe->async_read_some(asio::buffer(w.chunk),
                          [this, i](const std::error_code& ec, std::size_t n) {
                            if (ec) {
                              OnEnded(i);
                              return;
                            }
                            Take(i, workers_[i]->chunk.data(), n);
                            Read(i);
                          });
}
#endif

void Gang::Take(std::size_t i, const char* data, std::size_t size) {
  Worker& w = *workers_[i];
  std::string& partial = w.partial;
  partial.append(data, size);
  std::size_t start = 0;
  for (std::size_t end; (end = partial.find('\n', start)) != std::string::npos; start = end + 1) {
    if (!w.overlong) OnLine(i, partial.substr(start, end - start));
    w.overlong = false;
  }
  partial.erase(0, start);
  // No report is this long: a worker that writes without end must not take
  // the supervisor's memory with it.
  constexpr std::size_t kLongestReport = 1 << 20;
  if (partial.size() > kLongestReport) {
    partial.clear();
    w.overlong = true;
  }
}

void Gang::OnLine(std::size_t i, const std::string& line) {
  const nlohmann::json o = nlohmann::json::parse(line, nullptr, false);
  if (!o.is_object()) return;  // not a report: nothing to show
  try {
    OnReport(i, o);
  } catch (const nlohmann::json::exception&) {
    // A field of another type than the worker writes: the report is left out.
  }
  // Our output's reader has gone (a closed pipe): each slot ends after its unit.
  if (platform::OutputClosed()) Do(rules_.OutputClosed());
}

void Gang::OnReport(std::size_t i, const nlohmann::json& o) {
  SlotState& slot = slots_[i];
  const std::string event = o.value("event", "");
  if (event == "state") {
    slot.state = o.value("state", "");
    slot.percent = -1;
    slot.rate = 0;
    if (slot.state == "scanning") {
      slot.model.clear();
      slot.versions.clear();
    }
    if (o.contains("model")) {
      slot.model = o.value("model", "");
      slot.versions = o.value("kind", "") + " " + std::to_string(o.value("version", 0));
    }
    std::string line = slot.port + ": " + slot.state;
    if (!slot.model.empty()) line += "  " + slot.model + "  " + slot.versions;
    view_.Event(line);
  } else if (event == "progress") {
    const auto frames = o.value("frames", 0u);
    slot.percent = frames > 0 ? static_cast<int>(100.0 * o.value("sent", 0u) / frames) : 0;
    slot.rate = o.value("rate", 0.0);
  } else if (event == "unit" && o.contains("unit") && o["unit"].is_object()) {
    OnUnit(i, o["unit"]);
  } else if (event == "question") {
    slot.state = "waiting";  // for the answer
    OnQuestion(i, o.value("text", ""));
  } else if (event == "note") {
    Note(i, o.value("text", ""));
  }
  Changed();
}

void Gang::OnUnit(std::size_t i, nlohmann::json unit) {
  SlotState& slot = slots_[i];
  const std::string result = unit.value("result", "");
  rules_.Unit(i, unit.value("exitStatus", kExitSuccess), result);
  slot.tally = rules_.Tally(i);
  switch (TallyColumn(result)) {
    case Column::Refused:
      slot.state = "refused";
      break;
    case Column::Interrupted:
      slot.state = "interrupted";
      break;
    case Column::Failed:
      slot.state = "failed";
      break;
    default:
      slot.state = "done";
  }
  const bool dataMap = unit.value("kind", "") == "data map";
  const char* before = dataMap ? "dataMapVersion" : "firmwareVersion";
  const char* after = dataMap ? "dataMapVersionAfter" : "firmwareVersionAfter";
  slot.model = unit.value("model", "");
  slot.versions.clear();
  if (unit.contains(before)) {
    slot.versions = Format("%s %d -> ", dataMap ? "data map" : "firmware", unit.value(before, 0));
    // Null when nobody read the version back.
    slot.versions += unit.contains(after) && unit[after].is_number()
                         ? std::to_string(unit[after].get<int>())
                         : std::string("unchanged");
  }
  ++units_;
  view_.Print(Format("#%d  %s  %s  %s  %s  %.1f s", units_, slot.port.c_str(), slot.model.c_str(),
                     slot.versions.c_str(), result.c_str(), unit.value("seconds", 0.0)),
              options_.json);
  if (options_.json) {
    unit["slot"] = static_cast<int>(i) + 1;
    platform::WriteText(stdout, Dump(unit) + "\n");
  }
}

// ---- Questions, one at a time ------------------------------------------------------

void Gang::OnQuestion(std::size_t i, const std::string& text) {
  Do(rules_.Question(i, text, askable_ && platform::InForeground(),
                     YesNoNote(askable_ ? YesNo::Background : YesNo::NoTerminal)));
}

void Gang::OnAnswer(platform::LineRead read, const std::string& answer) {
  // Ctrl+C: the stop that follows ends the question.
  if (read == platform::LineRead::Interrupted || !rules_.Asking()) return;
  view_.EndAsk(true);
  Do(rules_.Answered(IsYes(answer)));
}

// ---- The end -------------------------------------------------------------------

void Gang::OnEnded(std::size_t i) {
  Worker& w = *workers_[i];
  if (!w.running) return;
  w.running = false;
#ifndef _WIN32
  w.pipe.reset();
#endif
  // Its output has ended: the process is ending, and its port is let go.
  const int status = w.child.Wait();
  SlotState& slot = slots_[i];
  slot.exitStatus = status;
  slot.state = "ended";
  const auto actions = rules_.Ended(i, status);
  view_.Event(Format("%s: ended, exit %d", slot.port.c_str(), status));
  Do(actions);
  Changed();
}

void Gang::Do(const GangRules::Actions& actions) {
  const auto each = [this](auto act) {
    for (auto& w : workers_) {
      if (w->running) act(w->child);
    }
  };
  for (const GangAction& a : actions) {
    switch (a.kind) {
      case GangAction::Kind::Ask:
        view_.Ask(
            Format("Slot %zu, %s: %s", a.slot + 1, slots_[a.slot].port.c_str(), a.text.c_str()),
            "Answer y or N: ");
        if (answers_) answers_->Request();
        break;
      case GangAction::Kind::StopAsking:
        view_.EndAsk(false);
        break;
      case GangAction::Kind::Reply:
        workers_[a.slot]->child.Write(a.yes ? "y\n" : "n\n");
        break;
      case GangAction::Kind::Withdraw:
      case GangAction::Kind::Note:
        if (a.slot == GangAction::kNoSlot) {
          view_.Print(ErrorLine(a.text), true);
        } else {
          Note(a.slot, a.text);
        }
        break;
      case GangAction::Kind::TerminateAll:
        each([](platform::ChildProcess& c) { c.Terminate(); });
        break;
      case GangAction::Kind::HangUpAll:
        each([](platform::ChildProcess& c) { c.HangUp(); });
        break;
      case GangAction::Kind::KillAll:
        each([](platform::ChildProcess& c) { c.Kill(); });
        break;
      case GangAction::Kind::KillLater:
        killDeadline_.Start(kStopDeadlineMs);
        break;
      case GangAction::Kind::Finish:
        Finish();
        break;
    }
  }
}

void Gang::Changed() {
  if (!view_.Changed() && !redraw_.Active()) redraw_.Start(100);
}

void Gang::Note(std::size_t i, const std::string& text) {
  slots_[i].note = text;
  view_.Print(ErrorLine(Format("slot %zu, %s: %s", i + 1, slots_[i].port.c_str(), text.c_str())),
              true);
}

void Gang::Finish() {
  redraw_.Stop();
  killDeadline_.Stop();
  view_.EndAsk(false);
  view_.Close();
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    const SlotState& slot = slots_[i];
    view_.Print(
        Format("Slot %zu, %s: %s; exit %d.", i + 1, slot.port.c_str(),
               rules_.Tally(i).Text().c_str(), rules_.ExitStatus(i).value_or(kExitInterrupted)),
        options_.json);
  }
  exitStatus_ = rules_.Worst();
  view_.Print(Format("Total: %s; exit %d.", rules_.Total().Text().c_str(), exitStatus_),
              options_.json);
  work_.reset();
  io_.stop();
}

}  // namespace

std::string SlotFile(const std::string& file, const std::string& port) {
  // The slot's own file beside the one given: a trace is one link's.
  const std::size_t slash = file.find_last_of("/\\");
  const std::size_t name = slash == std::string::npos ? 0 : slash + 1;
  std::size_t dot = file.rfind('.');
  // A dot that starts the name (.trace) or sits in a directory's name is no extension's.
  if (dot == std::string::npos || dot <= name) dot = file.size();
  return file.substr(0, dot) + "-" + port + file.substr(dot);
}

std::vector<std::string> WorkerArguments(const std::vector<std::string>& args,
                                         const std::string& port, int slot) {
  std::vector<std::string> out;
  bool placed = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--port") {
      ++i;  // and its value
      continue;
    }
    if (a.rfind("--port=", 0) == 0) continue;
    if (a == "--trace" && i + 1 < args.size()) {
      out.insert(out.end(), {a, SlotFile(args[++i], port)});
      continue;
    }
    if (a.rfind("--trace=", 0) == 0) {
      out.push_back("--trace=" + SlotFile(a.substr(std::strlen("--trace=")), port));
      continue;
    }
    out.push_back(a);
    // Right after the command: ahead of a "--" that ends the options.
    if (!placed && (a == "write" || a == "identify")) {
      placed = true;
      out.insert(out.end(), {"--port", port, "--worker", std::to_string(slot)});
    }
  }
  return out;
}

int RunGang(const CliOptions& options, const std::vector<std::string>& args) {
  if (!options.log.empty()) {
    // Told once here rather than by every worker; opening never truncates.
    platform::AppendFile log;
    std::string error;
    if (!log.Open(options.log, &error)) {
      platform::WriteText(
          stderr, ErrorLine(options.log + ": cannot be opened to append to (" + error + ")\n"));
      return kExitUsage;
    }
  }
  Gang gang(options, args);
  return gang.Run();
}

}  // namespace cli
