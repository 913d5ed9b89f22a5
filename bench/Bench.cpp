// The programmer's figures against the physical limit of the serial line.
//
// At 115200 baud, 8N1, a byte takes 86.8 us: a 64-byte chunk and its 16-byte
// ChunkRequest are 6.94 ms of line time, so no transfer can beat 144 chunks a
// second. The programmer must never be what holds a transfer back.
//
// Every part runs in a fresh process of its own (the parent re-runs this
// program with the part's name), so one part's threads, heap and page cache
// never colour another's figures. Each part prints rows; the parent prints
// them as one table.
//
//   tavrin-bench               every part, then the table
//   tavrin-bench PART...       only these parts (crc load transfer line cli gang trace net idle memory)
//   tavrin-bench --quick       smaller runs, for trying the bench out
#include <QApplication>
#include <QEventLoop>
#include <QTimer>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "connect/Connecter.h"
#include "image/ImageFile.h"
#include "platform/DeviceNames.h"
#include "protocol/Messager.h"
#include "protocol/Stm32_crc32_soft.h"
#include "support/RecordingWindow.h"
#include "support_qt/QtTestSupport.h"
#include "transfer/Loaders.h"
#include "ui/qt/Application.h"
#include "vc/VirtualController.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr double kByteMicros = 1e6 / 11520.0;  // 10 bits a byte at 115200 baud
constexpr double kLineChunksPerSecond = 1e6 / ((64 + 16) * kByteMicros);

bool g_quick = false;
fs::path g_work;  // scratch directory of this process

// ---- Output ------------------------------------------------------------------

std::string Format(const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return buffer;
}

// One line of the table: what was measured, the figure, the goal, and whether
// the goal was met ("-" where there is no goal).
void Row(const std::string& what, const std::string& value, const std::string& goal = "-",
         const std::string& verdict = "-") {
  std::printf("ROW\t%s\t%s\t%s\t%s\n", what.c_str(), value.c_str(), goal.c_str(),
              verdict.c_str());
  std::fflush(stdout);
}

const char* Verdict(bool met) { return met ? "met" : "MISSED"; }

[[noreturn]] void Die(const std::string& why) {
  std::fprintf(stderr, "tavrin-bench: %s\n", why.c_str());
  std::exit(2);
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const double rank = p / 100.0 * static_cast<double>(values.size() - 1);
  const auto lo = static_cast<std::size_t>(std::floor(rank));
  const auto hi = static_cast<std::size_t>(std::ceil(rank));
  return values[lo] + (values[hi] - values[lo]) * (rank - static_cast<double>(lo));
}

// ---- The process -------------------------------------------------------------

long StatusKb(const std::string& field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
  }
  return -1;
}

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct ThreadSample {
  std::string name;
  long wakeUps = 0;  // voluntary context switches: the thread went to sleep and was woken
  long preempted = 0;
};

std::map<int, ThreadSample> SampleThreads() {
  std::map<int, ThreadSample> threads;
  for (const auto& entry : fs::directory_iterator("/proc/self/task")) {
    const int tid = std::atoi(entry.path().filename().c_str());
    ThreadSample sample;
    std::ifstream comm(entry.path() / "comm");
    std::getline(comm, sample.name);
    std::ifstream status(entry.path() / "status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) sample.wakeUps = std::atol(line.c_str() + 24);
      if (line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) sample.preempted = std::atol(line.c_str() + 27);
    }
    threads[tid] = sample;
  }
  return threads;
}

// ---- Images ------------------------------------------------------------------

// A firmware file of `frames` frames (the eight header frames included) for
// device 1 at `version`, with the ImageCrc the controller will find.
fs::path WriteFirmware(std::size_t frames, std::uint16_t version) {
  namespace img = tavrin::image;
  std::mt19937 rng(static_cast<std::uint32_t>(frames * 31 + version));
  const auto payload = img::GeneratePayload(frames - img::kFirmwareHeaderFrames, rng);
  std::string error;
  const auto file = img::BuildFirmware({1, version}, payload, rng, &error);
  if (file.empty()) Die("cannot build a firmware image: " + error);
  const fs::path path = g_work / Format("firmware-%zu-v%u.sbin", frames, version);
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  if (!out) Die("cannot write " + path.string());
  return path;
}

// ---- The window thread -------------------------------------------------------

void LoopFor(std::chrono::milliseconds duration) {
  QEventLoop loop;
  QTimer::singleShot(static_cast<int>(duration.count()), &loop, &QEventLoop::quit);
  loop.exec();
}

// The real main window, offscreen, answering every box with OK or Yes.
struct Programmer {
  qttest::TestWindow window;
  int resultBoxes = 0;  // window thread only
  QEventLoop* waiting = nullptr;

  Programmer() {
    window.OnBox([this](const ShownBox& box) {
      if (box.text == kFirmwareResultOkText || box.text == kFirmwareResultFailText) {
        ++resultBoxes;
        if (waiting != nullptr) waiting->quit();
      }
      return box.flags == kMbYesNoInfo ? kIdYes : kIdOk;
    });
  }

  // Runs the event loop until the box that ends a firmware update has been
  // shown after `before` such boxes. Nothing else wakes the loop, so waiting
  // costs the transfer nothing.
  bool WaitForResult(int before, std::chrono::milliseconds timeout) {
    if (resultBoxes > before) return true;
    QEventLoop loop;
    waiting = &loop;
    QTimer::singleShot(static_cast<int>(timeout.count()), &loop, &QEventLoop::quit);
    loop.exec();
    waiting = nullptr;
    return resultBoxes > before;
  }

  bool Connected() {
    return ConnectState == ConnectStateT::Connected && DeviceInfo.DeviceCode.load() == 1 &&
           window.Enabled(Control::Button2);
  }

  void Connect() {
    if (!window.Click(Control::Button1)) Die("CONNECT is not enabled");
    if (!qttest::PumpUntil([this] { return Connected(); }, 60s)) {
      Die("the programmer found no controller (status: " + window.Status() + ")");
    }
  }

  // Clicks update firmware with `path` chosen in the file dialog.
  void StartFirmware(const fs::path& path) {
    window.QueueDialogAnswer(path.string());
    if (!window.Click(Control::Button2)) Die("update firmware is not enabled");
  }
};

std::unique_ptr<ProgrammerApplication> MakeApplication() {
  static int argc = 1;
  static char name[] = "tavrin-bench";
  static char* argv[] = {name, nullptr};
  return std::make_unique<ProgrammerApplication>(argc, argv);
}

tavrin::vc::Options InstantController(bool lineRate) {
  tavrin::vc::Options options;
  options.identity.deviceCode = 1;
  options.identity.firmwareVersion = 1;
  options.port = "COM30";
  options.frameGapMs = 0;
  options.lineRate = lineRate;
  options.recordWire = true;  // the figures are read off the wire
  return options;
}

// The controller as a process of its own, so that the programmer's process
// holds nothing of it.
class ControllerProcess {
 public:
  ControllerProcess() {
    const fs::path exe = fs::read_symlink("/proc/self/exe").parent_path() / "tavrin-virtual-controller";
    int out[2];
    if (pipe(out) != 0) Die("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::string program = exe.string();
    std::vector<std::string> args = {program, "--port", "COM31", "--device", "1", "--firmware", "1",
                                     "--frame-gap", "0"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
      Die("cannot start " + program);
    }
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    // It prints its port name once the link is in place.
    char line[64] = {};
    std::size_t n = 0;
    while (n < sizeof line - 1) {
      const ssize_t r = read(out[0], line + n, 1);
      if (r <= 0 || line[n] == '\n') break;
      ++n;
    }
    close(out[0]);
    if (std::string(line, n) != "COM31") Die("the virtual controller did not start");
  }
  ~ControllerProcess() {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
  }

 private:
  pid_t pid_ = -1;
};

// ---- Parts -------------------------------------------------------------------

void PartCrc() {
  std::vector<std::uint8_t> data(1 << 20);
  std::mt19937 rng(7);
  for (auto& b : data) b = static_cast<std::uint8_t>(rng());
  auto rate = [&](std::uint32_t (*crc)(const std::uint8_t*, std::uint32_t), std::uint32_t& result) {
    const auto minimum = g_quick ? 200ms : 1s;
    std::size_t bytes = 0;
    const auto start = Clock::now();
    auto elapsed = Clock::duration::zero();
    do {
      result ^= crc(data.data(), static_cast<std::uint32_t>(data.size()));
      bytes += data.size();
      elapsed = Clock::now() - start;
    } while (elapsed < minimum);
    return static_cast<double>(bytes) / std::chrono::duration<double>(elapsed).count();
  };
  std::uint32_t slow = 0;
  std::uint32_t fast = 0;
  const double slowRate = rate(Stm32Crc32, slow);
  const double fastRate = rate(Stm32Crc32Fast, fast);
  const bool same = Stm32Crc32(data.data(), 1001) == Stm32Crc32Fast(data.data(), 1001) &&
                    Stm32Crc32(data.data(), 1 << 20) == Stm32Crc32Fast(data.data(), 1 << 20);
  // A chunk's receive check is 60 bytes; a 10 MB file's header check is 8 x 32.
  Row("Stm32Crc32, bit by bit", Format("%.0f MB/s (%.2f us per 64-byte frame)", slowRate / 1e6,
                                       64e6 / slowRate));
  Row("Stm32Crc32Fast, table", Format("%.0f MB/s (%.2f us per 64-byte frame), %s", fastRate / 1e6,
                                      64e6 / fastRate, same ? "same results" : "RESULTS DIFFER"),
      "same results", Verdict(same));
}

void PartLoad() {
  // The loader needs no Qt: a recording window answers the file dialog.
  RecordingWindow window;
  const std::size_t frames = 160000;  // the store's whole 10,240,000 bytes
  const fs::path path = WriteFirmware(frames, 2);
  DeviceInfo.DeviceCode = 1;
  DeviceInfo.FirmwareVersion = 1;
  DeviceInfo.ProgramMemoryOk = true;

  std::vector<double> loads;
  std::vector<double> checks;
  std::ifstream in(path, std::ios::binary);
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
  for (int i = 0; i < (g_quick ? 2 : 5); ++i) {
    window.QueueDialogAnswer(path.string());
    auto start = Clock::now();
    LoadFirmwareImage();
    loads.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    Timer2Stop();
    start = Clock::now();
    const FileCheckResult check = CheckFirmwareFile(bytes.data(), bytes.size(), CurrentDeviceFacts());
    checks.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    if (check.Verdict != FileVerdict::Accepted) Die("the 10 MB image was refused");
  }
  bool loaded = false;
  for (const auto& e : window.Events()) loaded = loaded || e == "gauge 0";
  if (!loaded) Die("the loader did not start the transfer");
  ResetMessagerForTest();
  Row("Load and check a 10 MB firmware file (dialog to first chunk)",
      Format("%.1f ms median (%zu runs, page cache warm)", Percentile(loads, 50), loads.size()));
  Row("  of which the header and device checks", Format("%.3f ms", Percentile(checks, 50)));
}

struct TransferFigures {
  std::size_t chunks = 0;
  double seconds = 0;        // first chunk in to closing frame in, at the controller
  std::vector<double> turnaroundsUs;  // ChunkRequest written to the next chunk read
  std::vector<double> controllerUs;   // chunk read to its ChunkRequest written
  std::uint64_t retransmissions = 0;
  std::map<int, long> wakeUps;  // per thread of the programmer, over the transfer
};

// The controller's record from `wireFrom` on: chunks, the rate (first chunk
// to closing frame) and each chunk's turnaround.
void ReadWire(const tavrin::vc::VirtualController& vc, std::size_t wireFrom, TransferFigures& figures) {
  const auto wire = vc.Wire();
  double firstChunk = -1;
  double closing = -1;
  double lastRequest = -1;
  double lastChunk = -1;
  for (std::size_t i = wireFrom; i < wire.size(); ++i) {
    const auto& w = wire[i];
    if (w.out) {
      if (w.bytes.size() >= 2 && w.bytes[0] == 0xDA && w.bytes[1] == 0x04) {
        lastRequest = w.ms;
        if (lastChunk >= 0) figures.controllerUs.push_back((w.ms - lastChunk) * 1000.0);
        lastChunk = -1;
      }
      continue;
    }
    const bool chunk = w.what.rfind("chunk", 0) == 0;
    const bool close = w.what.find("ImageClose") != std::string::npos;
    if (!chunk && !close) continue;
    if (chunk && firstChunk < 0) firstChunk = w.ms;
    if (chunk) lastChunk = w.ms;
    if (chunk && w.what.find("again") == std::string::npos) ++figures.chunks;
    if (lastRequest >= 0) {
      figures.turnaroundsUs.push_back((w.ms - lastRequest) * 1000.0);
      lastRequest = -1;
    }
    if (close && closing < 0) closing = w.ms;
  }
  figures.seconds = (closing - firstChunk) / 1000.0;
}

// Writes an image of `frames` frames and reads the controller's record of it.
TransferFigures RunTransfer(Programmer& programmer, tavrin::vc::VirtualController& vc,
                            std::size_t frames, std::uint16_t version,
                            const std::set<int>& controllerThreads) {
  const fs::path path = WriteFirmware(frames, version);
  if (!programmer.Connected()) programmer.Connect();
  const auto before = vc.GetCounters();
  const std::size_t wireFrom = vc.Wire().size();
  const int boxesBefore = programmer.resultBoxes;
  const auto threadsBefore = SampleThreads();
  // The reader and the writer end with the connection, which the result
  // closes: their counts are taken as the closing frame goes out.
  std::map<int, ThreadSample> threadsAfter;
  std::size_t fresh = 0;
  SetTransmitObserverForTest([&](const std::uint8_t* bytes, std::uint16_t length) {
    if (++fresh > frames && threadsAfter.empty() && length == 64 && bytes[0] == 0xDA &&
        bytes[1] == 0x06) {
      threadsAfter = SampleThreads();
    }
  });

  programmer.StartFirmware(path);
  if (!programmer.WaitForResult(boxesBefore, std::chrono::minutes(20))) {
    Die("the transfer did not end");
  }
  SetTransmitObserverForTest({});
  const auto after = vc.GetCounters();
  if (after.imagesOk != before.imagesOk + 1) Die("the controller refused the image");
  std::filesystem::remove(path);

  TransferFigures figures;
  figures.retransmissions = after.retransmissions - before.retransmissions;
  ReadWire(vc, wireFrom, figures);
  for (const auto& [tid, sample] : threadsAfter) {
    if (controllerThreads.count(tid) != 0) continue;
    const auto it = threadsBefore.find(tid);
    figures.wakeUps[tid] = sample.wakeUps - (it == threadsBefore.end() ? 0 : it->second.wakeUps);
  }
  return figures;
}

// The threads a controller's Start() made: its own, not the programmer's.
std::set<int> StartController(tavrin::vc::VirtualController& vc) {
  const auto before = SampleThreads();
  std::string error;
  if (!vc.Start(&error)) Die("virtual controller: " + error);
  std::set<int> made;
  for (const auto& [tid, sample] : SampleThreads()) {
    if (before.count(tid) == 0) made.insert(tid);
  }
  return made;
}

// Wake-ups per chunk of each of the programmer's threads that woke at all.
std::string WakeUpsPerChunk(const TransferFigures& f) {
  const int self = static_cast<int>(getpid());
  std::vector<double> others;
  double window = 0;
  for (const auto& [tid, wakes] : f.wakeUps) {
    const double perChunk = static_cast<double>(wakes) / static_cast<double>(f.chunks);
    if (tid == self) {
      window = perChunk;
    } else if (wakes > 0) {
      others.push_back(perChunk);
    }
  }
  std::sort(others.rbegin(), others.rend());
  double total = window;
  std::string text = Format("window thread %.2f", window);
  for (const double o : others) {
    text += Format(", %.2f", o);
    total += o;
  }
  return Format("%.2f in all: ", total) + text;
}

void PartTransfer() {
  auto app = MakeApplication();
  tavrin::vc::VirtualController vc(InstantController(false));
  const std::set<int> controllerThreads = StartController(vc);
  Programmer programmer;
  programmer.Connect();

  const std::vector<std::size_t> sizes = g_quick ? std::vector<std::size_t>{1000, 10000}
                                                 : std::vector<std::size_t>{1000, 10000, 160000};
  std::vector<double> turnarounds;
  std::vector<double> controller;
  std::vector<double> perChunkUs;
  std::uint16_t version = 2;
  for (const std::size_t frames : sizes) {
    const TransferFigures f = RunTransfer(programmer, vc, frames, version++, controllerThreads);
    const double rate = static_cast<double>(f.chunks) / f.seconds;
    perChunkUs.push_back(f.seconds * 1e6 / static_cast<double>(f.chunks));
    Row(Format("Raw throughput, %zu frames", frames),
        Format("%.0f chunks/s (%.2f s, %.1f us a chunk, %" PRIu64 " retransmitted)", rate, f.seconds,
               perChunkUs.back(), f.retransmissions),
        ">= 2000 chunks/s", Verdict(rate >= 2000));
    if (frames == 10000) {
      Row("  thread wake-ups per chunk, 10000 frames", WakeUpsPerChunk(f));
    }
    turnarounds.insert(turnarounds.end(), f.turnaroundsUs.begin(), f.turnaroundsUs.end());
    controller.insert(controller.end(), f.controllerUs.begin(), f.controllerUs.end());
  }
  const auto [lo, hi] = std::minmax_element(perChunkUs.begin(), perChunkUs.end());
  const double spread = *hi / *lo;
  Row("Time grows linearly with the frame count",
      Format("time per chunk %.1f-%.1f us (largest / smallest %.2f)", *lo, *hi, spread),
      "ratio <= 2", Verdict(spread <= 2.0));

  const double median = Percentile(turnarounds, 50);
  const double p99 = Percentile(turnarounds, 99);
  const double worst = turnarounds.empty() ? 0 : *std::max_element(turnarounds.begin(), turnarounds.end());
  Row(Format("Host turnaround per chunk, median (%zu chunks)", turnarounds.size()),
      Format("%.0f us", median), "< 100 us", Verdict(median < 100 && turnarounds.size() >= 10000));
  Row("Host turnaround per chunk, 99th percentile", Format("%.0f us (worst %.1f ms)", p99, worst / 1000),
      "< 1 ms", Verdict(p99 < 1000));
  // The rest of each chunk's cycle is the controller's: it shares the
  // machine with the programmer here, so its time is shown beside.
  Row("  the virtual controller's own time per chunk, median / 99th percentile",
      Format("%.0f us / %.0f us", Percentile(controller, 50), Percentile(controller, 99)));
  vc.Stop();
}

void PartLine() {
  auto app = MakeApplication();
  tavrin::vc::VirtualController vc(InstantController(true));
  const std::set<int> controllerThreads = StartController(vc);
  Programmer programmer;
  programmer.Connect();
  const std::size_t frames = g_quick ? 300 : 1440;  // about ten seconds of line
  const TransferFigures f = RunTransfer(programmer, vc, frames, 2, controllerThreads);
  const double rate = static_cast<double>(f.chunks) / f.seconds;
  const double efficiency = 100.0 * rate / kLineChunksPerSecond;
  Row(Format("Efficiency against a 115200-baud line, %zu frames", frames),
      Format("%.1f chunks/s = %.1f%% of %.1f", rate, efficiency, kLineChunksPerSecond), ">= 97%",
      Verdict(efficiency >= 97.0));
  // The controller stamps a chunk once its 64 bytes would have crossed the
  // line; what is left is the host's turn plus the controller's own slack.
  const double chunkLine = 64 * kByteMicros;
  Row("  ChunkRequest to chunk on the paced line, less the chunk's line time",
      Format("median %.0f us, 99th percentile %.0f us", Percentile(f.turnaroundsUs, 50) - chunkLine,
             Percentile(f.turnaroundsUs, 99) - chunkLine));
  vc.Stop();
}

// tavrin-cli run to its end with nothing on its standard streams.
struct CliRun {
  double wall = 0;
  double cpu = 0;     // all its threads, and the workers it waited for
  double ownCpu = 0;  // that process alone, not the workers it started
  int status = -1;
};

CliRun RunCli(const std::vector<std::string>& cliArgs) {
  const std::string program = (fs::read_symlink("/proc/self/exe").parent_path() / "tavrin-cli").string();
  std::vector<std::string> args = {program};
  args.insert(args.end(), cliArgs.begin(), cliArgs.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const auto start = Clock::now();
  if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
    Die("cannot start " + program);
  }
  posix_spawn_file_actions_destroy(&actions);
  // Ended but not yet waited for: /proc still tells its own CPU time.
  siginfo_t info{};
  waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
  CliRun run;
  run.wall = std::chrono::duration<double>(Clock::now() - start).count();
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // After the name in parentheses: state, then utime and stime are the 12th and 13th fields.
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  for (int i = 1; i <= 13 && fields >> field; ++i) {
    if (i >= 12) run.ownCpu += std::stod(field) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  // The clock ticks above are 10 ms; the main thread's time on the CPU in
  // nanoseconds is finer (the supervisor on Linux runs one thread).
  std::ifstream schedstat("/proc/" + std::to_string(pid) + "/schedstat");
  double onCpuNs = 0;
  if (schedstat >> onCpuNs) run.ownCpu = std::max(run.ownCpu, onCpuNs / 1e9);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  run.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

// tavrin-cli write of `path` with the arguments `extra`, a process of its own;
// its wall time, and in `cpu` the CPU time it took (all its threads). The
// controller's record tells the rest.
double RunCliWrite(tavrin::vc::VirtualController& vc, const fs::path& path,
                   const std::vector<std::string>& extra, double* cpu = nullptr) {
  const auto before = vc.GetCounters();
  std::vector<std::string> args = {"write", path.string(), "--timeout", "30"};
  args.insert(args.end(), extra.begin(), extra.end());
  const CliRun run = RunCli(args);
  if (cpu != nullptr) *cpu = run.cpu;
  if (run.status != 0) Die(Format("tavrin-cli ended with status %d", run.status));
  if (vc.GetCounters().imagesOk != before.imagesOk + 1) Die("the controller refused the image");
  return run.wall;
}

// The same paced write through tavrin-cli, a process of its own that finds
// the controller by scanning, as a script on a service bench would run it.
void PartCli() {
  tavrin::vc::VirtualController vc(InstantController(true));
  StartController(vc);
  const std::size_t frames = g_quick ? 300 : 1440;
  const fs::path path = WriteFirmware(frames, 2);
  const std::size_t wireFrom = vc.Wire().size();
  const double wall = RunCliWrite(vc, path, {});
  fs::remove(path);

  TransferFigures f;
  ReadWire(vc, wireFrom, f);
  const double rate = static_cast<double>(f.chunks) / f.seconds;
  const double efficiency = 100.0 * rate / kLineChunksPerSecond;
  Row(Format("Efficiency through tavrin-cli against a 115200-baud line, %zu frames", frames),
      Format("%.1f chunks/s = %.1f%% of %.1f", rate, efficiency, kLineChunksPerSecond),
      ">= 97%", Verdict(efficiency >= 97.0));
  const double chunkLine = 64 * kByteMicros;
  Row("  ChunkRequest to chunk on the paced line, less the chunk's line time",
      Format("median %.0f us, 99th percentile %.0f us", Percentile(f.turnaroundsUs, 50) - chunkLine,
             Percentile(f.turnaroundsUs, 99) - chunkLine));
  Row("  the whole command: start, scan, connect, write, result", Format("%.2f s", wall));
  vc.Stop();
}

// --trace on a real line: a write paced at 115200 baud, with and without the
// trace, alternating, the medians compared. Then its cost where it is
// greatest: a controller that answers at once, so the link runs as fast as
// the programmer can, with a trace line per frame; the program's CPU time per
// chunk (all its threads) is what the trace costs.
void PartTrace() {
  const fs::path trace = g_work / "bench.trace";
  const auto options = [&](bool traced) {
    return traced ? std::vector<std::string>{"--yes", "--trace", trace.string()}
                  : std::vector<std::string>{"--yes"};
  };
  {
    tavrin::vc::VirtualController vc(InstantController(true));
    StartController(vc);
    const std::size_t frames = g_quick ? 300 : 1440;
    const fs::path path = WriteFirmware(frames, 2);
    std::vector<double> rates[2];
    for (int run = 0; run < (g_quick ? 2 : 3); ++run) {
      for (int traced = 0; traced < 2; ++traced) {
        const std::size_t wireFrom = vc.Wire().size();
        RunCliWrite(vc, path, options(traced != 0));
        TransferFigures f;
        ReadWire(vc, wireFrom, f);
        rates[traced].push_back(static_cast<double>(f.chunks) / f.seconds);
      }
    }
    const double plain = Percentile(rates[0], 50);
    const double traced = Percentile(rates[1], 50);
    const double slower = 100.0 * (plain - traced) / plain;
    Row(Format("tavrin-cli write, %zu frames, paced 115200-baud line: without --trace", frames),
        Format("%.1f chunks/s (median of %zu)", plain, rates[0].size()));
    Row("  with --trace FILE, runs alternating with those without",
        Format("%.1f chunks/s, %.2f%% slower", traced, slower), "<= 5% slower",
        Verdict(slower <= 5.0));
    fs::remove(path);
    vc.Stop();
  }
  tavrin::vc::VirtualController vc(InstantController(false));
  StartController(vc);
  const std::size_t frames = g_quick ? 2000 : 10000;
  const fs::path path = WriteFirmware(frames, 2);
  std::vector<double> rates[2];
  std::vector<double> cpuUs[2];  // the whole process's CPU time per chunk
  for (int run = 0; run < (g_quick ? 2 : 7); ++run) {
    for (int traced = 0; traced < 2; ++traced) {
      const std::size_t wireFrom = vc.Wire().size();
      double cpu = 0;
      RunCliWrite(vc, path, options(traced != 0), &cpu);
      TransferFigures f;
      ReadWire(vc, wireFrom, f);
      rates[traced].push_back(static_cast<double>(f.chunks) / f.seconds);
      cpuUs[traced].push_back(cpu * 1e6 / static_cast<double>(frames));
    }
  }
  const double plain = Percentile(rates[0], 50);
  const double traced = Percentile(rates[1], 50);
  Row(Format("tavrin-cli write, %zu frames, controller answering at once: without --trace", frames),
      Format("%.0f chunks/s (median of %zu), CPU %.1f us a chunk", plain, rates[0].size(),
             Percentile(cpuUs[0], 50)));
  Row("  with --trace FILE (a line per frame in and out)",
      Format("%.0f chunks/s, %.1f%% slower, CPU %.1f us a chunk, %.1f MB of trace", traced,
             100.0 * (plain - traced) / plain, Percentile(cpuUs[1], 50),
             static_cast<double>(fs::file_size(trace)) / 1e6));
  // On a real line a chunk's cycle is 6.94 ms: what the trace adds to it.
  const double addedUs = Percentile(cpuUs[1], 50) - Percentile(cpuUs[0], 50);
  Row("  the trace's CPU time against a 115200-baud line's chunk cycle",
      Format("%.1f us of %.0f us = %.2f%%", addedUs, 1e6 / kLineChunksPerSecond,
             100.0 * addedUs * kLineChunksPerSecond / 1e6),
      "<= 5%", Verdict(addedUs * kLineChunksPerSecond / 1e6 <= 0.05));
  fs::remove(path);
  vc.Stop();
}

// Four fixtures at once: a slot per port, each a worker process writing its
// own paced controller, against one port alone, side by side in one run.
// ser2net on loopback serving the paced controller's pseudo-terminal, once
// with the configuration the README recommends (chardelay off) and once with
// ser2net's defaults (chardelay on); RFC 2217 and raw TCP on each.
class Ser2netProcess {
 public:
  Ser2netProcess(const std::string& device, bool chardelay, int basePort) : base_(basePort) {
    const fs::path config = g_work / Format("ser2net-%d.yaml", basePort);
    std::ofstream out(config);
    const std::string options = chardelay ? "" : "  options:\n    chardelay: false\n";
    out << "connection: &rfc\n  accepter: telnet(rfc2217),tcp,127.0.0.1," << basePort
        << "\n  connector: serialdev," << device << ",115200n81,local\n" << options
        << "connection: &raw\n  accepter: tcp,127.0.0.1," << basePort + 1
        << "\n  connector: serialdev," << device << ",115200n81,local\n" << options;
    out.close();
    const std::string pid = (g_work / Format("ser2net-%d.pid", basePort)).string();
    std::vector<std::string> args = {"ser2net", "-n", "-u", "-P", pid, "-c", config.string()};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (posix_spawnp(&pid_, "ser2net", &actions, nullptr, argv.data(), environ) != 0)
      Die("cannot start ser2net (scripts/deps.sh installs it)");
    posix_spawn_file_actions_destroy(&actions);
    const auto until = Clock::now() + std::chrono::seconds(20);
    while (!Listening(basePort) || !Listening(basePort + 1)) {
      if (Clock::now() > until) Die("ser2net does not listen");
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  ~Ser2netProcess() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  std::string Rfc2217() const { return Format("rfc2217://127.0.0.1:%d", base_); }
  std::string Raw() const { return Format("socket://127.0.0.1:%d", base_ + 1); }

 private:
  static bool Listening(int port) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(s);
    return ok;
  }
  int base_;
  pid_t pid_ = -1;
};

// The same paced write direct, through RFC 2217 and through raw TCP, as
// shares of the line and as ratios to the direct write.
void PartNet() {
  tavrin::vc::VirtualController vc(InstantController(true));
  StartController(vc);
  const std::size_t frames = g_quick ? 300 : 1440;
  const fs::path path = WriteFirmware(frames, 2);
  const int base = 20000 + static_cast<int>(getpid() % 20000);
  Ser2netProcess recommended(vc.SlavePath(), false, base);
  Ser2netProcess defaults(vc.SlavePath(), true, base + 2);
  struct Way {
    std::string what;
    std::string port;
  };
  const Way ways[] = {
      {"direct (COM30)", "COM30"},
      {"rfc2217://, chardelay: false (README)", recommended.Rfc2217()},
      {"socket://, chardelay: false (README)", recommended.Raw()},
      {"rfc2217://, ser2net's defaults (chardelay on)", defaults.Rfc2217()},
      {"socket://, ser2net's defaults (chardelay on)", defaults.Raw()},
  };
  double direct = 0;
  for (const Way& way : ways) {
    std::vector<double> rates;
    for (int run = 0; run < (g_quick ? 1 : 3); ++run) {
      const std::size_t wireFrom = vc.Wire().size();
      RunCliWrite(vc, path, {"--yes", "--port", way.port});
      TransferFigures f;
      ReadWire(vc, wireFrom, f);
      rates.push_back(static_cast<double>(f.chunks) / f.seconds);
    }
    const double rate = Percentile(rates, 50);
    if (direct == 0) direct = rate;
    const double share = 100.0 * rate / kLineChunksPerSecond;
    const bool recommendedWay = way.what.find("README") != std::string::npos;
    Row(Format("tavrin-cli write, %zu frames, paced 115200-baud line, %s", frames, way.what.c_str()),
        Format("%.1f chunks/s = %.1f%% of the line, %.3f of direct", rate, share, rate / direct),
        recommendedWay ? ">= 95% of the line" : "-",
        recommendedWay ? Verdict(share >= 95.0) : "");
  }
  fs::remove(path);
  vc.Stop();
}

void PartGang() {
  const std::size_t frames = g_quick ? 300 : 1440;
  std::vector<std::unique_ptr<tavrin::vc::VirtualController>> controllers;
  std::string ports;
  for (int i = 0; i < 4; ++i) {
    tavrin::vc::Options options = InstantController(true);
    options.port = Format("COM%d", 30 + i);
    options.recordWire = false;
    controllers.push_back(std::make_unique<tavrin::vc::VirtualController>(options));
    StartController(*controllers.back());
    ports += (i > 0 ? "," : "") + options.port;
  }
  const fs::path path = WriteFirmware(frames, 2);
  // --yes: the first controller already has the version when the four run.
  const CliRun one = RunCli({"write", path.string(), "--yes", "--port", "COM30", "--timeout", "30"});
  const CliRun four = RunCli({"write", path.string(), "--yes", "--port", ports, "--timeout", "30"});
  if (one.status != 0 || four.status != 0) {
    Die(Format("tavrin-cli ended with status %d alone, %d with four ports", one.status, four.status));
  }
  for (std::size_t i = 0; i < controllers.size(); ++i) {
    if (controllers[i]->GetCounters().imagesOk != (i == 0 ? 2u : 1u)) Die("a controller refused the image");
  }
  fs::remove(path);
  const double ratio = four.wall / one.wall;
  const double cpu = 100.0 * four.ownCpu / four.wall;
  Row(Format("One port alone, paced 115200-baud line, %zu frames: the whole command", frames),
      Format("%.2f s", one.wall));
  Row("Four ports at once, the same image: the whole command",
      Format("%.2f s = %.2f x one port", four.wall, ratio), "<= 1.2 x", Verdict(ratio <= 1.2));
  Row("  the supervisor's own CPU over the four", Format("%.2f%% of a core (%.1f ms)", cpu, four.ownCpu * 1000),
      "< 2%", Verdict(cpu < 2.0));
  for (auto& c : controllers) c->Stop();
}

void PartIdle() {
  auto app = MakeApplication();
  ControllerProcess controller;
  Programmer programmer;
  programmer.Connect();
  LoopFor(1s);  // let the connection settle

  const auto seconds = g_quick ? 3s : 10s;
  const auto before = SampleThreads();
  const double cpuBefore = ProcessCpuSeconds();
  const auto start = Clock::now();
  LoopFor(seconds);
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  const double cpu = ProcessCpuSeconds() - cpuBefore;
  const auto after = SampleThreads();
  if (!programmer.Connected()) Die("the connection dropped while idle");

  const int self = static_cast<int>(getpid());
  long windowWakes = 0;
  std::vector<std::string> busy;
  int quiet = 0;
  for (const auto& [tid, sample] : after) {
    const auto it = before.find(tid);
    const long wakes = sample.wakeUps - (it == before.end() ? 0 : it->second.wakeUps);
    if (tid == self) {
      windowWakes = wakes;
    } else if (wakes > 0) {
      busy.push_back(Format("%s[%d] %ld", sample.name.c_str(), tid, wakes));
    } else {
      ++quiet;
    }
  }
  const double percent = 100.0 * cpu / wall;
  Row(Format("Idle, connected, %.0f s: CPU", wall), Format("%.2f%% of a core (%.0f ms)", percent, cpu * 1000),
      "< 1%", Verdict(percent < 1.0));
  // The 100 ms sound timer wakes the window thread 10 times a second.
  const double expected = wall * 10;
  std::string others = Format("%d other threads: 0", quiet);
  for (const auto& b : busy) others += "; " + b;
  Row("  wake-ups: window thread", Format("%ld (%.1f/s; the sound timer alone: %.0f)", windowWakes,
                                          windowWakes / wall, expected),
      "~10/s", Verdict(windowWakes <= expected * 1.5 + 5));
  Row("  wake-ups: every other thread", others, "0", Verdict(busy.empty()));
}

void PartMemory() {
  auto app = MakeApplication();
  ControllerProcess controller;
  Programmer programmer;
  programmer.Connect();
  const fs::path path = WriteFirmware(160000, 2);
  LoopFor(1s);
  const long rest = StatusKb("VmRSS");
  // Resets the peak to the present size (Linux 4.0 and later).
  { std::ofstream("/proc/self/clear_refs") << "5"; }
  const long restPeak = StatusKb("VmHWM");

  const int boxes = programmer.resultBoxes;
  programmer.StartFirmware(path);
  if (!programmer.WaitForResult(boxes, std::chrono::minutes(20))) {
    Die("the 10 MB transfer did not end");
  }
  const long peak = StatusKb("VmHWM");
  const long end = StatusKb("VmRSS");
  fs::remove(path);
  Row("Memory at rest, connected (resident)", Format("%.1f MB", rest / 1024.0));
  Row("Memory peak while writing a 10 MB image",
      Format("%.1f MB (+%.1f MB; after the transfer %.1f MB)", peak / 1024.0,
             (peak - std::min(rest, restPeak)) / 1024.0, end / 1024.0),
      "+ about the image", Verdict(peak - rest < 3 * 10240));
}

struct Part {
  const char* name;
  const char* title;
  void (*run)();
};
const Part kParts[] = {
    {"crc", "CRC", PartCrc},
    {"load", "Loading a 10 MB firmware file", PartLoad},
    {"transfer", "Raw throughput and host turnaround (controller answers at once)", PartTransfer},
    {"line", "Efficiency on a paced 115200-baud line", PartLine},
    {"cli", "The same paced line through tavrin-cli", PartCli},
    {"gang", "Four paced lines at once through tavrin-cli", PartGang},
    {"trace", "The cost of tavrin-cli --trace", PartTrace},
    {"net", "A controller on another machine: through ser2net on loopback", PartNet},
    {"idle", "Idle cost", PartIdle},
    {"memory", "Memory", PartMemory},
};

// Runs one part in a child process and collects its rows.
bool RunChild(const Part& part, std::vector<std::vector<std::string>>& rows) {
  std::fprintf(stderr, "== %s\n", part.title);
  std::string command = "'" + fs::read_symlink("/proc/self/exe").string() + "' --child " + part.name;
  if (g_quick) command += " --quick";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return false;
  char line[1024];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::string text(line);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    if (text.rfind("ROW\t", 0) != 0) {
      std::fprintf(stderr, "  %s\n", text.c_str());
      continue;
    }
    std::vector<std::string> cells;
    std::stringstream ss(text.substr(4));
    std::string cell;
    while (std::getline(ss, cell, '\t')) cells.push_back(cell);
    cells.resize(4, "-");
    rows.push_back(cells);
  }
  const int status = pclose(pipe);
  if (status != 0) {
    rows.push_back({std::string(part.name) + ": the part failed (see above)", "-", "-", "FAILED"});
    return false;
  }
  return true;
}

void PrintTable(const std::vector<std::vector<std::string>>& rows) {
  const char* heads[4] = {"Measurement", "Result", "Goal", "Verdict"};
  // Markdown, so the table can go into the documentation as it stands.
  std::printf("\n| %s | %s | %s | %s |\n|---|---|---|---|\n", heads[0], heads[1], heads[2], heads[3]);
  for (const auto& r : rows) {
    std::printf("| %s | %s | %s | %s |\n", r[0].c_str(), r[1].c_str(), r[2].c_str(), r[3].c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> names;
  bool child = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--quick") {
      g_quick = true;
    } else if (arg == "--child") {
      child = true;
    } else if (arg == "-h" || arg == "--help") {
      std::printf(
          "usage: tavrin-bench [--quick] [crc|load|transfer|line|cli|gang|trace|idle|memory]...\n");
      return 0;
    } else {
      names.push_back(arg);
    }
  }

  if (child) {
    if (names.size() != 1) Die("--child takes one part");
    // A runtime directory of our own: the COM links the controller makes are
    // then the only ports the programmer finds.
    std::string templ = (fs::temp_directory_path() / "tavrin-bench-XXXXXX").string();
    if (mkdtemp(templ.data()) == nullptr) Die("mkdtemp");
    g_work = templ;
    setenv("XDG_RUNTIME_DIR", templ.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    for (const auto& part : kParts) {
      if (names[0] == part.name) {
        part.run();
        std::error_code ec;
        fs::remove_all(g_work, ec);
        // Detached reader and writer threads may still be ending.
        std::fflush(stdout);
        std::_Exit(0);
      }
    }
    Die("no part named " + names[0]);
  }

  std::vector<std::vector<std::string>> rows;
  bool ok = true;
  for (const auto& part : kParts) {
    if (!names.empty() && std::find(names.begin(), names.end(), part.name) == names.end()) continue;
    ok = RunChild(part, rows) && ok;
  }
  PrintTable(rows);
  return ok ? 0 : 1;
}
