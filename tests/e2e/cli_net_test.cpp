// tavrin-cli through the real ser2net: the virtual controller's
// pseudo-terminal served on loopback by RFC 2217 and by raw TCP.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "image/ImageFile.h"
#include "platform/DeviceNames.h"
#include "support/Wait.h"
#include "vc/VirtualController.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace vc = tavrin::vc;
namespace image = tavrin::image;

const std::string kCli = std::string(TAVRIN_BUILD_DIR) + "/bin/tavrin-cli";

// A program as a child process, standard input from /dev/null, both outputs
// collected.
class Child {
 public:
  Child(const std::string& program, const std::vector<std::string>& args) {
    int out[2];
    if (pipe(out) != 0) return;
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      const int null = open("/dev/null", O_RDONLY);
      dup2(null, 0);
      dup2(out[1], 1);
      dup2(out[1], 2);
      close(out[0]);
      execvp(program.c_str(), argv.data());
      _exit(127);
    }
    close(out[1]);
    fd_ = out[0];
  }
  ~Child() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (fd_ >= 0) close(fd_);
  }
  bool ReadUntil(const std::function<bool()>& pred, std::chrono::milliseconds deadline = 60s) {
    const auto until = Clock::now() + deadline;
    while (!pred()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
      if (left.count() <= 0 || fd_ < 0) return pred();
      pollfd p = {fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buffer[4096];
      const ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n <= 0) {
        close(fd_);
        fd_ = -1;
      } else {
        out_.append(buffer, static_cast<std::size_t>(n));
      }
    }
    return true;
  }
  int Wait(std::chrono::milliseconds deadline = 60s) {
    ReadUntil([] { return false; }, deadline);
    int status = 0;
    const auto until = Clock::now() + 5s;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (Clock::now() > until) return -1;
      usleep(1000);
    }
    exited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  void Signal(int signal) { kill(pid_, signal); }
  const std::string& Out() const { return out_; }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
  bool exited_ = false;
  std::string out_;
};

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A loopback TCP port that nothing listens on just now.
int FreePort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
    close(s);
    return 0;
  }
  close(s);
  return ntohs(a.sin_port);
}

bool Listening(int port) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(s);
  return ok;
}

// ser2net serving one device on two loopback ports: RFC 2217 and raw TCP.
// `line` is the device's setting before any client sets it.
class Ser2net {
 public:
  Ser2net(const std::string& dir, const std::string& device, const std::string& line = "9600e71",
          const std::string& host = "127.0.0.1") {
    rfc2217Port_ = FreePort();
    rawPort_ = FreePort();
    const std::string config = dir + "/ser2net.yaml";
    std::ofstream out(config);
    out << "connection: &rfc\n"
        << "  accepter: telnet(rfc2217),tcp," << host << "," << rfc2217Port_ << "\n"
        << "  connector: serialdev," << device << "," << line << ",local\n"
        << "  options:\n    chardelay: false\n"
        << "connection: &raw\n"
        << "  accepter: tcp,127.0.0.1," << rawPort_ << "\n"
        << "  connector: serialdev," << device << ",115200n81,local\n"
        << "  options:\n    chardelay: false\n";
    out.close();
    child_ = std::make_unique<Child>("ser2net", std::vector<std::string>{
                                                    "-n", "-u", "-P", dir + "/ser2net.pid", "-c", config});
    EXPECT_TRUE(WaitUntil([&] { return (host != "127.0.0.1" || Listening(rfc2217Port_)) && Listening(rawPort_); }, 20s))
        << child_->Out();
  }
  void Stop() {
    child_->Signal(SIGKILL);
    child_->Wait(10s);
  }
  std::string Rfc2217() const { return "rfc2217://127.0.0.1:" + std::to_string(rfc2217Port_); }
  std::string Raw() const { return "socket://127.0.0.1:" + std::to_string(rawPort_); }

 private:
  int rfc2217Port_ = 0;
  int rawPort_ = 0;
  std::unique_ptr<Child> child_;
};

class CliThroughSer2net : public ::testing::Test {
 protected:
  static vc::Options Controller() {
    vc::Options o;
    o.identity.deviceCode = 1;
    o.identity.bootloaderVersion = 255;
    o.identity.firmwareVersion = 0xFFFF;  // replies rich in 0xFF, too
    o.identity.dataVersion = 0xFFFF;
    o.identity.programMemoryCheck = 1;
    o.intervalMs = 150;
    o.frameGapMs = 0;
    o.link = false;
    o.replySize = 64;
    return o;
  }
  std::unique_ptr<vc::VirtualController> Start(const vc::Options& options) {
    auto controller = std::make_unique<vc::VirtualController>(options);
    std::string error;
    EXPECT_TRUE(controller->Start(&error)) << error;
    return controller;
  }
  // Firmware whose every payload byte is 0xFF.
  std::string Firmware(const std::string& name, std::uint16_t version, std::size_t frames = 40) {
    std::mt19937 rng(version);
    const std::vector<std::uint8_t> payload(frames * 64, 0xFF);
    const auto bytes = image::BuildFirmware({1, version}, payload, rng);
    const std::string path = dir_.path().toStdString() + "/" + name;
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
  }
  std::string Dir() const { return dir_.path().toStdString(); }

  QTemporaryDir dir_;
};

TEST_F(CliThroughSer2net, IdentifiesAndWritesFirmwareRichInFFThroughRfc2217AndRawTcp) {
  auto controller = Start(Controller());
  Ser2net server(Dir(), controller->SlavePath());
  std::uint16_t version = 5;
  for (const std::string& url : {server.Rfc2217(), server.Raw()}) {
    Child identify(kCli, {"identify", "--json", "--port", url, "--timeout", "20"});
    ASSERT_EQ(identify.Wait(), 0) << url << "\n" << identify.Out();
    EXPECT_TRUE(Has(identify.Out(), "\"firmwareVersion\":65535")) << identify.Out();
    EXPECT_TRUE(Has(identify.Out(), "\"port\":\"" + url + "\"")) << identify.Out();

    const std::uint64_t before = controller->GetCounters().imagesOk;
    const std::string firmware = Firmware("ff-" + std::to_string(version) + ".sbin", version);
    Child write(kCli, {"write", firmware, "--yes", "--port", url, "--timeout", "20"});
    ASSERT_EQ(write.Wait(), 0) << url << "\n" << write.Out();
    EXPECT_EQ(controller->GetCounters().imagesOk, before + 1) << url;
    EXPECT_EQ(controller->CurrentIdentity().firmwareVersion, version) << url;
    const auto image = controller->LastImage();
    EXPECT_TRUE(!image.empty() && std::all_of(image.end() - 40 * 64, image.end(),
                                              [](std::uint8_t b) { return b == 0xFF; }))
        << url;
    controller->SetIdentity(Controller().identity);
    ++version;
  }
}

TEST_F(CliThroughSer2net, TheLineSettingsAskedForReachTheDeviceAndASecondClientFindsItInUse) {
  auto controller = Start(Controller());
  // ser2net opens the device at 9600 7E1: only the client's settings make it 115200 8N1.
  Ser2net server(Dir(), controller->SlavePath(), "9600e71");
  // Read while the client is on: ser2net may put its own settings back once
  // the client has gone.
  const std::string firmware = Firmware("settings.sbin", 5, 400);
  Child write(kCli, {"write", firmware, "--yes", "--port", server.Rfc2217(), "--timeout", "20"});
  ASSERT_TRUE(WaitUntil([&] { return controller->GetCounters().chunks >= 2; }, 30s)) << write.Out();
  termios t{};
  const int fd = open(controller->SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(tcgetattr(fd, &t), 0);
  close(fd);
  EXPECT_EQ(controller->GetCounters().imagesOk, 0u) << "read after the write, not during it";
  ASSERT_EQ(write.Wait(), 0) << write.Out();
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);

  // Someone else is on the port: the open fails as for a local port in use.
  const int other = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(std::stoi(server.Rfc2217().substr(20))));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(other, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  // Taken once it has said its options.
  char byte = 0;
  ASSERT_EQ(recv(other, &byte, 1, 0), 1);
  Child busy(kCli, {"identify", "--port", server.Rfc2217(), "--timeout", "3"});
  EXPECT_EQ(busy.Wait(), 3) << busy.Out();
  EXPECT_TRUE(Has(busy.Out(), "status: Не удалось открыть порт")) << busy.Out();
  EXPECT_EQ(controller->GetCounters().identifyRequests, 1u);
  close(other);
}

TEST_F(CliThroughSer2net, Ser2netStoppedMidWriteIsTheVanishedControllerAndAnUnreachablePortEndsItsStep) {
  vc::Options options = Controller();
  options.intervalMs = 0;  // no retransmissions: only the vanished port ends the link
  options.faults.ignore = *vc::FrameSet::Parse("6-100000");
  auto controller = Start(options);
  auto server = std::make_unique<Ser2net>(Dir(), controller->SlavePath());
  Child write(kCli, {"write", Firmware("fw.sbin", 7), "--yes", "--port", server->Rfc2217()});
  ASSERT_TRUE(WaitUntil([&] { return controller->GetCounters().framesIn >= 6; }, 30s));
  server->Stop();
  EXPECT_EQ(write.Wait(20s), 4) << write.Out();
  EXPECT_TRUE(Has(write.Out(), "did not get the whole image")) << write.Out();

  // Nothing listens there: the scan step fails at once and the run ends
  // with nobody answering, not with a hang.
  Child refused(kCli, {"identify", "--port", "rfc2217://127.0.0.1:" + std::to_string(FreePort()),
                       "--timeout", "2"});
  EXPECT_EQ(refused.Wait(20s), 3) << refused.Out();
  EXPECT_TRUE(Has(refused.Out(), "status: Не удалось открыть порт")) << refused.Out();
  // A host that never answers (a documentation address): each step ends
  // within its bound, so the run ends by its time-out.
  Child unreachable(kCli, {"identify", "--port", "socket://192.0.2.1:3333", "--timeout", "2"});
  EXPECT_EQ(unreachable.Wait(20s), 3) << unreachable.Out();
  // A URL that is no address is a usage mistake.
  Child bad(kCli, {"identify", "--port", "rfc2217://::1:3333"});
  EXPECT_EQ(bad.Wait(), 2) << bad.Out();
  EXPECT_TRUE(Has(bad.Out(), "brackets")) << bad.Out();
}

TEST_F(CliThroughSer2net, AMappedComNameIsListedScannedAndNeverShadowsAPortOfThisMachine) {
  auto remote = Start(Controller());
  vc::Options localOptions = Controller();
  localOptions.link = true;
  localOptions.port = "COM41";
  auto local = Start(localOptions);
  Ser2net server(Dir(), remote->SlavePath());
  const std::string map = platform::NetworkPortMapPath();
  ASSERT_FALSE(map.empty());
  {
    std::ofstream out(map);
    out << "# bench 3\nCOM40 = " << server.Rfc2217() << "\nCOM41 = " << server.Raw()
        << "\nCOM42 rfc2217://x:1\n";
  }
  Child ports(kCli, {"ports"});
  EXPECT_EQ(ports.Wait(), 0);
  EXPECT_TRUE(Has(ports.Out(), "  COM40   " + server.Rfc2217() + " (on another machine)")) << ports.Out();
  EXPECT_TRUE(Has(ports.Out(), "COM41 = " + server.Raw() + " is not tried")) << ports.Out();
  EXPECT_TRUE(Has(ports.Out(), map + ":4: not NAME = URL")) << ports.Out();

  Child identify(kCli, {"identify", "--json", "--port", "COM40", "--timeout", "20"});
  ASSERT_EQ(identify.Wait(), 0) << identify.Out();
  EXPECT_EQ(remote->GetCounters().identifyRequests, 1u);
  Child shadowed(kCli, {"identify", "--json", "--port", "COM41", "--timeout", "20"});
  ASSERT_EQ(shadowed.Wait(), 0) << shadowed.Out();
  EXPECT_EQ(local->GetCounters().identifyRequests, 1u);
  EXPECT_EQ(remote->GetCounters().identifyRequests, 1u);

  // The gang: one slot on this machine, one through ser2net.
  Child gang(kCli, {"write", Firmware("gang.sbin", 9), "--yes", "--port", "COM41", "--port",
                    server.Rfc2217(), "--timeout", "30"});
  EXPECT_EQ(gang.Wait(90s), 0) << gang.Out();
  EXPECT_EQ(local->GetCounters().imagesOk, 1u);
  EXPECT_EQ(remote->GetCounters().imagesOk, 1u);

  // doctor connects to a mapped name only with --open, as it opens a local port.
  const auto network = [](const std::string& out) {
    return QJsonDocument::fromJson(QByteArray::fromStdString(out))
        .object()["system"].toObject()["network"].toObject()["COM40"].toObject();
  };
  Child unasked(kCli, {"doctor", "--json"});
  unasked.Wait();
  EXPECT_EQ(network(unasked.Out())["url"].toString().toStdString(), server.Rfc2217()) << unasked.Out();
  EXPECT_FALSE(network(unasked.Out())["connected"].toBool(true)) << unasked.Out();
  EXPECT_FALSE(network(unasked.Out()).contains("rfc2217")) << unasked.Out();
  Child doctor(kCli, {"doctor", "--json", "--open"});
  doctor.Wait();
  const QJsonObject com40 = network(doctor.Out());
  EXPECT_EQ(com40["url"].toString().toStdString(), server.Rfc2217()) << doctor.Out();
  EXPECT_EQ(com40["rfc2217"].toObject()["baudRate"].toInt(), 115200) << doctor.Out();
  std::filesystem::remove(map);
}

// One server port under two names would be written, and counted, once in
// each slot: the gang refuses it as it refuses a COM name given twice.
TEST_F(CliThroughSer2net, TheGangRefusesOneServerPortUnderTwoNames) {
  const std::string map = platform::NetworkPortMapPath();
  ASSERT_FALSE(map.empty());
  const std::string url = "rfc2217://127.0.0.1:" + std::to_string(FreePort());
  {
    std::ofstream out(map);
    out << "COM40 = " << url << "\n";
  }
  const std::string firmware = Firmware("twice.sbin", 3);
  for (const auto& [a, b] : std::vector<std::pair<std::string, std::string>>{
           {"COM40", url},
           {url, "RFC2217://127.0.0.1:" + url.substr(20) + "/"},
           {"rfc2217://Bench3:3333", "socket://bench3:3333"}}) {
    Child gang(kCli, {"write", firmware, "--yes", "--port", a, "--port", b, "--timeout", "1"});
    EXPECT_EQ(gang.Wait(), 2) << a << " " << b << "\n" << gang.Out();
    EXPECT_TRUE(Has(gang.Out(), "a port is given twice")) << gang.Out();
  }
  std::filesystem::remove(map);
}

// A host may be a name, looked up, or an IPv6 address in brackets.
TEST_F(CliThroughSer2net, AHostNameIsLookedUpAndAnIpv6AddressGoesInBrackets) {
  auto controller = Start(Controller());
  Ser2net server(Dir(), controller->SlavePath(), "115200n81", "::1");
  Child ipv6(kCli, {"identify", "--port", "rfc2217://[::1]:" + server.Rfc2217().substr(20), "--timeout", "20"});
  EXPECT_EQ(ipv6.Wait(), 0) << ipv6.Out();
  Child name(kCli, {"identify", "--port", "socket://localhost:" + server.Raw().substr(19), "--timeout", "20"});
  EXPECT_EQ(name.Wait(), 0) << name.Out();
  EXPECT_EQ(controller->GetCounters().identifyRequests, 2u);
}

// Every scan reads the name map: one that is a FIFO, or a link to a device
// that never ends, is left out with a word, never waited on.
TEST_F(CliThroughSer2net, ANameMapThatIsNoPlainFileIsLeftOut) {
  const std::string map = platform::NetworkPortMapPath();
  ASSERT_FALSE(map.empty());
  std::filesystem::remove(map);
  ASSERT_EQ(mkfifo(map.c_str(), 0600), 0);
  Child fifo(kCli, {"ports"});
  EXPECT_EQ(fifo.Wait(20s), 0) << fifo.Out();
  EXPECT_TRUE(Has(fifo.Out(), map + ": not a plain file")) << fifo.Out();
  std::filesystem::remove(map);
  std::filesystem::create_symlink("/dev/zero", map);
  Child endless(kCli, {"identify", "--port", "COM40", "--timeout", "1"});
  EXPECT_EQ(endless.Wait(20s), 3) << endless.Out();
  std::filesystem::remove(map);
  std::ofstream(map) << std::string(70000, '#');
  Child big(kCli, {"ports"});
  EXPECT_EQ(big.Wait(20s), 0) << big.Out();
  EXPECT_TRUE(Has(big.Out(), map + ": longer than 64 KiB")) << big.Out();
  std::filesystem::remove(map);
}

TEST_F(CliThroughSer2net, DoctorTellsTheNegotiationTheRoundTripAndWhatStandsInTheWay) {
  auto controller = Start(Controller());
  Ser2net server(Dir(), controller->SlavePath());
  const std::string refused = "rfc2217://127.0.0.1:" + std::to_string(FreePort());
  Child doctor(kCli, {"doctor", "--json", "--port", server.Rfc2217(), "--port", server.Raw(),
                      "--port", refused});
  EXPECT_EQ(doctor.Wait(), 1) << doctor.Out();
  const std::string& out = doctor.Out();
  // What the server accepted and said, and what the round trip leaves.
  EXPECT_TRUE(Has(out, "\"binaryFromServer\":true,\"binaryToServer\":true,\"comPort\":true")) << out;
  EXPECT_TRUE(Has(out, "\"baudRate\":115200")) << out;
  EXPECT_TRUE(Has(out, "\"dataSize\":8")) << out;
  EXPECT_TRUE(Has(out, "\"parity\":\"none\"")) << out;
  EXPECT_TRUE(Has(out, "\"signature\":\"ser2net\"")) << out;
  const QJsonObject network = QJsonDocument::fromJson(QByteArray::fromStdString(out))
                                 .object()["system"].toObject()["network"].toObject();
  // The figures are measured, so only what holds on any machine is checked
  // here (bench/ has the figures): a share of the line, less where the trip is longer.
  std::vector<std::pair<double, double>> trips;  // round trip, line share
  for (const std::string& url : {server.Rfc2217(), server.Raw()}) {
    const QJsonObject port = network[QString::fromStdString(url)].toObject();
    trips.emplace_back(port["roundTripMs"].toDouble(), port["lineShare"].toDouble());
    EXPECT_GT(trips.back().first, 0.0) << url << "\n" << out;
    EXPECT_GT(trips.back().second, 0.0) << url << "\n" << out;
    EXPECT_LT(trips.back().second, 100.0) << url << "\n" << out;
  }
  if (trips[0].first != trips[1].first) {
    EXPECT_EQ(trips[0].first < trips[1].first, trips[0].second > trips[1].second) << out;
  }
  EXPECT_TRUE(Has(out, "\"port\":\"" + refused + "\",\"problem\":true")) << out;
  EXPECT_TRUE(Has(out, "Connection refused")) << out;
  // Only the refused one stands in the way.
  Child plain(kCli, {"doctor", "--port", server.Rfc2217()});
  plain.Wait();
  EXPECT_TRUE(Has(plain.Out(), "RFC 2217: BINARY both ways, COM-PORT-OPTION accepted; line 115200 8N1; server \"ser2net\""))
      << plain.Out();
  EXPECT_TRUE(Has(plain.Out(), "of the line's speed")) << plain.Out();
  // Another client has the port: in use, and the fix never says to let
  // each new client throw the old one off (a write under way would end).
  const int other = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(std::stoi(server.Rfc2217().substr(20))));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(other, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  char byte = 0;
  ASSERT_EQ(recv(other, &byte, 1, 0), 1);
  Child busy(kCli, {"doctor", "--port", server.Rfc2217()});
  EXPECT_EQ(busy.Wait(), 1) << busy.Out();
  EXPECT_TRUE(Has(busy.Out(), "is in use by another client of the server")) << busy.Out();
  EXPECT_TRUE(Has(busy.Out(), "Do not set kickolduser")) << busy.Out();
  EXPECT_FALSE(Has(busy.Out(), "kickolduser: true")) << busy.Out();
  close(other);
  Child local(kCli, {"doctor", "--port", "COM5"});
  EXPECT_EQ(local.Wait(), 2) << local.Out();
}

}  // namespace
