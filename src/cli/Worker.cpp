#include "cli/Worker.h"

#include <nlohmann/json.hpp>

#include "cli/Interrupts.h"
#include "platform/Console.h"

namespace cli {

namespace {
#ifdef _WIN32
constexpr const char* kNullDevice = "NUL";
#else
constexpr const char* kNullDevice = "/dev/null";
#endif
}  // namespace

WorkerStream::WorkerStream(int slot) : slot_(slot), discard_(std::fopen(kNullDevice, "w")) {
  // Without the null device the texts would mix into the event stream.
  if (discard_ == nullptr) discard_ = stderr;
}

WorkerStream::~WorkerStream() {
  if (discard_ != nullptr && discard_ != stderr) std::fclose(discard_);
}

void WorkerStream::Send(const std::string& line) {
  // One write per event: the supervisor never sees half a line for long.
  platform::WriteText(stdout, line + "\n");
}

void WorkerStream::State(const char* state, const Unit& unit, bool dataMap) {
  nlohmann::json o;
  o["event"] = "state";
  o["state"] = state;
  if (!unit.model.empty()) {
    o["model"] = unit.model;
    o["kind"] = dataMap ? "data map" : "firmware";
    o["version"] = dataMap ? unit.dataMap : unit.firmware;
  }
  Send(RecordLine(o));
}

void WorkerStream::Progress(std::uint32_t frames, std::uint32_t sent, double seconds) {
  const auto now = std::chrono::steady_clock::now();
  if (sent != frames && now - lastProgress_ < std::chrono::milliseconds(250)) return;
  lastProgress_ = now;
  nlohmann::json o;
  o["event"] = "progress";
  o["frames"] = frames;
  o["sent"] = sent;
  // Frame 0 went out as the clock started, as the single progress line counts.
  o["rate"] = sent > 1 && seconds >= 0.2 ? (sent - 1) / seconds : 0.0;
  Send(RecordLine(o));
}

void WorkerStream::UnitEnded(const std::string& unitJson) {
  Send("{\"event\":\"unit\",\"unit\":" + unitJson + "}");
}

void WorkerStream::Note(const std::string& text) {
  nlohmann::json o;
  o["event"] = "note";
  o["text"] = text;
  Send(RecordLine(o));
}

WorkerStream::Answer WorkerStream::Ask(const std::string& question) {
  nlohmann::json o;
  o["event"] = "question";
  o["text"] = question;
  Send(RecordLine(o));
  std::string answer;
  // A stop (SIGTERM, or on Windows the input closed) ends the wait.
  if (platform::ReadInputLine(answer) != platform::LineRead::Line || Interrupts::Pending()) {
    return Answer::Stopped;
  }
  return answer == "y" ? Answer::Yes : Answer::No;
}

}  // namespace cli
