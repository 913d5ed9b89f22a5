// tavrin-cli with several ports: a supervisor and a worker process per port,
// run as a process of its own against virtual controllers on COM links of the
// test's own.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "image/ImageFile.h"
#include "platform/Process.h"
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
    const auto until = Clock::now() + deadline;
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
    auto controller = std::make_unique<vc::VirtualController>(options);
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
    // retries in about a second; the others take some three seconds.
    vc::Options quiet = Steady();
    quiet.faults.delayFrames = {};
    quiet.faults.ignore = *vc::FrameSet::Parse("5-100000");
    auto a = Start(Steady());
    auto b = Start(silent ? quiet : Steady());
    auto c = Start(Steady());
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

// A slot that ends says why, as one port alone would: a log the disk does
// not take is named for each slot, not only "ended, exit 2".
TEST_F(CliGang, EachSlotSaysWhyItEnded) {
  vc::Options quick = Steady();
  quick.faults.delayFrames = {};
  auto a = Start(quick);
  auto b = Start(quick);
  // The notes go to standard error.
  const std::string out = dir_.filePath("full.out").toStdString();
  const std::string command = "'" + kCli + "' write '" + Firmware(4) +
                              "' --yes --log /dev/full --port " + a->PortName() + " --port " +
                              b->PortName() + " > '" + out + "' 2>&1";
  const int status = std::system(command.c_str());
  std::ifstream in(out);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_TRUE(WIFEXITED(status)) << text;
  EXPECT_EQ(WEXITSTATUS(status), 2) << text;
  for (const auto& [slot, port] : {std::pair{1, a->PortName()}, std::pair{2, b->PortName()}}) {
    EXPECT_TRUE(Has(text, "slot " + std::to_string(slot) + ", " + port +
                              ": /dev/full: this unit's record could not be written"))
        << text;
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

}  // namespace
