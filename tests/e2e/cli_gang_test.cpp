// tavrin-cli with several ports: a supervisor and a worker process per port,
// run as a process of its own against virtual controllers on COM links of the
// test's own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "image/ImageFile.h"
#include "platform/Process.h"
#include "support/Pty.h"
#include "support/Wait.h"
#include "transfer/Loaders.h"
#include "vc/VirtualController.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace vc = tavrin::vc;
namespace image = tavrin::image;

const std::string kCli = std::string(TAVRIN_BUILD_DIR) + "/bin/tavrin-cli";

// The program's standard output, read as it comes; its standard error (the
// view, the notes and, without --json, nothing else) goes to the test's log.
class Gang {
 public:
  explicit Gang(const std::vector<std::string>& args) {
    child_ = platform::StartProcess(kCli, args);
    if (child_) child_->SetOutputNonBlocking(true);
  }
  bool Started() const { return child_.has_value(); }

  // Reads until `done` holds; false at the deadline or the output's end.
  bool ReadUntil(const std::function<bool()>& done, std::chrono::milliseconds deadline = 60s) {
    const auto until = Clock::now() + Scaled(deadline);
    while (!done()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
      if (left.count() <= 0 || ended_) return done();
      pollfd p{child_->OutputFd(), POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buffer[4096];
      const std::ptrdiff_t n = child_->Read(buffer, sizeof buffer);
      if (n > 0) out_.append(buffer, static_cast<std::size_t>(n));
      if (n == 0 || n == -1) ended_ = true;
    }
    return true;
  }
  // The whole output, then the exit status.
  int Wait() {
    ReadUntil([] { return false; });
    return child_->Wait();
  }
  void Signal(int signal) { kill(static_cast<pid_t>(child_->Id()), signal); }
  const std::string& Out() const { return out_; }

 private:
  std::optional<platform::ChildProcess> child_;
  std::string out_;
  bool ended_ = false;
};

extern "C" char** environ;

// The program with a terminal (a pseudo-terminal) on standard input and
// standard error, as at a bench; standard output on a pipe. Both are read as
// they come.
class TerminalGang {
 public:
  explicit TerminalGang(const std::vector<std::string>& args) : pty_(OpenPtyPair()) {
    int out[2];
    if (!pty_.Ok() || pipe2(out, O_CLOEXEC) != 0) return;
    out_ = out[0];
    // The terminal's own line discipline: the answer is a line ending in Enter.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pty_.slave, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pty_.slave, 2);
    std::vector<std::string> all = {kCli};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, kCli.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
  }
  ~TerminalGang() {
    if (pid_ > 0 && status_ < 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
  }
  bool Started() const { return pid_ > 0; }

  // Reads both until `done` holds; false at the deadline or the output's end.
  bool ReadUntil(const std::function<bool()>& done, std::chrono::milliseconds deadline = 60s) {
    const auto until = Clock::now() + Scaled(deadline);
    while (!done()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
      if (left.count() <= 0 || (outEnded_ && Exited())) return done();
      pollfd p[2] = {{outEnded_ ? -1 : out_, POLLIN, 0}, {pty_.master, POLLIN, 0}};
      if (poll(p, 2, static_cast<int>(std::min<long>(left.count(), 50))) <= 0) continue;
      char buffer[4096];
      if (p[0].revents != 0) {
        const ssize_t n = read(out_, buffer, sizeof buffer);
        if (n > 0) out_text_.append(buffer, static_cast<std::size_t>(n));
        if (n <= 0) outEnded_ = true;
      }
      if (p[1].revents & POLLIN) {
        const ssize_t n = read(pty_.master, buffer, sizeof buffer);
        if (n > 0) err_.append(buffer, static_cast<std::size_t>(n));
      }
    }
    return true;
  }
  void Type(const std::string& text) { pty_.Write(text.data(), text.size()); }
  void Signal(int signal) { kill(pid_, signal); }
  int Wait() {
    ReadUntil([this] { return outEnded_ && Exited(); }, 90s);
    return status_;
  }
  const std::string& Out() const { return out_text_; }
  const std::string& Err() const { return err_; }

 private:
  bool Exited() {
    if (status_ >= 0) return true;
    int raw = 0;
    if (waitpid(pid_, &raw, WNOHANG) != pid_) return false;
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return true;
  }

  PtyPair pty_;
  pid_t pid_ = -1;
  int out_ = -1;
  bool outEnded_ = false;
  int status_ = -1;
  std::string out_text_;
  std::string err_;
};

// The JSON objects among the lines of `text`.
std::vector<QJsonObject> Objects(const std::string& text) {
  std::vector<QJsonObject> objects;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    const QJsonDocument d = QJsonDocument::fromJson(QByteArray::fromStdString(line));
    if (d.isObject()) objects.push_back(d.object());
  }
  return objects;
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class CliGang : public ::testing::Test {
 protected:
  // A code-1 controller at firmware 3 that takes its time: 60 ms a chunk.
  static vc::Options Steady() {
    vc::Options o;
    o.identity.deviceCode = 1;
    o.identity.firmwareVersion = 3;
    o.intervalMs = 150;
    o.frameGapMs = 0;
    o.faults.delayMs = 60;
    o.faults.delayFrames = *vc::FrameSet::Parse("3-100000");
    return o;
  }

  std::unique_ptr<vc::VirtualController> Start(const vc::Options& options) {
    auto controller = std::make_unique<vc::VirtualController>(ScaledTimes(options));
    std::string error;
    EXPECT_TRUE(controller->Start(&error)) << error;
    return controller;
  }

  // Firmware version 5 for code 1, of 8 + `frames` frames.
  std::string Firmware(int frames) {
    std::mt19937 rng(5);
    const auto bytes = image::BuildFirmware({1, 5}, image::GeneratePayload(frames, rng), rng);
    const std::string path = dir_.filePath("fw-v5.sbin").toStdString();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path;
  }

  QTemporaryDir dir_;
};

TEST_F(CliGang, SeveralPortsWriteTheirControllersAtOnceAndOneSilentSlotFailsAlone) {
  const std::string firmware = Firmware(40);
  for (const bool silent : {false, true}) {
    // The silent one stops answering at its third chunk and runs out of
    // retries in about a second; the others take some three seconds. With
    // none silent, nothing needs them slow.
    vc::Options others = Steady();
    if (!silent) others.faults.delayFrames = {};
    vc::Options quiet = Steady();
    quiet.faults.delayFrames = {};
    quiet.faults.ignore = *vc::FrameSet::Parse("5-100000");
    auto a = Start(others);
    auto b = Start(silent ? quiet : others);
    auto c = Start(others);
    const std::string log = dir_.filePath(silent ? "silent.jsonl" : "bench.jsonl").toStdString();
    Gang gang({"write", firmware, "--json", "--log", log, "--port",
               a->PortName() + "," + b->PortName(), "--port", c->SlavePath()});
    ASSERT_TRUE(gang.Started());
    if (silent) {
      ASSERT_TRUE(gang.ReadUntil([&] { return Has(gang.Out(), "\"result\":\"link lost\""); }))
          << gang.Out();
      EXPECT_EQ(a->GetCounters().imagesOk + c->GetCounters().imagesOk, 0u) << "not yet at the end";
    }
    EXPECT_EQ(gang.Wait(), silent ? 4 : 0) << gang.Out();
    // The same three records on standard output and in the log, each a
    // whole line naming its slot.
    const auto units = Objects(gang.Out());
    ASSERT_EQ(units.size(), 3u) << gang.Out();
    std::ifstream in(log);
    const std::string logged((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
    const auto records = Objects(logged);
    ASSERT_EQ(records.size(), 3u) << logged;
    for (const auto& r : records) {
      EXPECT_NE(std::find(units.begin(), units.end(), r), units.end()) << gang.Out() << logged;
    }
    std::set<std::string> ports;
    for (const auto& u : units) {
      const int slot = u["slot"].toInt();
      ASSERT_TRUE(slot >= 1 && slot <= 3) << gang.Out();
      const auto& controller = slot == 1 ? a : slot == 2 ? b : c;
      EXPECT_EQ(u["port"].toString().toStdString(), controller->PortName());
      ports.insert(u["port"].toString().toStdString());
      const bool failed = silent && slot == 2;
      EXPECT_EQ(u["result"].toString().toStdString(), failed ? "link lost" : "written");
      EXPECT_EQ(controller->GetCounters().imagesOk, failed ? 0u : 1u) << slot;
    }
    EXPECT_EQ(ports.size(), 3u);
  }
}

TEST_F(CliGang, CtrlCStopsEverySlotAndLeavesNoLockFile) {
  const std::string firmware = Firmware(40);
  // SIGKILL: the supervisor ends at once, and its workers, left on their own
  // waiting in --loop for a controller that never answers (so with nothing to
  // report), must notice it and let go of their ports all the same.
  for (const int signal : {SIGINT, SIGKILL}) {
    vc::Options options = Steady();
    options.faults.silent = signal == SIGKILL;
    std::vector<std::unique_ptr<vc::VirtualController>> controllers;
    std::vector<std::string> args = {"write", firmware, "--loop"};
    for (int i = 0; i < 3; ++i) {
      controllers.push_back(Start(options));
      args.insert(args.end(), {"--port", controllers.back()->PortName()});
    }
    // The lock files terminal programs use: /dev/pts/7 is LCK..pts_7.
    const auto locks = [&] {
      int n = 0;
      for (const auto& c : controllers) {
        const std::string pts = c->SlavePath().substr(std::string("/dev/pts/").size());
        n += std::filesystem::exists("/run/lock/LCK..pts_" + pts) ? 1 : 0;
      }
      return n;
    };
    Gang gang(args);
    ASSERT_TRUE(gang.Started());
    // Every slot is writing: each controller has had chunks, and each port is locked.
    const auto writing = [&] {
      for (const auto& c : controllers) {
        if (c->GetCounters().chunks < 3) return false;
      }
      return true;
    };
    auto until = Clock::now() + 60s;
    const auto ready = [&] { return signal == SIGKILL ? locks() == 3 : writing(); };
    while (!ready() && Clock::now() < until) gang.ReadUntil([] { return false; }, 20ms);
    ASSERT_TRUE(ready()) << gang.Out();
    ASSERT_EQ(locks(), 3);
    gang.Signal(signal);
    EXPECT_EQ(gang.Wait(), signal == SIGINT ? 130 : 128 + SIGKILL) << gang.Out();
    if (signal == SIGKILL) {
      // Orphans: nobody waits for them here; the processes given this test's
      // firmware file tell whether any is left.
      const auto orphans = [&] {
        int n = 0;
        for (const auto& e : std::filesystem::directory_iterator("/proc")) {
          std::ifstream in(e.path() / "cmdline", std::ios::binary);
          const std::string cmdline((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
          n += Has(cmdline, std::string("--worker") + '\0') && Has(cmdline, firmware) ? 1 : 0;
        }
        return n;
      };
      until = Clock::now() + 20s;
      while (orphans() > 0 && Clock::now() < until) poll(nullptr, 0, 50);
      EXPECT_EQ(orphans(), 0);
      EXPECT_EQ(locks(), 0);
      continue;
    }
    // Each worker let go of its port the way Ctrl+C does it, and was waited for.
    EXPECT_EQ(locks(), 0);
    EXPECT_TRUE(
        Has(gang.Out(),
            "Total: 0 written, 0 already current, 0 failed, 0 refused, 3 interrupted; exit 130."))
        << gang.Out();
    for (const auto& c : controllers) EXPECT_EQ(c->GetCounters().imagesOk, 0u);
  }
}

TEST_F(CliGang, AQuestionInOneSlotLetsTheOthersFinishAndIsAnsweredLater) {
  const std::string firmware = Firmware(8);
  for (const bool interrupt : {false, true}) {
    // Slot 1 already has the file's version: its worker asks whether to write it again.
    // A loaded machine's late chunk is not taken for a lost one.
    vc::Options steady = Steady();
    steady.intervalMs = 1000;
    vc::Options same = steady;
    same.identity.firmwareVersion = 5;
    auto a = Start(same);
    auto b = Start(steady);
    TerminalGang gang({"write", firmware, "--port", a->PortName(), "--port", b->PortName()});
    ASSERT_TRUE(gang.Started());
    ASSERT_TRUE(gang.ReadUntil([&] { return Has(gang.Err(), "Answer y or N: "); })) << gang.Err();
    EXPECT_TRUE(Has(gang.Err(), kFirmwareSameQuestion)) << gang.Err();
    // Unanswered, it holds up nobody: the other slot writes its controller to the end.
    ASSERT_TRUE(gang.ReadUntil([&] { return Has(gang.Out(), "#1  " + b->PortName()); }))
        << gang.Out() << gang.Err();
    EXPECT_TRUE(Has(gang.Out(), "firmware 3 -> 5  written")) << gang.Out();
    // The prompt is shown again under the lines printed meanwhile.
    ASSERT_TRUE(gang.ReadUntil([&] {
      const auto first = gang.Err().find("Answer y or N: ");
      return first != std::string::npos &&
             gang.Err().find("Answer y or N: ", first + 1) != std::string::npos;
    })) << gang.Err();
    EXPECT_EQ(a->GetCounters().chunks, 0u);
    if (interrupt) {
      // Ctrl+C with the question on the screen: no crash, every slot tallied.
      gang.Signal(SIGINT);
      EXPECT_EQ(gang.Wait(), 130) << gang.Out() << gang.Err();
      EXPECT_TRUE(Has(gang.Out(), "Slot 1, " + a->PortName() +
                                      ": 0 written, 0 already current, 0 failed, 0 refused"))
          << gang.Out();
      EXPECT_TRUE(Has(gang.Out(), "Total: 1 written, 0 already current, 0 failed, 0 refused"))
          << gang.Out();
      EXPECT_TRUE(Has(gang.Err(), "stopping: the question is left unanswered.")) << gang.Err();
      EXPECT_EQ(a->GetCounters().chunks, 0u);
      continue;
    }
    gang.Type("y\n");
    EXPECT_EQ(gang.Wait(), 0) << gang.Out() << gang.Err();
    EXPECT_EQ(a->GetCounters().imagesOk, 1u);
    EXPECT_TRUE(Has(gang.Out(),
                    "Total: 2 written, 0 already current, 0 failed, 0 refused, 0 "
                    "interrupted; exit 0."))
        << gang.Out();
  }
}

TEST_F(CliGang, EachSlotSaysWhyItEndedWhenTheLogCannotBeWritten) {
  const std::string firmware = Firmware(8);
  vc::Options fast = Steady();
  fast.faults.delayFrames = {};
  fast.intervalMs = 1000;  // a loaded machine's late chunk is not taken for a lost one
  auto a = Start(fast);
  auto b = Start(fast);
  TerminalGang gang(
      {"write", firmware, "--log", "/dev/full", "--port", a->PortName(), "--port", b->PortName()});
  ASSERT_TRUE(gang.Started());
  EXPECT_EQ(gang.Wait(), 2) << gang.Out() << gang.Err();
  for (const auto& [slot, port] : {std::pair{1, a->PortName()}, std::pair{2, b->PortName()}}) {
    EXPECT_TRUE(Has(gang.Err(), "slot " + std::to_string(slot) + ", " + port +
                                    ": /dev/full: this unit's record could not be written ("))
        << gang.Err();
  }
}

TEST_F(CliGang, PortNamesAreOnePerPortOptionAndInAnyCase) {
  const std::string firmware = Firmware(8);
  vc::Options fast = Steady();
  fast.faults.delayFrames = {};
  fast.intervalMs = 1000;  // a loaded machine's late chunk is not taken for a lost one
  auto a = Start(fast);
  auto b = Start(fast);
  // Two names after one --port: a usage error before any worker starts.
  for (const auto& args :
       {std::vector<std::string>{"write", firmware, "--port", a->PortName(), b->PortName()},
        std::vector<std::string>{"write", "--port", a->PortName(), b->PortName(), firmware}}) {
    TerminalGang gang(args);
    ASSERT_TRUE(gang.Started());
    EXPECT_EQ(gang.Wait(), 2);
    EXPECT_TRUE(Has(gang.Err(), "was not expected")) << gang.Err();
    EXPECT_EQ(gang.Out(), "") << "no slot started, none tallied";
  }
  EXPECT_EQ(a->GetCounters().chunks + b->GetCounters().chunks, 0u);
  // com20 is COM20, as on Windows.
  std::string lower = a->PortName();
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  Gang gang({"write", firmware, "--json", "--port", lower, "--port", b->PortName()});
  ASSERT_TRUE(gang.Started());
  EXPECT_EQ(gang.Wait(), 0) << gang.Out();
  EXPECT_EQ(a->GetCounters().imagesOk, 1u);
  EXPECT_EQ(b->GetCounters().imagesOk, 1u);
  const auto units = Objects(gang.Out());
  ASSERT_EQ(units.size(), 2u) << gang.Out();
  EXPECT_EQ(units[0]["port"].toString().toStdString() == a->PortName() ||
                units[1]["port"].toString().toStdString() == a->PortName(),
            true)
      << gang.Out();
}

}  // namespace
