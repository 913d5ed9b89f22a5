// tavrin-cli from end to end: the program itself, run as a process of its
// own, against the virtual controller on a COM link of the test's own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "image/ImageFile.h"
#include "protocol/Messager.h"
#include "support/FrameBuilders.h"
#include "support/Pty.h"
#include "support/RecordingWindow.h"
#include "support/Wait.h"
#include "vc/VirtualController.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace vc = tavrin::vc;
namespace image = tavrin::image;

// The loaders' texts, as the window shows them.
const std::string kFirmwareHeaderText = " The firmware file is corrupted, the action is canceled!";
const std::string kFirmwareWrongDeviceText = " The firmware is not designed for this device! ";
const std::string kFirmwareTooLargeText =
    " The firmware file is too large (more than 10240000 bytes), the action is canceled!";
const std::string kFirmwareSameQuestion =
    "In the device already offered firmware version, want to continue?";

const std::string kCli = std::string(TAVRIN_BUILD_DIR) + "/bin/tavrin-cli";

// tavrin-cli as a child process: standard input from /dev/null, both outputs
// collected.
class Cli {
 public:
  // `closedOutput`: standard output is a pipe whose reader has gone before
  // the program starts (`tavrin-cli ... | true`).
  explicit Cli(const std::vector<std::string>& args, bool closedOutput = false) {
    int out[2];
    int err[2];
    if (pipe(out) != 0 || pipe(err) != 0) return;
    if (closedOutput) {
      close(out[0]);
      out[0] = -1;
    }
    // Made before the fork: the child of a threaded process only execs.
    std::vector<char*> argv{const_cast<char*>(kCli.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      const int null = open("/dev/null", O_RDONLY);
      dup2(null, 0);
      dup2(out[1], 1);
      dup2(err[1], 2);
      if (out[0] >= 0) close(out[0]);
      close(err[0]);
      execv(kCli.c_str(), argv.data());
      _exit(127);
    }
    close(out[1]);
    close(err[1]);
    fds_[0] = out[0];  // -1 with closedOutput
    fds_[1] = err[0];
  }
  ~Cli() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    for (int fd : fds_) {
      if (fd >= 0) close(fd);
    }
  }

  // Reads output until `pred` holds or both outputs end; false on the deadline.
  bool ReadUntil(const std::function<bool()>& pred, std::chrono::milliseconds deadline = 30s) {
    const auto until = Clock::now() + Scaled(deadline);
    while (!pred()) {
      pollfd p[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
      if (left.count() <= 0 || (fds_[0] < 0 && fds_[1] < 0)) return pred();
      if (poll(p, 2, static_cast<int>(left.count())) <= 0) continue;
      for (int i = 0; i < 2; ++i) {
        if (p[i].revents == 0) continue;
        char buffer[4096];
        const ssize_t n = read(fds_[i], buffer, sizeof buffer);
        if (n <= 0) {
          close(fds_[i]);
          fds_[i] = -1;
        } else {
          (i == 0 ? out_ : err_).append(buffer, static_cast<std::size_t>(n));
        }
      }
    }
    return true;
  }

  // Waits for the program to end; its exit status, or -1 on the deadline.
  int Wait(std::chrono::milliseconds deadline = 30s) {
    ReadUntil([] { return false; }, deadline);
    const auto until = Clock::now() + 5s;
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (Clock::now() > until) return -1;
      usleep(1000);
    }
    exited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  void Interrupt() { kill(pid_, SIGINT); }
  void Signal(int signal) { kill(pid_, signal); }
  // Whether `signal` is still waiting to be delivered (two sent before the
  // first is taken count as one).
  bool SignalPending(int signal) const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("SigPnd:", 0) == 0 || line.rfind("ShdPnd:", 0) == 0) {
        if ((std::stoull(line.substr(7), nullptr, 16) >> (signal - 1) & 1) != 0) return true;
      }
    }
    return false;
  }
  const std::string& Out() const { return out_; }
  const std::string& Err() const { return err_; }
  std::string All() const { return out_ + err_; }

 private:
  pid_t pid_ = -1;
  int fds_[2] = {-1, -1};
  bool exited_ = false;
  std::string out_;
  std::string err_;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string Hex2(std::uint8_t byte) {
  char text[3];
  std::snprintf(text, sizeof text, "%02x", byte);
  return text;
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// The lines of a --log file, each parsed; a line that is no whole JSON object
// fails the test.
std::vector<QJsonObject> LogRecords(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<QJsonObject> records;
  for (std::string line; std::getline(in, line);) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(line), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << line;
    EXPECT_TRUE(doc.isObject()) << line;
    records.push_back(doc.object());
  }
  return records;
}

std::string Sha256Of(const std::string& path) {
  QFile file(QString::fromStdString(path));
  if (!file.open(QIODevice::ReadOnly)) return {};
  return QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256).toHex().toStdString();
}

// The lock file terminal programs use for `device`: /dev/pts/7 is LCK..pts_7.
std::string LockPath(const std::string& device) {
  std::string name = device.substr(std::strlen("/dev/"));
  std::replace(name.begin(), name.end(), '/', '_');
  return "/run/lock/LCK.." + name;
}

termios Settings(const std::string& device) {
  termios t{};
  const int fd = open(device.c_str(), O_RDWR | O_NOCTTY);
  EXPECT_GE(fd, 0) << device;
  if (fd >= 0) {
    EXPECT_EQ(tcgetattr(fd, &t), 0);
    close(fd);
  }
  return t;
}

class CliEndToEnd : public ::testing::Test {
 protected:
  // A code-1 controller, firmware 3, data map 2, quick: small images take a
  // fraction of a second.
  static vc::Options Controller() {
    vc::Options o;
    o.identity.deviceCode = 1;
    o.identity.bootloaderVersion = 4;
    o.identity.firmwareVersion = 3;
    o.identity.dataVersion = 2;
    o.identity.dataMemoryCheck = 0;
    o.intervalMs = 150;
    o.frameGapMs = 0;
    return o;
  }

  std::unique_ptr<vc::VirtualController> Start(const vc::Options& options) {
    auto controller = std::make_unique<vc::VirtualController>(ScaledTimes(options));
    std::string error;
    EXPECT_TRUE(controller->Start(&error)) << error;
    return controller;
  }

  std::string File(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    const std::string path = (std::filesystem::path(dir_.path().toStdString()) / name).string();
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return path;
  }

  std::string Firmware(const std::string& name, std::uint16_t device, std::uint16_t version) {
    std::mt19937 rng(version);
    return File(name, image::BuildFirmware({device, version}, image::GeneratePayload(6, rng), rng));
  }

  QTemporaryDir dir_;
};

TEST_F(CliEndToEnd, IdentifyPrintsTheWindowsReportLineForLineAndAsJson) {
  const vc::Options options = Controller();
  auto controller = Start(options);

  // The window's log for the same identity.
  std::vector<std::string> windowLog;
  {
    RecordingWindow window;
    test_frames::Identity id;
    id.deviceType = options.identity.deviceCode;
    id.bootloader = options.identity.bootloaderVersion;
    id.firmware = options.identity.firmwareVersion;
    id.data = options.identity.dataVersion;
    id.programCheck = options.identity.programMemoryCheck;
    id.dataCheck = options.identity.dataMemoryCheck;
    ASSERT_TRUE(
        HandleIdentifyReply(test_frames::Scrambled(test_frames::PlainIdentifyReply(id)).data()));
    windowLog = window.Log();
    ResetMessagerForTest();
  }
  ASSERT_EQ(windowLog.size(), 7u);

  Cli plain({"identify", "--timeout", "20"});
  ASSERT_EQ(plain.Wait(), 0) << plain.All();
  // Standard output is the log alone; the status texts go beside it.
  EXPECT_EQ(Lines(plain.Out()), windowLog) << plain.Out();
  EXPECT_TRUE(Has(plain.Err(), "status: The device is connected!")) << plain.Err();

  Cli json({"identify", "--json"});
  ASSERT_EQ(json.Wait(), 0) << json.All();
  QJsonParseError error{};
  const QJsonObject o =
      QJsonDocument::fromJson(QByteArray::fromStdString(json.Out()), &error).object();
  ASSERT_EQ(error.error, QJsonParseError::NoError) << json.Out();
  EXPECT_EQ(o["port"].toString().toStdString(), controller->PortName());
  EXPECT_EQ(o["deviceCode"].toInt(), 1);
  EXPECT_EQ(o["model"].toString(), QStringLiteral("Arvo K16-300"));
  EXPECT_EQ(o["bootloaderVersion"].toInt(), 4);
  EXPECT_EQ(o["firmwareVersion"].toInt(), 3);
  EXPECT_EQ(o["dataMapVersion"].toInt(), 2);
  EXPECT_TRUE(o["programMemoryOk"].toBool());
  EXPECT_FALSE(o["dataMemoryOk"].toBool());
  EXPECT_FALSE(o["alert"].toBool());
  EXPECT_EQ(o["result"].toString(), QStringLiteral("identified"));
  // The human text went to standard error.
  EXPECT_TRUE(Has(json.Err(), windowLog[3])) << json.Err();

  // The device a Linux user knows stands for its COM name; a device no COM
  // name stands for is a mistake that shows the ports there are.
  Cli byPath({"identify", "--json", "--port", controller->SlavePath()});
  ASSERT_EQ(byPath.Wait(), 0) << byPath.All();
  EXPECT_TRUE(Has(byPath.Out(), "\"port\":\"" + controller->PortName() + "\"")) << byPath.Out();
  Cli unknown({"identify", "--port", "/dev/null"});
  EXPECT_EQ(unknown.Wait(), 2) << unknown.All();
  EXPECT_TRUE(Has(unknown.Err(), "/dev/null: no COM port stands for this device")) << unknown.Err();
  EXPECT_TRUE(Has(unknown.Err(), "  " + controller->PortName() + " ")) << unknown.Err();
}

TEST_F(CliEndToEnd, WritesFirmwareWithVerifyThenADataMap) {
  auto controller = Start(Controller());
  const std::string firmware = Firmware("fw-v5.sbin", 1, 5);

  Cli write({"write", firmware, "--verify", "--json"});
  ASSERT_EQ(write.Wait(), 0) << write.All();
  EXPECT_EQ(controller->GetCounters().imagesOk, 1u);
  EXPECT_EQ(controller->CurrentIdentity().firmwareVersion, 5);
  EXPECT_TRUE(Has(write.Err(), std::string(kResultOkCaption) + ": " + kFirmwareResultOkText))
      << write.Err();
  EXPECT_TRUE(Has(write.Err(), "Verified: the controller reports firmware 5.")) << write.Err();
  const QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(write.Out())).object();
  EXPECT_EQ(o["firmwareVersion"].toInt(), 3);
  EXPECT_EQ(o["firmwareVersionAfter"].toInt(), 5);
  EXPECT_EQ(o["frames"].toInt(), 14);
  EXPECT_EQ(o["framesSent"].toInt(), 14);
  EXPECT_EQ(o["result"].toString(), QStringLiteral("written"));
  // Without a terminal, the progress is a plain line at every tenth, also
  // when the write passes one faster than the lines are made.
  for (int tenth = 0; tenth <= 10; ++tenth) {
    const int reached = std::max(1, (tenth * 14 + 9) / 10);
    EXPECT_TRUE(Has(write.Err(), std::to_string(tenth * 10) + "%  " + std::to_string(reached) + "/14 frames"))
        << tenth << "\n" << write.Err();
  }

  std::mt19937 rng(2);
  const std::string map =
      File("map-v2.lbin", image::BuildDataMap({1, 2}, image::GeneratePayload(5, rng), rng));
  Cli writeMap({"write", map});
  ASSERT_EQ(writeMap.Wait(), 0) << writeMap.All();
  EXPECT_TRUE(Has(writeMap.Out(), kDataMapResultOkText)) << writeMap.Out();
  EXPECT_EQ(controller->GetCounters().imagesOk, 2u);
}

TEST_F(CliEndToEnd, RefusedFilesAndQuestionsGiveExitFiveWithTheWindowsTexts) {
  // Nothing opened for a file of another kind.
  Cli usage({"write", File("notes.txt", {1, 2, 3})});
  EXPECT_EQ(usage.Wait(), 2);
  EXPECT_TRUE(Has(usage.Err(), "notes.txt")) << usage.Err();
  // Nor waited on for a FIFO by a firmware's name.
  const std::string fifo =
      (std::filesystem::path(dir_.path().toStdString()) / "fifo.sbin").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  Cli blocked({"write", fifo});
  EXPECT_EQ(blocked.Wait(5s), 2) << blocked.All();

  auto controller = Start(Controller());
  std::mt19937 rng(9);
  auto damaged = image::BuildFirmware({1, 7}, image::GeneratePayload(4, rng), rng);
  damaged[3 * 64 + 30] ^= 0x40;
  const std::string same = Firmware("same.sbin", 1, 3);
  // Far larger than memory (sparse): refused by its size, never read.
  const std::string huge = File("huge.sbin", {});
  std::filesystem::resize_file(huge, std::uintmax_t{1} << 42);
  const struct {
    std::vector<std::string> args;
    std::string text;
  } cases[] = {
      {{Firmware("device5.sbin", 5, 7)}, kFirmwareWrongDeviceText},
      {{File("damaged.sbin", damaged)}, kFirmwareHeaderText},
      {{huge}, kFirmwareTooLargeText},
      // The controller's own version, asked about; no terminal answers No.
      {{same}, kFirmwareSameQuestion},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args{"write"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Cli cli(args);
    EXPECT_EQ(cli.Wait(), 5) << c.args[0] << "\n" << cli.All();
    EXPECT_TRUE(Has(cli.Out(), c.text)) << cli.Out();
  }
  // On a line, without --rewrite, the same version is left alone as already
  // current, even with --yes.
  Cli current({"write", same, "--yes", "--json", "--loop"});
  ASSERT_TRUE(current.ReadUntil([&] { return Has(current.Out(), "already current"); }))
      << current.All();
  current.Interrupt();
  EXPECT_EQ(current.Wait(), 0) << current.All();
  EXPECT_TRUE(Has(current.Out(), "\"result\":\"already current\"")) << current.Out();
  // Left alone: nothing was written or read back, so no version after.
  EXPECT_TRUE(Has(current.Out(), "\"firmwareVersionAfter\":null")) << current.Out();
  EXPECT_EQ(controller->GetCounters().chunks, 0u);
  EXPECT_EQ(controller->GetCounters().transfersStarted, 0u);
}

TEST_F(CliEndToEnd, ALostLinkAndCtrlCMidWriteBothSayTheImageIsIncomplete) {
  const std::string firmware = Firmware("fw-v5.sbin", 1, 5);
  {
    vc::Options options = Controller();
    options.faults.ignore = *vc::FrameSet::Parse("3-100000");  // 1: identify, 2: frame 0
    auto controller = Start(options);
    // A failed unit keeps its trace, also when only failures are kept.
    const std::string trace = File("lost.trace", {});
    Cli cli({"write", firmware, "--trace", trace, "--trace-failures-only"});
    EXPECT_EQ(cli.Wait(), 4) << cli.All();
    const std::string traced = ReadFile(trace);
    EXPECT_TRUE(Has(traced, "retransmission 5")) << traced;
    EXPECT_TRUE(Has(traced, "retry limit")) << traced;
    EXPECT_TRUE(Has(traced, "unit ends: link lost")) << traced;
    EXPECT_TRUE(Has(cli.Err(), std::string("status: ") + kRetryLimitText)) << cli.Err();
    EXPECT_TRUE(Has(cli.Err(), "did not get the whole image")) << cli.Err();
    EXPECT_FALSE(Has(cli.Out(), kFirmwareResultOkText));
    EXPECT_EQ(controller->GetCounters().imagesOk, 0u);
  }
  {
    // Unplugged while the transfer waits without retransmission: no retry
    // limit, no box, only the vanished port ends the link.
    vc::Options options = Controller();
    options.intervalMs = 0;
    options.faults.ignore = *vc::FrameSet::Parse("5-100000");
    auto controller = Start(options);
    Cli cli({"write", firmware});
    const auto until = Clock::now() + 30s;
    while (controller->GetCounters().framesIn < 5 && Clock::now() < until)
      cli.ReadUntil([] { return false; }, 50ms);
    ASSERT_GE(controller->GetCounters().framesIn, 5u) << cli.All();
    controller->Stop();
    EXPECT_EQ(cli.Wait(10s), 4) << cli.All();
    EXPECT_TRUE(Has(cli.Err(), "did not get the whole image")) << cli.Err();
  }
  vc::Options slow = Controller();
  slow.intervalMs = 2000;
  slow.faults.delayMs = 100;
  slow.faults.delayFrames = *vc::FrameSet::Parse("3-100000");
  auto controller = Start(slow);
  Cli cli({"write", firmware});
  ASSERT_TRUE(cli.ReadUntil([&] { return Has(cli.Err(), "10%"); })) << cli.All();
  cli.Interrupt();
  EXPECT_EQ(cli.Wait(), 130) << cli.All();
  EXPECT_TRUE(Has(cli.Err(), "did not get the whole image and must be written again")) << cli.Err();
  EXPECT_LT(controller->GetCounters().chunks, 14u);
  EXPECT_EQ(controller->GetCounters().closes, 0u);
}

// A time-out of weeks is refused with the range there is; the longest, a
// day, waits: Ctrl+C is what ends the wait for a controller that never comes.
TEST_F(CliEndToEnd, ALongTimeOutWaitsUntilCtrlC) {
  for (const char* outside : {"3000000", "0.0004"}) {
    Cli refused({"identify", "--port", "COM250", "--timeout", outside});
    EXPECT_EQ(refused.Wait(), 2) << refused.All();
    EXPECT_TRUE(Has(refused.Err(), "seconds from 0.1 to 86400")) << refused.Err();
  }
  Cli cli({"identify", "--port", "COM250", "--timeout", "86400"});
  // The scan has begun: Ctrl+C is the program's own to handle by now.
  ASSERT_TRUE(cli.ReadUntil([&] { return Has(cli.Err(), "status: "); })) << cli.All();
  EXPECT_FALSE(cli.ReadUntil([&] { return Has(cli.Err(), "no controller answered"); }, 1s))
      << cli.All();
  cli.Interrupt();
  EXPECT_EQ(cli.Wait(), 130) << cli.All();
  EXPECT_TRUE(Has(cli.Err(), "tavrin-cli: interrupted.")) << cli.Err();
}

TEST_F(CliEndToEnd, LoopWritesOneControllerAfterTheOtherAndTalliesOnCtrlC) {
  const std::string firmware = Firmware("fw-v5.sbin", 1, 5);
  const std::string log = dir_.filePath("line.jsonl").toStdString();
  Cli loop({"write", firmware, "--loop", "--log", log});
  for (int n = 1; n <= 3; ++n) {
    auto controller = Start(Controller());
    const std::string line = "#" + std::to_string(n) + " ";
    ASSERT_TRUE(loop.ReadUntil([&] { return Has(loop.Out(), line); })) << loop.All();
    EXPECT_EQ(controller->GetCounters().imagesOk, 1u);
    // Its record is on the disk before the loop waits for the next unit.
    EXPECT_EQ(LogRecords(log).size(), static_cast<std::size_t>(n));
    // Unplugged: its port leaves the list.
    controller->Stop();
    ASSERT_TRUE(loop.ReadUntil([&] { return Count(loop.Err(), "has gone") == std::size_t(n); }))
        << loop.All();
  }
  loop.Interrupt();
  EXPECT_EQ(loop.Wait(), 0) << loop.All();
  EXPECT_TRUE(Has(loop.Out(),
                  "Tally: 3 written, 0 already current, 0 failed, 0 refused, 0 "
                  "interrupted."))
      << loop.Out();
  EXPECT_TRUE(Has(loop.Out(), "firmware 3 -> 5  written")) << loop.Out();
  const auto records = LogRecords(log);
  ASSERT_EQ(records.size(), 3u);
  for (const QJsonObject& r : records) {
    EXPECT_EQ(r["record"].toInt(), 1);
    EXPECT_EQ(r["fileSha256"].toString().toStdString(), Sha256Of(firmware));
    EXPECT_EQ(r["fileName"].toString(), QStringLiteral("fw-v5.sbin"));
    EXPECT_EQ(r["firmwareVersionAfter"].toInt(), 5);
    EXPECT_EQ(r["result"].toString(), QStringLiteral("written"));
    EXPECT_TRUE(r["time"].toString().endsWith('Z')) << r["time"].toString().toStdString();
  }
}

TEST_F(CliEndToEnd, AnUnknownControllerLeftOnTheFixtureIsOneRefusedUnit) {
  vc::Options options = Controller();
  options.identity.deviceCode = 999;
  auto controller = Start(options);
  Cli loop(
      {"write", Firmware("fw-v5.sbin", 1, 5), "--loop", "--yes", "--port", controller->PortName()});
  ASSERT_TRUE(loop.ReadUntil([&] { return Has(loop.Out(), "#1 "); })) << loop.All();
  // Several probes (each opens and closes the port) answered by the same
  // unknown model: still the one unit.
  const std::uint64_t seen = controller->GetCounters().hostCloses;
  ASSERT_TRUE(
      controller->WaitUntil([&] { return controller->GetCounters().hostCloses >= seen + 5; }, 60s));
  controller->Stop();
  ASSERT_TRUE(loop.ReadUntil([&] { return Has(loop.Err(), "has gone"); })) << loop.All();
  loop.Interrupt();
  EXPECT_EQ(loop.Wait(), 5) << loop.All();
  EXPECT_FALSE(Has(loop.Out(), "#2 ")) << loop.Out();
  EXPECT_TRUE(Has(loop.Out(),
                  "Tally: 0 written, 0 already current, 0 failed, 1 refused, 0 "
                  "interrupted."))
      << loop.Out();
}

TEST_F(CliEndToEnd, AControllerThatRestartsAfterItsWriteIsOneWrittenUnit) {
  // It goes silent, leaves the port list and comes back under another name
  // at the version just written: with --yes the loop must not write it again.
  vc::Options options = Controller();
  options.resetAfterUpdate = std::chrono::milliseconds(500);
  options.resetPort = "COM87";
  auto controller = Start(options);
  Cli loop({"write", Firmware("fw-v5.sbin", 1, 5), "--loop", "--yes", "--rewrite", "--json"});
  ASSERT_TRUE(loop.ReadUntil([&] { return Has(loop.Err(), "same unit, back after its restart"); }))
      << loop.All();
  EXPECT_EQ(controller->GetCounters().resetsEnded, 1u);
  EXPECT_EQ(controller->PortName(), "COM87");
  controller->Stop();
  ASSERT_TRUE(loop.ReadUntil([&] { return Count(loop.Err(), "has gone") == 2; })) << loop.All();
  loop.Interrupt();
  EXPECT_EQ(loop.Wait(), 0) << loop.All();
  EXPECT_EQ(controller->GetCounters().transfersStarted, 1u);
  EXPECT_EQ(Count(loop.Out(), "\"result\""), 1u) << loop.Out();
  EXPECT_TRUE(Has(loop.Err(),
                  "Tally: 1 written, 0 already current, 0 failed, 0 refused, 0 "
                  "interrupted."))
      << loop.Err();
}

// On an adapter fixed to the fixture the port stays: a board swapped for
// another of its model within a second shows only as a silence, and the
// silence is the gap. Nor does the vanished unit's port, gone for a moment
// while the probe waits, pass for an answer once it is back.
TEST_F(CliEndToEnd, AQuickSwapOfOneModelIsANewUnit) {
  const std::string log = dir_.filePath("swap.jsonl").toStdString();
  {
    auto controller = Start(Controller());
    Cli loop({"write", Firmware("fw-v5.sbin", 1, 5), "--loop", "--yes", "--log", log, "--port",
              controller->PortName()});
    ASSERT_TRUE(loop.ReadUntil([&] { return Has(loop.Out(), "#1 "); })) << loop.All();
    vc::ResetPlan swap;
    swap.silentFor = 1000ms;
    swap.identity = Controller().identity;  // the next board, at firmware 3
    ASSERT_TRUE(controller->Reset(swap));
    ASSERT_TRUE(loop.ReadUntil([&] { return Has(loop.Out(), "#2 "); }, 20s)) << loop.All();
    EXPECT_EQ(controller->GetCounters().imagesOk, 2u);
    loop.Interrupt();
    EXPECT_EQ(loop.Wait(), 0) << loop.All();
    EXPECT_TRUE(Has(loop.Out(), "Tally: 2 written")) << loop.Out();
    const auto records = LogRecords(log);
    ASSERT_EQ(records.size(), 2u);
    for (const QJsonObject& r : records) {
      EXPECT_EQ(r["result"].toString(), QStringLiteral("written"));
      EXPECT_EQ(r["firmwareVersion"].toInt(), 3);
    }
  }
  {
    // A controller with its own USB link: the port leaves the list and the
    // next board brings it back under the same name.
    std::filesystem::remove(log);
    vc::Options options = Controller();
    options.resetUnplug = true;
    auto controller = Start(options);
    Cli loop({"write", Firmware("fw-v5.sbin", 1, 5), "--loop", "--yes", "--log", log, "--port",
              controller->PortName()});
    ASSERT_TRUE(loop.ReadUntil([&] { return Has(loop.Out(), "#1 "); })) << loop.All();
    vc::ResetPlan swap;
    swap.silentFor = 1000ms;
    swap.unplug = true;
    swap.identity = Controller().identity;
    ASSERT_TRUE(controller->Reset(swap));
    ASSERT_TRUE(loop.ReadUntil([&] { return Has(loop.Out(), "#2 "); }, 20s)) << loop.All();
    EXPECT_EQ(controller->GetCounters().imagesOk, 2u);
    loop.Interrupt();
    EXPECT_EQ(loop.Wait(), 0) << loop.All();
    EXPECT_EQ(LogRecords(log).size(), 2u);
  }
}

TEST_F(CliEndToEnd, AVerifyTimeOutIsStillOneUnitWithItsLineAndRecord) {
  vc::Options options = Controller();
  options.resetAfterUpdate = std::chrono::milliseconds(600000);
  auto controller = Start(options);
  const std::string log = dir_.filePath("verify.jsonl").toStdString();
  Cli loop({"write", Firmware("fw-v5.sbin", 1, 5), "--loop", "--verify", "--timeout", "1", "--log",
            log, "--port", controller->PortName()});
  ASSERT_TRUE(loop.ReadUntil([&] { return Has(loop.Out(), "#1 "); })) << loop.All();
  EXPECT_TRUE(Has(loop.Out(), "verify timed out")) << loop.Out();
  loop.Interrupt();
  EXPECT_EQ(loop.Wait(), 1) << loop.All();
  EXPECT_TRUE(Has(loop.Out(),
                  "Tally: 0 written, 0 already current, 1 failed, 0 refused, 0 "
                  "interrupted."))
      << loop.Out();
  const auto records = LogRecords(log);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["result"].toString(), QStringLiteral("verify timed out"));
  EXPECT_EQ(records[0]["exitStatus"].toInt(), 3);
}

// `... | true`: the output's reader is gone before the first frame. Nothing
// is sent; the unit that answered is on record as interrupted, untouched.
TEST_F(CliEndToEnd, AClosedOutputBeforeTheWriteSendsNoFrame) {
  auto controller = Start(Controller());
  const std::string log = dir_.filePath("closed.jsonl").toStdString();
  Cli cli({"write", Firmware("fw-v5.sbin", 1, 5), "--yes", "--port", controller->PortName(),
           "--log", log},
          true);
  EXPECT_EQ(cli.Wait(), 130) << cli.All();
  EXPECT_TRUE(Has(cli.Err(), "before the write began: nothing was written")) << cli.Err();
  EXPECT_EQ(controller->GetCounters().transfersStarted, 0u);
  EXPECT_EQ(controller->GetCounters().chunks, 0u);
  const auto records = LogRecords(log);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["result"].toString(), QStringLiteral("interrupted"));
  EXPECT_EQ(records[0]["framesSent"].toInt(), 0);
}

// A hang-up (the SSH session closed) asks nobody to stop the write in hand:
// the unit is finished and recorded, then the program ends.
TEST_F(CliEndToEnd, SighupMidWriteFinishesTheUnitThenEnds) {
  vc::Options slow = Controller();
  slow.faults.delayMs = 30;
  slow.faults.delayFrames = *vc::FrameSet::Parse("3-100000");
  auto controller = Start(slow);
  const std::string log = dir_.filePath("hup.jsonl").toStdString();
  Cli cli({"write", Firmware("fw-v5.sbin", 1, 5), "--loop", "--yes", "--log", log});
  ASSERT_TRUE(cli.ReadUntil([&] { return Has(cli.Err(), "10%"); })) << cli.All();
  cli.Signal(SIGHUP);
  EXPECT_EQ(cli.Wait(), 0) << cli.All();
  EXPECT_EQ(controller->GetCounters().imagesOk, 1u);
  const auto records = LogRecords(log);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["result"].toString(), QStringLiteral("written"));
  EXPECT_TRUE(Has(cli.Out(), "Tally: 1 written")) << cli.Out();

  // Between units, with the board still on the fixture and probed: the
  // operator is told why the line stopped. The board answers at once, as a
  // real one does: the slow answers above, widened under a sanitizer, came as
  // late as the probe's steps and made the board look taken off.
  vc::Options current = Controller();
  current.identity.firmwareVersion = 5;
  auto board = Start(current);
  Cli left({"write", Firmware("fw-v5.sbin", 1, 5), "--loop", "--yes", "--port",
            board->PortName()});
  ASSERT_TRUE(left.ReadUntil([&] { return Has(left.Out(), "#1 "); })) << left.All();
  const std::uint64_t seen = board->GetCounters().hostCloses;
  ASSERT_TRUE(board->WaitUntil([&] { return board->GetCounters().hostCloses >= seen + 3; }, 60s));
  left.Signal(SIGHUP);
  EXPECT_EQ(left.Wait(), 0) << left.All();
  EXPECT_TRUE(Has(left.Err(), "the session has hung up (SIGHUP): ending.")) << left.Err();
  EXPECT_TRUE(Has(left.Out(), "Tally: 0 written, 1 already current")) << left.All();
}

// The written unit restarts, silent for a while; another controller at
// firmware 11 answers on the next port meanwhile. --verify checks the unit
// written, never the other one.
TEST_F(CliEndToEnd, VerifyChecksTheUnitWrittenNotTheOneOnTheNextPort) {
  vc::Options options = Controller();
  options.resetAfterUpdate = std::chrono::milliseconds(1500);
  auto unit = Start(options);
  const std::string log = dir_.filePath("verify.jsonl").toStdString();
  Cli cli({"write", Firmware("fw-v5.sbin", 1, 5), "--verify", "--yes", "--log", log});
  ASSERT_TRUE(cli.ReadUntil([&] { return Has(cli.Err(), "10%"); })) << cli.All();
  vc::Options other = Controller();
  other.identity.firmwareVersion = 11;
  auto neighbour = Start(other);
  ASSERT_NE(neighbour->PortName(), unit->PortName());
  EXPECT_EQ(cli.Wait(), 0) << cli.All();
  EXPECT_TRUE(Has(cli.Out(), "Verified: the controller reports firmware 5.")) << cli.All();
  EXPECT_EQ(neighbour->GetCounters().transfersStarted, 0u);
  const auto records = LogRecords(log);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["result"].toString(), QStringLiteral("written"));
  EXPECT_EQ(records[0]["firmwareVersionAfter"].toInt(), 5);
  EXPECT_EQ(records[0]["port"].toString().toStdString(), unit->PortName());
}

// The file replaced between two units: each record names the bytes its unit
// received, read once for it.
TEST_F(CliEndToEnd, AFileReplacedMidLoopIsRecordedAsTheBytesEachUnitGot) {
  const std::string firmware = Firmware("fw.sbin", 1, 5);
  const std::string first = Sha256Of(firmware);
  const std::string log = dir_.filePath("replaced.jsonl").toStdString();
  Cli loop({"write", firmware, "--loop", "--yes", "--log", log});
  {
    auto controller = Start(Controller());
    ASSERT_TRUE(loop.ReadUntil([&] { return Has(loop.Out(), "#1 "); })) << loop.All();
    controller->Stop();
    ASSERT_TRUE(loop.ReadUntil([&] { return Has(loop.Err(), "has gone"); })) << loop.All();
  }
  // Replaced in place, as a copy over it would.
  std::mt19937 rng(6);
  const auto bytes = image::BuildFirmware({1, 6}, image::GeneratePayload(9, rng), rng);
  File("fw.sbin", bytes);
  const std::string second = Sha256Of(firmware);
  ASSERT_NE(first, second);
  auto controller = Start(Controller());
  ASSERT_TRUE(loop.ReadUntil([&] { return Has(loop.Out(), "#2 "); })) << loop.All();
  EXPECT_EQ(controller->CurrentIdentity().firmwareVersion, 6);
  loop.Interrupt();
  EXPECT_EQ(loop.Wait(), 0) << loop.All();
  const auto records = LogRecords(log);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0]["fileSha256"].toString().toStdString(), first);
  EXPECT_EQ(records[1]["fileSha256"].toString().toStdString(), second);
  EXPECT_EQ(records[1]["fileSize"].toInt(), static_cast<int>(bytes.size()));
  EXPECT_EQ(records[1]["firmwareVersionAfter"].toInt(), 6);
}

TEST_F(CliEndToEnd, TwoCtrlCDuringAScanLeaveNoLockAndTheSettingsRestored) {
  vc::Options options = Controller();
  options.faults.silent = true;
  auto controller = Start(options);
  const termios before = Settings(controller->SlavePath());
  Cli cli({"identify", "--port", controller->PortName()});
  // The port is open, with its lock, and the scan step waits for an answer.
  const std::string lock = LockPath(controller->SlavePath());
  ASSERT_TRUE(controller->WaitUntil(
      [&] { return controller->GetCounters().framesIn >= 2 && std::filesystem::exists(lock); },
      30s));
  cli.Interrupt();
  const auto until = Clock::now() + 10s;
  while (cli.SignalPending(SIGINT) && Clock::now() < until) std::this_thread::yield();
  cli.Interrupt();
  EXPECT_EQ(cli.Wait(), 130) << cli.All();
  EXPECT_FALSE(std::filesystem::exists(lock));
  const termios after = Settings(controller->SlavePath());
  EXPECT_EQ(before.c_cflag, after.c_cflag);
  EXPECT_EQ(before.c_iflag, after.c_iflag);
  EXPECT_EQ(before.c_lflag, after.c_lflag);
  EXPECT_EQ(cfgetospeed(&before), cfgetospeed(&after));
}

TEST_F(CliEndToEnd, TwoProgramsAppendingToOneLogNeverMixTheirLines) {
  auto first = Start(Controller());
  auto second = Start(Controller());
  const std::string log = dir_.filePath("shared.jsonl").toStdString();
  // A line another program left cut short (a full disk) must not swallow the next.
  const std::string cut = "{\"result\":\"writ";
  std::ofstream(log, std::ios::binary) << cut;
  constexpr int kRounds = 8;
  for (int round = 0; round < kRounds; ++round) {
    Cli a({"identify", "--port", first->PortName(), "--log", log});
    Cli b({"identify", "--port", second->PortName(), "--log", log});
    ASSERT_EQ(a.Wait(), 0) << a.All();
    ASSERT_EQ(b.Wait(), 0) << b.All();
  }
  std::string text = ReadFile(log);
  ASSERT_EQ(text.rfind(cut + "\n{", 0), 0u) << text;
  std::ofstream(log, std::ios::binary | std::ios::trunc) << text.substr(cut.size() + 1);
  const auto records = LogRecords(log);
  ASSERT_EQ(records.size(), 2u * kRounds);
  for (const QJsonObject& r : records)
    EXPECT_EQ(r["result"].toString(), QStringLiteral("identified"));
}

TEST_F(CliEndToEnd, TraceOfAWriteHoldsEveryFrameOnTheWireInOrder) {
  vc::Options options = Controller();
  options.recordWire = true;
  auto controller = Start(options);
  const std::string firmware = Firmware("fw-v5.sbin", 1, 5);
  const std::string trace = File("write.trace", {});
  Cli cli({"write", firmware, "--trace", trace});
  ASSERT_EQ(cli.Wait(), 0) << cli.All();
  // The frames of each direction as the trace shows them, in its order.
  std::vector<std::string> traced[2];  // [0] to the controller, [1] from it
  for (const std::string& line : Lines(ReadFile(trace))) {
    std::istringstream fields(line);
    std::string us;
    std::string direction;
    fields >> us >> direction;
    const auto bar = line.find(" | ");
    if ((direction == "out" || direction == "in") && bar != std::string::npos)
      traced[direction == "in" ? 1 : 0].push_back(line.substr(bar + 3));
  }
  const auto wire = controller->Wire();
  ASSERT_GT(wire.size(), 30u);  // identify, 14 chunks, the closing frame and the answers
  std::size_t next[2] = {0, 0};
  for (const vc::WireFrame& frame : wire) {
    std::string hex;
    for (std::uint8_t b : frame.bytes) hex += (hex.empty() ? "" : " ") + Hex2(b);
    auto& list = traced[frame.out ? 1 : 0];
    auto& at = next[frame.out ? 1 : 0];
    while (at < list.size() && list[at] != hex) ++at;
    ASSERT_LT(at, list.size()) << frame.what << " " << hex
                               << " is not in the trace, or out of order:\n"
                               << ReadFile(trace);
    ++at;
  }
  const std::string text = ReadFile(trace);
  EXPECT_TRUE(Has(text, "out  IdentifyRequest   12  sequence ")) << text;
  // The controller's pace, widened with the controller's windows under a sanitizer.
  EXPECT_TRUE(Has(text, "chunk 13, interval " + std::to_string(Scaled(150ms).count()) + " ms"))
      << text;
  EXPECT_TRUE(Has(text, "out  ImageClose        64  interval 100 ms")) << text;
  EXPECT_TRUE(Has(text, "FirmwareResult")) << text;
  EXPECT_TRUE(Has(text, "result 1 (success)")) << text;
  EXPECT_TRUE(Has(text, "link end")) << text;

  // Only failures kept: a written controller leaves no frame behind.
  Cli again({"write", firmware, "--yes", "--trace", trace, "--trace-failures-only"});
  ASSERT_EQ(again.Wait(), 0) << again.All();
  EXPECT_FALSE(Has(ReadFile(trace), "  out  ")) << ReadFile(trace);

  // A trace the disk did not take is an error, not a success; one that
  // cannot be cut back is refused before any port is opened.
  // (Standard output is the one way onto /dev/full: a device is never a trace.)
  const std::string fullErr = File("full.err", {});
  const std::string onFull = "'" + kCli + "' write '" + firmware +
                             "' --yes --trace /dev/stdout > /dev/full 2> '" + fullErr + "'";
  EXPECT_EQ(WEXITSTATUS(std::system(onFull.c_str())), 2) << ReadFile(fullErr);
  EXPECT_TRUE(Has(ReadFile(fullErr), "/dev/stdout: the trace is incomplete")) << ReadFile(fullErr);
  const std::string image = ReadFile(firmware);
  Cli same({"write", firmware, "--yes", "--trace", firmware});
  EXPECT_EQ(same.Wait(), 2) << same.All();
  EXPECT_EQ(ReadFile(firmware), image) << "the firmware was overwritten";
  Cli device({"write", firmware, "--yes", "--trace", "/dev/stdout", "--trace-failures-only"});
  EXPECT_EQ(device.Wait(), 2) << device.All();
  EXPECT_TRUE(Has(device.Err(), "needs a file of its own")) << device.All();
  // Traced onto standard output that goes on a log: after what is there.
  const std::string log = File("bench.log", {'e', 'a', 'r', 'l', 'i', 'e', 'r', '\n'});
  const std::string command = "'" + kCli + "' write '" + firmware +
                              "' --yes --trace /dev/stdout >> '" + log + "' 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0) << ReadFile(log);
  EXPECT_EQ(ReadFile(log).rfind("earlier\n", 0), 0u) << ReadFile(log);
  EXPECT_TRUE(Has(ReadFile(log), "unit ends: written")) << ReadFile(log);
  // Nor over the production log, however it is spelt.
  const std::string records = File("line.jsonl", {'{', '}', '\n'});
  const std::string spelt = (std::filesystem::path(records).parent_path() / "." /
                             std::filesystem::path(records).filename()).string();
  Cli onLog({"write", firmware, "--yes", "--log", records, "--trace", spelt});
  EXPECT_EQ(onLog.Wait(), 2) << onLog.All();
  EXPECT_EQ(ReadFile(records), "{}\n") << "the log was emptied";
}

// Every program tells the version CMake's project gives, the window program
// before it needs a display (with none, reaching the window would fail).
TEST_F(CliEndToEnd, EveryProgramTellsTheProjectsVersion) {
  for (const std::string program :
       {"tavrin-cli", "tavrin-programmer", "tavrin-image-tool", "tavrin-virtual-controller"}) {
    const std::string path = std::string(TAVRIN_BUILD_DIR) + "/bin/" + program;
    if (access(path.c_str(), X_OK) != 0) {
      ADD_FAILURE() << path << " is not built";
      continue;
    }
    const std::string command =
        "env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb '" + path + "' --version 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string said;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) said += buffer;
    const int status = pclose(pipe);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << program << ": " << said;
    EXPECT_EQ(said, program + " " + TAVRIN_PROJECT_VERSION + "\n");
    // Told onto a full disk it did not tell it: no success.
    const std::string full = "env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb '" + path +
                             "' --version > /dev/full 2> /dev/null";
    const int onFull = std::system(full.c_str());
    EXPECT_TRUE(WIFEXITED(onFull) && WEXITSTATUS(onFull) == 2)
        << program << " onto /dev/full: status " << onFull << ", want 2 as every program gives";
  }
}

// A trace onto a serial device would raise its DTR and RTS on open, and a
// FIFO without a reader would hold the program: neither is ever opened. A run
// refused for any of its options leaves an earlier trace as it was.
TEST_F(CliEndToEnd, TraceNeverOpensADeviceOrFifoAndARefusedRunLeavesTheTraceAlone) {
  auto controller = Start(Controller());
  const std::string firmware = Firmware("fw-v5.sbin", 1, 5);
  PtyPair pty = OpenPtyPair();
  ASSERT_TRUE(pty.Ok());
  const std::string link = (std::filesystem::path(dir_.path().toStdString()) / "tty.link").string();
  std::filesystem::create_symlink(pty.slavePath, link);
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, pty.slavePath.c_str(), IN_OPEN), 0);
  const auto opens = [&] {
    std::size_t n = 0;
    alignas(inotify_event) char buffer[4096];
    for (ssize_t got; (got = read(watch, buffer, sizeof buffer)) > 0;)
      for (char* at = buffer; at < buffer + got;
           at += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(at)->len)
        ++n;
    return n;
  };
  // The watch does see an open of the device.
  close(open(pty.slavePath.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK));
  ASSERT_TRUE(WaitUntil([&] { return opens() > 0; }, 5s));
  for (const std::string& device : {pty.slavePath, link}) {
    for (const char* command : {"identify", "write"}) {
      std::vector<std::string> args{command, "--trace", device, "--timeout", "0.2"};
      if (std::string(command) == "write") args.insert(args.begin() + 1, firmware);
      Cli cli(args);
      EXPECT_EQ(cli.Wait(), 2) << cli.All();
      EXPECT_TRUE(Has(cli.Err(), device + ": " + (device == link ? "a link to " : "") +
                                     "a device, not a regular file"))
          << cli.All();
    }
  }
  EXPECT_EQ(opens(), 0u) << "the device given as the trace was opened";
  EXPECT_TRUE(pty.Read(1, 100ms).empty()) << "the trace was written into the device";
  close(watch);

  const std::string fifo = (std::filesystem::path(dir_.path().toStdString()) / "fifo").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  Cli onFifo({"identify", "--trace", fifo, "--timeout", "0.2"});
  EXPECT_EQ(onFifo.Wait(10s), 2) << onFifo.All();
  EXPECT_TRUE(Has(onFifo.Err(), fifo + ": a FIFO, not a regular file")) << onFifo.All();

  // Refused for an option checked after the trace's, or by a slot's trace.
  const std::string earlier = "# an earlier trace\n";
  const std::string trace =
      File("kept.trace", std::vector<std::uint8_t>(earlier.begin(), earlier.end()));
  const std::string noLog = (std::filesystem::path(dir_.path().toStdString()) / "no" / "x.jsonl").string();
  const std::string slot = File("slot.trace", {});
  std::filesystem::remove(slot);
  std::filesystem::create_symlink(pty.slavePath,
                                  std::filesystem::path(slot).parent_path() / "slot-COM2.trace");
  const std::vector<std::pair<std::vector<std::string>, std::string>> refused{
      {{"identify", "--trace", trace, "--log", noLog}, "cannot be opened to append to"},
      {{"write", firmware, "--trace", trace, "--log", noLog, "--loop", "--trace-failures-only"},
       "cannot be opened to append to"},
      {{"identify", "--trace", trace, "--port", "/dev/no-such-port"}, "/dev/no-such-port"},
      {{"write", firmware, "--trace", slot, "--port", "COM1,COM2"},
       "slot-COM2.trace: a link to a device"},
      {{"write", firmware, "--trace", slot, "--port", "COM1,COM3", "--log",
        (std::filesystem::path(slot).parent_path() / "slot-COM3.trace").string()},
       "slot-COM3.trace: --trace would overwrite the --log file"},
      // An unset variable in a script: no log, no trace, every port scanned.
      {{"write", firmware, "--trace", trace, "--log", ""}, "--log: an empty value"},
      {{"identify", "--trace", trace, "--port", ""}, "--port: an empty value"},
      {{"identify", "--trace", ""}, "--trace: an empty value"},
  };
  for (const auto& [args, why] : refused) {
    Cli cli(args);
    EXPECT_EQ(cli.Wait(), 2) << why << "\n" << cli.All();
    EXPECT_TRUE(Has(cli.Err(), why)) << cli.All();
    EXPECT_EQ(ReadFile(trace), earlier) << why;
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(slot).parent_path() / "slot-COM1.trace"))
        << "a slot's trace was made though another slot's was refused";
  }
  EXPECT_EQ(controller->GetCounters().identifyRequests, 0u);
}

// Started with standard output (or all three) closed, as a careless script
// or service unit does: the --log and the trace opened later must not take
// the closed stream's place and receive the report.
TEST_F(CliEndToEnd, StartedWithItsOutputsClosedItWritesNoReportIntoTheLogOrTheTrace) {
  auto controller = Start(Controller());
  for (const std::string closed : {">&-", "<&- >&- 2>&-"}) {
    const std::string log = File("closed.jsonl", {});
    const std::string trace = File("closed.trace", {});
    std::filesystem::remove(log);
    std::filesystem::remove(trace);
    const std::string command = "'" + kCli + "' identify --timeout 10 --log '" + log +
                                "' --trace '" + trace + "' " + closed;
    std::system(command.c_str());
    const std::vector<QJsonObject> records = LogRecords(log);
    ASSERT_EQ(records.size(), 1u) << closed << "\n" << ReadFile(log);
    EXPECT_EQ(records[0].value("result").toString(), "identified") << ReadFile(log);
    const std::string traced = ReadFile(trace);
    EXPECT_EQ(traced.rfind("# tavrin-cli trace: ", 0), 0u) << closed << "\n" << traced;
    EXPECT_FALSE(Has(traced, "Подключено устройство")) << closed << "\n" << traced;
  }
}

TEST_F(CliEndToEnd, DoctorNamesTheHolderOfAPortAndTellsAStaleLockFromALiveOne) {
  if (access("/run/lock", W_OK) != 0) GTEST_SKIP() << "/run/lock cannot be written";
  auto held = Start(Controller());
  auto locked = Start(Controller());
  auto stale = Start(Controller());
  LineHolder holder(held->SlavePath(), true);
  ASSERT_TRUE(holder.Ok());
  // /dev/pts/7 is locked as LCK..pts_7.
  const auto lockOf = [](const std::string& slave) {
    std::string name = slave.substr(std::strlen("/dev/"));
    std::replace(name.begin(), name.end(), '/', '_');
    return "/run/lock/LCK.." + name;
  };
  std::ofstream(lockOf(locked->SlavePath())) << std::setw(10) << getpid() << '\n';
  const pid_t ended = fork();
  if (ended == 0) _exit(0);
  ASSERT_EQ(waitpid(ended, nullptr, 0), ended);
  const auto makeStale = [&] {
    std::ofstream(lockOf(stale->SlavePath())) << std::setw(10) << ended << '\n';
  };
  makeStale();

  Cli text({"doctor"});
  EXPECT_EQ(text.Wait(), 1) << text.All();
  EXPECT_TRUE(Has(text.Out(), "held by process ")) << text.Out();
  EXPECT_TRUE(Has(text.Out(), " (sh)")) << text.Out();
  EXPECT_TRUE(Has(text.Out(), "lock file " + lockOf(stale->SlavePath()) + " of process " +
                                  std::to_string(ended) + ": stale"))
      << text.Out();

  Cli json({"doctor", "--json", "--open"});
  EXPECT_EQ(json.Wait(), 1) << json.All();
  unlink(lockOf(locked->SlavePath()).c_str());
  const QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(json.Out())).object();
  EXPECT_FALSE(o["ok"].toBool()) << json.Out();
  QJsonObject ports;
  for (const auto& port : o["ports"].toArray())
    ports[port.toObject()["name"].toString()] = port.toObject();
  const auto port = [&](const vc::VirtualController& c) {
    return ports[QString::fromStdString(c.PortName())].toObject();
  };
  const QJsonObject h = port(*held);
  ASSERT_EQ(h["holders"].toArray().size(), 1) << json.Out();
  EXPECT_EQ(h["holders"].toArray()[0].toObject()["name"].toString(), QStringLiteral("sh"));
  EXPECT_FALSE(h["tried"].toBool());
  const QJsonObject l = port(*locked);
  ASSERT_EQ(l["locks"].toArray().size(), 1) << json.Out();
  EXPECT_FALSE(l["locks"].toArray()[0].toObject()["stale"].toBool());
  EXPECT_EQ(l["locks"].toArray()[0].toObject()["pid"].toInt(), getpid());
  EXPECT_FALSE(l["tried"].toBool());
  const QJsonObject s = port(*stale);
  ASSERT_EQ(s["locks"].toArray().size(), 1) << json.Out();
  EXPECT_TRUE(s["locks"].toArray()[0].toObject()["stale"].toBool());
  EXPECT_TRUE(s["opens"].toBool()) << json.Out();
  // The stale lock is a note; the holder and the live lock stand in the way.
  int problems = 0;
  for (const auto& f : o["findings"].toArray()) {
    const QJsonObject finding = f.toObject();
    if (finding["port"].toString() == QString::fromStdString(stale->PortName()))
      EXPECT_FALSE(finding["problem"].toBool()) << json.Out();
    else if (finding["problem"].toBool())
      ++problems;
  }
  EXPECT_GE(problems, 2) << json.Out();
  unlink(lockOf(stale->SlavePath()).c_str());
}

// An open raises DTR and RTS on whatever is attached: doctor opens a port only
// when asked to.
TEST_F(CliEndToEnd, DoctorOpensAPortOnlyWithOpen) {
  auto controller = Start(Controller());
  const int opens = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(opens, 0);
  ASSERT_GE(inotify_add_watch(opens, controller->SlavePath().c_str(), IN_OPEN), 0);
  const auto openCount = [opens] {
    int count = 0;
    alignas(inotify_event) char buffer[4096];
    for (ssize_t n; (n = read(opens, buffer, sizeof buffer)) > 0;)
      count += static_cast<int>(n / static_cast<ssize_t>(sizeof(inotify_event)));
    return count;
  };
  const std::string port = controller->PortName();

  Cli looked({"doctor"});
  looked.Wait();
  EXPECT_EQ(openCount(), 0) << looked.All();
  EXPECT_TRUE(Has(looked.Out(), "opens: not tried (--open tries it)")) << looked.Out();

  Cli opened({"doctor", "--open", "--json"});
  opened.Wait();
  EXPECT_GE(openCount(), 1) << opened.All();
  const QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(opened.Out())).object();
  bool seen = false;
  for (const auto& p : o["ports"].toArray()) {
    if (p.toObject()["name"].toString() != QString::fromStdString(port)) continue;
    seen = true;
    EXPECT_TRUE(p.toObject()["tried"].toBool()) << opened.Out();
    EXPECT_TRUE(p.toObject()["opens"].toBool()) << opened.Out();
  }
  EXPECT_TRUE(seen) << opened.Out();
  close(opens);
}

// Findings that cannot be written are no all-clear.
TEST_F(CliEndToEnd, DoctorOnAFullDiskFails) {
  const int status = std::system((kCli + " doctor --json >/dev/full 2>/dev/null").c_str());
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 2);
}

// It must run where there is no display at all, and pull in no toolkit.
TEST(CliProgram, LinksNoQtLibrary) {
  FILE* pipe = popen(("readelf -d '" + kCli + "'").c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string needed;
  char line[512];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    if (Has(line, "(NEEDED)")) needed += line;
  }
  ASSERT_EQ(pclose(pipe), 0);
  EXPECT_TRUE(Has(needed, "libc.so")) << needed;
  EXPECT_FALSE(Has(needed, "Qt")) << needed;
}

}  // namespace
