// tavrin-virtual-controller: one stand-in controller on a COM<n> link until
// Ctrl+C (or SIGTERM, SIGHUP, SIGQUIT, SIGPIPE); the link is removed on every
// way out but SIGKILL, and a later controller reclaims a link left by that.
// SIGUSR1 restarts it as --reset-after-update describes.
#include <CLI/CLI.hpp>

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "common/Cli.h"
#include "image/ImageFile.h"
#include "vc/VirtualController.h"

using namespace tavrin::vc;

namespace {

constexpr const char* kProgram = "tavrin-virtual-controller";

const std::string kFooter =
    std::string("Frame numbers (SET) count every frame the controller takes in, from 1: "
                "IdentifyRequests, chunks, closing frames and retransmissions alike. SET is "
                "\"all\" or a list such as \"3\" or \"2-4,7\".\n\n") +
    tavrin::image::kImageCrcRuleHelp +
    " A closing frame whose ImageCrc matches is answered with result 1, any other with 0.";

int Fail(const std::string& reason) { return tavrin::cli::Fail(kProgram, reason, 2); }

int Run(int argc, char** argv);

}  // namespace

int main(int argc, char** argv) {
  // The controller's destructor removes the link; an error that escaped would
  // end the program without it.
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    return Fail(e.what());
  } catch (...) {
    return Fail("unexpected error");
  }
}

namespace {

int Run(int argc, char** argv) {
  CLI::App app{"A virtual Tavrin controller on a pseudo-terminal, linked as a COM port.",
               kProgram};
  app.footer(kFooter);

  Options o;
  int device = 1;
  int bootloader = 1;
  int firmware = 1;
  int dataVersion = 1;
  int programCheck = 1;
  int dataCheck = 1;
  int interval = 200;
  int replySize = 16;
  std::string delayFrames = "all";
  std::string ignore, split, badCrc, unknown, doubleAnswer;
  std::string paceFrames = "all";
  int pace = -1;
  int result = -1;
  std::string unknownType = "0xDA02";
  bool unknownInstead = false;
  bool noLink = false;
  int resetMs = -1;

  app.add_option("--port", o.port, "Port name, COM1-COM255 (default: the first free from COM20)");
  app.add_option("--link-dir", o.linkDirectory,
                 "Directory for the COM link (default: the programmer's DOS-device directory)");
  app.add_flag("--no-link", noLink, "Make no COM link; use the pseudo-terminal path printed");

  auto* id = "Identity";
  app.add_option("--device", device, "Device code, 0-32767 (1-20 are the known models)")
      ->capture_default_str()->check(CLI::Range(0, 0x7FFF))->group(id);
  app.add_flag("--alert", o.identity.alert, "Set the alert bit (bit 15 of the device type)")
      ->group(id);
  app.add_option("--bootloader", bootloader, "Boot-loader version, 0-255")
      ->capture_default_str()->check(CLI::Range(0, 255))->group(id);
  app.add_option("--firmware", firmware, "Firmware version, 0-65535")
      ->capture_default_str()->check(CLI::Range(0, 65535))->group(id);
  app.add_option("--data-version", dataVersion, "Data-map version, 0-65535")
      ->capture_default_str()->check(CLI::Range(0, 65535))->group(id);
  app.add_option("--program-check", programCheck, "Program-memory check byte (1 = OK)")
      ->capture_default_str()->check(CLI::Range(0, 255))->group(id);
  app.add_option("--data-check", dataCheck, "Data-memory check byte (1 = OK)")
      ->capture_default_str()->check(CLI::Range(0, 255))->group(id);

  auto* line = "Line";
  app.add_option("--interval", interval, "Retransmission interval asked for in ChunkRequests, ms")
      ->capture_default_str()->check(CLI::Range(0, 65535))->group(line);
  app.add_option("--reply-size", replySize,
                 "Length of ChunkRequests, results and unknown frames: 16-64, a multiple of 4")
      ->capture_default_str()->check(CLI::Range(16, 64))->group(line);
  app.add_option("--frame-gap", o.frameGapMs, "Pause between two frames sent with nothing from the host in between, ms")
      ->capture_default_str()->group(line);
  app.add_option("--partial-timeout", o.partialTimeoutMs,
                 "Drop a partial frame after this many ms without bytes")
      ->capture_default_str()->group(line);
  app.add_flag("--line-rate", o.lineRate,
               "Pace both directions as a 115200-baud line (86.8 us per byte)")->group(line);
  app.add_flag("--log", o.log, "Print every frame in and out: time in ms, type, bytes in hex")
      ->group(line);

  auto* reset = "Reset";
  app.add_option("--reset-after-update", resetMs,
                 "After answering a closing frame with success, stay silent this many ms, then "
                 "answer again at the new version (SIGUSR1 resets the same way at any time; "
                 "default 1000 ms then)")
      ->check(CLI::Range(0, 3600000))->group(reset);
  app.add_flag("--reset-unplug", o.resetUnplug,
               "While silent, leave the port list: the link goes and the terminal hangs up, "
               "as a USB controller does")->group(reset);
  app.add_option("--reset-port", o.resetPort,
                 "Come back under this name, COM1-COM255 (implies --reset-unplug)")->group(reset);

  auto* faults = "Faults";
  app.add_flag("--silent", o.faults.silent, "Answer nothing")->group(faults);
  app.add_option("--delay", o.faults.delayMs, "Wait this many ms before answering")
      ->group(faults);
  app.add_option("--delay-frames", delayFrames, "SET of frames the delay applies to")
      ->capture_default_str()->group(faults);
  app.add_option("--ignore", ignore, "SET of frames taken as never received")->group(faults);
  app.add_option("--split", split, "SET of frames whose answer goes out in two writes")
      ->group(faults);
  app.add_option("--split-gap", o.faults.splitGapMs, "Pause between the two writes, ms")
      ->capture_default_str()->group(faults);
  app.add_option("--bad-crc", badCrc, "SET of frames answered with a wrong checksum")
      ->group(faults);
  app.add_option("--pace", pace, "Send a PaceUpdate with this interval (ms) before answering")
      ->check(CLI::Range(0, 65535))->group(faults);
  app.add_option("--pace-frames", paceFrames, "SET of frames the PaceUpdate precedes")
      ->capture_default_str()->group(faults);
  app.add_option("--unknown", unknown, "SET of frames preceded by a frame of an unknown type")
      ->group(faults);
  app.add_option("--unknown-type", unknownType, "Type word of that frame")
      ->capture_default_str()->group(faults);
  app.add_flag("--unknown-instead", unknownInstead,
               "Send the unknown frame instead of the answer")->group(faults);
  app.add_option("--result", result,
                 "Answer every closing frame with this result byte (1 = success)")
      ->check(CLI::Range(0, 255))->group(faults);
  app.add_option("--double", doubleAnswer, "SET of frames whose ChunkRequest is sent twice")
      ->group(faults);

  if (const auto done = tavrin::cli::Parse(app, argc, argv, kProgram)) return *done;

  o.link = !noLink;
  o.identity.deviceCode = static_cast<std::uint16_t>(device);
  o.identity.bootloaderVersion = static_cast<std::uint8_t>(bootloader);
  o.identity.firmwareVersion = static_cast<std::uint16_t>(firmware);
  o.identity.dataVersion = static_cast<std::uint16_t>(dataVersion);
  o.identity.programMemoryCheck = static_cast<std::uint8_t>(programCheck);
  o.identity.dataMemoryCheck = static_cast<std::uint8_t>(dataCheck);
  o.intervalMs = static_cast<std::uint16_t>(interval);
  o.replySize = static_cast<std::size_t>(replySize);
  if (pace >= 0) o.faults.paceMs = static_cast<std::uint16_t>(pace);
  if (result >= 0) o.faults.closeResult = static_cast<std::uint8_t>(result);
  if (resetMs >= 0) o.resetAfterUpdate = std::chrono::milliseconds(resetMs);
  o.faults.unknownMode = unknownInstead ? UnknownMode::Instead : UnknownMode::Before;
  try {
    const unsigned long type = std::stoul(unknownType, nullptr, 0);
    if (type > 0xFFFF) throw std::out_of_range("type");
    o.faults.unknownType = static_cast<std::uint16_t>(type);
  } catch (const std::exception&) {
    return Fail("--unknown-type: \"" + unknownType + "\" is not a 16-bit number");
  }

  struct SetOption {
    const char* name;
    const std::string& text;
    FrameSet& target;
  };
  const SetOption sets[] = {{"--delay-frames", delayFrames, o.faults.delayFrames},
                            {"--ignore", ignore, o.faults.ignore},
                            {"--split", split, o.faults.split},
                            {"--bad-crc", badCrc, o.faults.badCrc},
                            {"--pace-frames", paceFrames, o.faults.paceFrames},
                            {"--unknown", unknown, o.faults.unknown},
                            {"--double", doubleAnswer, o.faults.doubleAnswer}};
  for (const auto& s : sets) {
    if (s.text.empty()) continue;
    std::string why;
    const auto parsed = FrameSet::Parse(s.text, &why);
    if (!parsed) return Fail(std::string(s.name) + ": " + why);
    s.target = *parsed;
  }
  if (const std::string why = ValidateOptions(o); !why.empty()) return Fail(why);

  // The signals are taken by sigwait below, never by a handler, so the
  // controller's thread is never interrupted half-way through a frame.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  sigaddset(&stopSignals, SIGQUIT);  // Ctrl+backslash
  sigaddset(&stopSignals, SIGPIPE);  // whoever reads our output has gone
  sigaddset(&stopSignals, SIGUSR1);  // a reset, not an end
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  // A write to our output that fails (SIGPIPE is blocked, so it fails with
  // EPIPE) ends the controller as a signal does.
  const auto stopOnFailedWrite = [] {
    if (!std::cout) kill(getpid(), SIGTERM);
  };
  if (o.log) {
    o.logSink = [stopOnFailedWrite](const std::string& line) {
      std::cout << line << std::endl;
      stopOnFailedWrite();
    };
  }

  VirtualController vc(o);
  std::string error;
  if (!vc.Start(&error)) return Fail(error);
  if (o.link) {
    std::cout << vc.PortName() << std::endl;
    stopOnFailedWrite();
    std::cerr << kProgram << ": " << vc.PortName() << " is " << vc.SlavePath() << " (link "
              << vc.LinkPath() << "); Ctrl+C ends\n";
  } else {
    std::cout << vc.SlavePath() << std::endl;
    stopOnFailedWrite();
  }

  int signal = 0;
  for (;;) {
    sigwait(&stopSignals, &signal);
    if (signal != SIGUSR1) break;
    ResetPlan plan;
    plan.silentFor = o.resetAfterUpdate.value_or(std::chrono::milliseconds(1000));
    plan.unplug = o.resetUnplug;
    if (!o.resetPort.empty()) plan.port = o.resetPort;
    if (!vc.Reset(plan)) std::cerr << kProgram << ": the reset did not begin\n";
  }
  vc.Stop();
  const Counters c = vc.GetCounters();
  std::cerr << kProgram << ": stopped (" << c.framesIn << " frames in, " << c.framesOut
            << " out, " << c.imagesOk << " images written, " << c.imagesFailed << " refused)\n";
  return 0;
}

}  // namespace
