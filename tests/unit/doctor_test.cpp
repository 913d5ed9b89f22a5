// tavrin-cli doctor's judgement on fake machines: one test for each row of
// doctor_scenarios.md, beside this file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "cli/Doctor.h"
#include "platform/DeviceNames.h"
#include "platform/linux/Host.h"
#include "platform/linux/SystemRoot.h"

namespace {

namespace fs = std::filesystem;
namespace doctor = cli::doctor;

constexpr unsigned kAlice = 1000;
constexpr unsigned kBob = 1001;
constexpr unsigned kDialout = 20;

// Who runs the doctor, and the owners, modes and ACLs of the machine's files
// (a file not named here is root's, with its own mode).
class FakeHost : public platform::Host {
 public:
  unsigned euid = kAlice;
  std::vector<unsigned> groups{kAlice};
  std::map<std::string, std::string> env;
  std::map<std::string, platform::NodeStat> nodes;

  unsigned Euid() const override { return euid; }
  std::vector<unsigned> SessionGroups() const override { return groups; }
  std::string Env(const std::string& name) const override {
    const auto it = env.find(name);
    return it == env.end() ? "" : it->second;
  }
  platform::NodeStat Stat(const std::string& path) const override {
    std::error_code ec;
    const std::string real = fs::canonical(path, ec).string();
    const auto it = nodes.find(ec ? path : real);
    if (it != nodes.end()) return it->second;
    platform::NodeStat node;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return node;
    node.exists = true;
    node.directory = S_ISDIR(st.st_mode);
    node.mode = st.st_mode & 07777;
    return node;
  }
};

// A machine in a folder: its users, groups, processes, serial ports and rules.
class FakeMachine {
 public:
  FakeMachine() {
    root_ = (fs::temp_directory_path() / "machine-XXXXXX").string();
    if (mkdtemp(root_.data()) == nullptr) root_.clear();
    root_ = fs::canonical(root_).string();
    for (const char* dir : {"/etc", "/proc", "/dev", "/sys/class/tty", "/run/lock", "/var",
                            "/usr/lib/udev/rules.d", "/etc/udev/rules.d", "/usr/bin"})
      fs::create_directories(root_ + dir);
    fs::permissions(root_ + "/run/lock", fs::perms(01777));
    fs::create_directory_symlink("../run/lock", root_ + "/var/lock");
    User("root", 0, 0);
    User("alice", kAlice, kAlice);
    User("bob", kBob, kBob);
    platform::SetSystemRootForTest(root_);
    platform::SetHostForTest(&host);
    // COM links of its own, not those of whoever runs the tests.
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR")) runtime_ = runtime;
    fs::create_directories(root_ + "/run/user/test");
    fs::permissions(root_ + "/run/user/test", fs::perms::owner_all);
    setenv("XDG_RUNTIME_DIR", (root_ + "/run/user/test").c_str(), 1);
  }
  ~FakeMachine() {
    if (runtime_) setenv("XDG_RUNTIME_DIR", runtime_->c_str(), 1);
    else unsetenv("XDG_RUNTIME_DIR");
    platform::SetHostForTest(nullptr);
    platform::SetSystemRootForTest("");
    std::error_code ec;
    fs::permissions(root_ + "/run/lock", fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(root_, ec);
  }
  FakeMachine(const FakeMachine&) = delete;
  FakeMachine& operator=(const FakeMachine&) = delete;

  std::string Path(const std::string& absolute) const { return root_ + absolute; }
  void Write(const std::string& absolute, const std::string& text, bool append = true) const {
    fs::create_directories(fs::path(Path(absolute)).parent_path());
    std::ofstream(Path(absolute), append ? std::ios::app : std::ios::trunc) << text;
  }
  void User(const std::string& name, unsigned uid, unsigned gid) {
    Write("/etc/passwd", name + ":x:" + std::to_string(uid) + ":" + std::to_string(gid) +
                             "::/home/" + name + ":/bin/sh\n");
    Write("/etc/group", name + ":x:" + std::to_string(gid) + ":\n");
  }
  void Group(const std::string& name, unsigned gid, const std::string& members = "") const {
    Write("/etc/group", name + ":x:" + std::to_string(gid) + ":" + members + "\n");
  }
  void Process(int pid, unsigned uid, const std::string& comm) {
    Write("/proc/" + std::to_string(pid) + "/comm", comm + "\n");
    platform::NodeStat st;
    st.exists = st.directory = true;
    st.uid = uid;
    st.mode = 0555;
    host.nodes[Path("/proc/" + std::to_string(pid))] = st;
  }
  // A device node /dev/<name> with its owner and mode.
  void Node(const std::string& name, unsigned uid, unsigned gid, unsigned mode) {
    Write("/dev/" + name, "");
    platform::NodeStat st;
    st.exists = st.charDevice = true;
    st.uid = uid;
    st.gid = gid;
    st.mode = mode;
    host.nodes[fs::canonical(Path("/dev/" + name)).string()] = st;
  }
  // A plain file of `uid`'s, as the host tells it.
  void OwnedBy(const std::string& absolute, unsigned uid) {
    platform::NodeStat st;
    st.exists = true;
    st.uid = st.gid = uid;
    st.mode = 0644;
    host.nodes[fs::canonical(Path(absolute)).string()] = st;
  }
  platform::NodeStat& NodeOf(const std::string& name) {
    return host.nodes[fs::canonical(Path("/dev/" + name)).string()];
  }
  // A USB adapter on port `usbPort` of the bus, as sysfs shows it. ttyACM:
  // the tty's device is the interface; ttyUSB: a port below the interface.
  void Adapter(const std::string& tty, const std::string& usbPort, const std::string& vendor,
               const std::string& product, const std::string& driver,
               const std::string& ifaceDriver = "") {
    const fs::path usb = Path("/sys/devices/pci0000:00/0000:00:14.0/usb1/" + usbPort);
    const fs::path iface = usb / (usbPort + ":1.0");
    const bool acm = tty.rfind("ttyACM", 0) == 0;
    const fs::path device = acm ? iface : iface / tty;
    fs::create_directories(device);
    std::ofstream(usb / "idVendor") << vendor << "\n";
    std::ofstream(usb / "idProduct") << product << "\n";
    std::ofstream(usb / "product") << "Adapter " << tty << "\n";
    const auto bind = [&](const fs::path& at, const std::string& name) {
      const fs::path dir = Path("/sys/bus/usb/drivers/" + name);
      fs::create_directories(dir);
      fs::create_directory_symlink(dir, at / "driver");
    };
    bind(device, driver);
    if (!acm) bind(iface, ifaceDriver.empty() ? driver : ifaceDriver);
    fs::create_directories(Path("/sys/class/tty/" + tty));
    fs::create_directory_symlink(device, Path("/sys/class/tty/" + tty + "/device"));
  }
  // A second interface of the adapter on `usbPort`, with its driver.
  void Interface(const std::string& usbPort, const std::string& name, const std::string& driver) {
    const fs::path iface = Path("/sys/devices/pci0000:00/0000:00:14.0/usb1/" + usbPort + "/" + name);
    fs::create_directories(iface);
    const fs::path dir = Path("/sys/bus/usb/drivers/" + driver);
    fs::create_directories(dir);
    fs::create_directory_symlink(dir, iface / "driver");
  }
  void Acm(const std::string& vendor = "0483", const std::string& product = "5740") {
    Adapter("ttyACM0", "1-3", vendor, product, "cdc_acm");
    Node("ttyACM0", 0, kDialout, 0660);
  }
  void Ch340(unsigned uid = 0, unsigned gid = kDialout, unsigned mode = 0660) {
    Adapter("ttyUSB0", "1-2", "1a86", "7523", "ch341-uart", "ch341");
    Node("ttyUSB0", uid, gid, mode);
  }
  void Brltty() {
    Write("/usr/bin/brltty", "");
    Write("/usr/lib/udev/rules.d/85-brltty.rules",
          "# braille displays\n"
          "ENV{PRODUCT}==\"1a86/7523/*\", ENV{BRLTTY_BRAILLE_DRIVER}=\"bm\", GOTO=\"brltty_run\"\n"
          "ENV{PRODUCT}==\"1a86/5523/*\", ENV{BRLTTY_BRAILLE_DRIVER}=\"bm\", GOTO=\"brltty_run\"\n");
  }
  void Template() {
    fs::copy_file(std::string(TAVRIN_SOURCE_DIR) + "/packaging/70-tavrin-programmer.rules",
                  Path("/usr/lib/udev/rules.d/70-tavrin-programmer.rules"));
  }
  void DialoutGroup(const std::string& members = "") { Group("dialout", kDialout, members); }

  FakeHost host;

 private:
  std::string root_;
  std::optional<std::string> runtime_;
};

// The ports the scan gives on the machine (its /sys/class/tty and /dev).
std::vector<std::string> ScannedPorts() {
  std::vector<char> buffer(65536);
  const std::uint32_t n =
      platform::QueryDosDeviceNames(buffer.data(), static_cast<std::uint32_t>(buffer.size()));
  std::vector<std::string> names;
  for (std::uint32_t at = 0; at < n && buffer[at] != '\0';) {
    names.emplace_back(buffer.data() + at);
    at += static_cast<std::uint32_t>(names.back().size()) + 1;
  }
  return names;
}

struct Judged {
  doctor::Report report;
  std::string text;
  nlohmann::json json;
  int status = -1;
};

Judged Judge(const doctor::Opener& open = {}) {
  Judged j;
  j.report = doctor::Examine(ScannedPorts(), open);
  j.text = doctor::ReportText(j.report);
  j.json = doctor::ReportJson(j.report);
  j.status = doctor::ExitStatus(j.report);
  return j;
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The finding whose text holds `what` is there, a problem or a note as
// `problem` says, with the fix `fix`: in the text and in the JSON alike.
void ExpectFinding(const Judged& j, bool problem, const std::string& what, const std::string& fix) {
  int found = 0;
  for (const auto& f : j.json["findings"]) {
    if (!Has(f["what"].get<std::string>(), what)) continue;
    ++found;
    EXPECT_EQ(f["problem"].get<bool>(), problem) << f.dump();
    EXPECT_EQ(f["fix"].get<std::string>(), fix) << f.dump();
    EXPECT_TRUE(Has(j.text, (problem ? "PROBLEM: " : "Note: ") + f["what"].get<std::string>() +
                                "\n  Fix: " + fix + "\n"))
        << j.text;
  }
  EXPECT_EQ(found, 1) << "finding \"" << what << "\":\n" << j.text;
}

void ExpectVerdict(const Judged& j, int status) {
  EXPECT_EQ(j.status, status) << j.text;
  EXPECT_EQ(j.json["ok"].get<bool>(), status == 0) << j.json.dump();
  EXPECT_TRUE(Has(j.text, status == 0 ? "Nothing stands in the way.\n" : "in the way.\n")) << j.text;
  if (status == 0) {
    EXPECT_FALSE(Has(j.text, "PROBLEM")) << j.text;
  }
}

nlohmann::json Port(const Judged& j, const std::string& name) {
  for (const auto& port : j.json["ports"])
    if (port["name"] == name) return port;
  ADD_FAILURE() << "no port " << name << ":\n" << j.json.dump();
  return {};
}

// ---- Who may open the ports ------------------------------------------------------

TEST(Doctor, UserInDialout) {
  FakeMachine m;
  m.DialoutGroup("alice");
  m.host.groups = {kAlice, kDialout};
  m.Acm();
  const Judged j = Judge();
  ExpectVerdict(j, 0);
  EXPECT_TRUE(j.json["findings"].empty()) << j.text;
  EXPECT_TRUE(Has(j.text, "node root:dialout 0660, alice may open it: yes, as a member of dialout"))
      << j.text;
  EXPECT_EQ(Port(j, "COM200")["access"], "group");
  EXPECT_EQ(j.json["system"]["serialGroup"], "dialout");
}

TEST(Doctor, UserNotInDialout) {
  FakeMachine m;
  m.DialoutGroup();
  m.Acm();
  const Judged j = Judge();
  ExpectVerdict(j, 1);
  ExpectFinding(j, true, "alice may not open serial ports: not a member of the group dialout.",
                "sudo usermod -aG dialout alice, then log out and in again.");
  EXPECT_EQ(Port(j, "COM200")["access"], "denied");
  EXPECT_FALSE(j.json["system"]["mayOpenSerialPorts"].get<bool>());
}

TEST(Doctor, UserAddedSinceLogin) {
  FakeMachine m;
  m.DialoutGroup("bob,alice");
  m.Acm();
  const Judged j = Judge();
  ExpectVerdict(j, 1);
  ExpectFinding(j, true, "alice was added to the group dialout after this login",
                "Log out and in again (or reboot); meanwhile `newgrp dialout` gives it to one shell.");
  EXPECT_TRUE(j.json["system"]["groupAddedSinceLogin"].get<bool>());
}

TEST(Doctor, UaccessAcl) {
  FakeMachine m;
  m.DialoutGroup();
  m.Acm();
  platform::NodeStat& node = m.NodeOf("ttyACM0");
  node.acl = true;
  node.aclGroupObject = 6;
  node.aclUsers = {{kAlice, 6}};
  const Judged j = Judge();
  ExpectVerdict(j, 0);
  ExpectFinding(j, false, "open through an ACL that the desktop gives at its seat",
                "For every session: sudo usermod -aG dialout alice, then log out and in again.");
  EXPECT_EQ(Port(j, "COM200")["access"], "acl");
  EXPECT_TRUE(j.json["system"]["acl"].get<bool>());
}

TEST(Doctor, RootOnlyNode) {
  const std::string fix =
      "printf 'SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"1a86\", ATTRS{idProduct}==\"7523\", "
      "GROUP=\"dialout\", MODE=\"0660\"\\n' | sudo tee /etc/udev/rules.d/71-tavrin-serial-access.rules"
      " && sudo udevadm control --reload && sudo udevadm trigger --subsystem-match=tty && sudo "
      "usermod -aG dialout alice, then log out and in again (or TAG+=\"uaccess\" in place of GROUP "
      "and MODE: the device then goes to the user at the desktop's seat alone).";
  for (const unsigned mode : {0600u, 0660u}) {
    SCOPED_TRACE(mode);
    FakeMachine m;
    m.DialoutGroup();
    m.Ch340(0, 0, mode);
    const Judged j = Judge();
    ExpectVerdict(j, 1);
    ExpectFinding(j, true,
                  "No group may open " + m.Path("/dev/ttyUSB0") + " (root:root " +
                      (mode == 0600 ? "0600" : "0660") +
                      ", USB 1a86:7523): only root can, so alice may not",
                  fix);
    // Joining root's own group is never the advice.
    EXPECT_FALSE(Has(j.text, "-aG root")) << j.text;
    EXPECT_FALSE(Has(j.json.dump(), "-aG root"));
    EXPECT_EQ(Port(j, "COM100")["access"], "denied");
  }
}

// A pseudo-terminal (a virtual controller's) of another user: udev never
// sees it, so no rule is offered for it.
TEST(Doctor, PseudoTerminalOfAnotherUser) {
  FakeMachine m;
  m.DialoutGroup("alice");
  m.host.groups = {kAlice, kDialout};
  fs::create_directories(m.Path("/dev/pts"));
  m.Node("pts/5", kBob, kBob, 0600);
  std::string error;
  const std::string links = platform::DosDevicesDirectory(&error);
  ASSERT_FALSE(links.empty()) << error;
  fs::create_symlink(m.Path("/dev/pts/5"), links + "/COM31");
  const Judged j = Judge();
  ExpectVerdict(j, 1);
  ExpectFinding(j, true,
                "COM31 (" + m.Path("/dev/pts/5") + ") is a pseudo-terminal of bob's (0600): alice "
                "may not open it, and neither a group nor a udev rule changes that.",
                "Run the program that made it (a virtual controller, say) as alice, or this "
                "programmer as bob.");
  EXPECT_FALSE(Has(j.text, "udev/rules.d/71")) << j.text;
}

TEST(Doctor, SudoFromUserNotInDialout) {
  FakeMachine m;
  m.DialoutGroup();
  m.Acm();
  m.host.euid = 0;
  m.host.groups = {0};
  m.host.env["SUDO_USER"] = "alice";
  const Judged j = Judge();
  ExpectVerdict(j, 1);
  ExpectFinding(j, true, "alice may not open serial ports: not a member of the group dialout.",
                "sudo usermod -aG dialout alice, then log out and in again.");
  EXPECT_FALSE(Has(j.text, "usermod -aG dialout root")) << j.text;
  EXPECT_EQ(j.json["system"]["user"], "alice");
  EXPECT_EQ(j.json["system"]["sudoUser"], "alice");
  EXPECT_TRUE(Has(j.text, "User: root under sudo, judged for alice (uid 1000)")) << j.text;
}

// ---- Programs that take ports ------------------------------------------------------

std::string IgnoreLine(const std::string& vendor, const std::string& product) {
  return "ATTRS{idVendor}==\"" + vendor + "\", ATTRS{idProduct}==\"" + product +
         "\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"";
}

TEST(Doctor, ModemManagerWithoutRule) {
  FakeMachine m;
  m.DialoutGroup("alice");
  m.host.groups = {kAlice, kDialout};
  m.Process(612, 0, "ModemManager");
  m.Ch340();
  const Judged j = Judge();
  ExpectVerdict(j, 1);
  ExpectFinding(j, true, "ModemManager is running and no udev rule keeps it away from COM100 1a86:7523",
                "printf '" + IgnoreLine("1a86", "7523") +
                    "\\n' | sudo tee /etc/udev/rules.d/70-tavrin-programmer.rules && sudo udevadm "
                    "control --reload, then plug the controller in again (one line for each "
                    "serial adapter found).");
}

TEST(Doctor, ModemManagerWithTemplateRule) {
  FakeMachine m;
  m.DialoutGroup("alice");
  m.host.groups = {kAlice, kDialout};
  m.Process(612, 0, "ModemManager");
  m.Template();
  m.Ch340();
  const Judged j = Judge();
  ExpectVerdict(j, 1);
  ExpectFinding(j, true,
                "the udev rule " + m.Path("/usr/lib/udev/rules.d/70-tavrin-programmer.rules") +
                    " does not name COM100 1a86:7523",
                "sudo cp /usr/lib/udev/rules.d/70-tavrin-programmer.rules /etc/udev/rules.d/ && "
                "printf '" + IgnoreLine("1a86", "7523") +
                    "\\n' | sudo tee -a /etc/udev/rules.d/70-tavrin-programmer.rules && sudo "
                    "udevadm control --reload, then plug the controller in again (one line for "
                    "each serial adapter found).");
  EXPECT_EQ(j.json["system"]["udevRuleIds"], nlohmann::json::array({"0483:5740"}));
}

TEST(Doctor, ModemManagerWithRuleNamingTheAdapter) {
  FakeMachine m;
  m.DialoutGroup("alice");
  m.host.groups = {kAlice, kDialout};
  m.Process(612, 0, "ModemManager");
  m.Template();
  m.Write("/etc/udev/rules.d/70-tavrin-programmer.rules",
          "# ours\n" + IgnoreLine("0483", "5740") + "\n" + IgnoreLine("1a86", "7523") + "\n");
  m.Ch340();
  const Judged j = Judge();
  ExpectVerdict(j, 0);
  EXPECT_FALSE(Has(j.text, "ModemManager is running")) << j.text;
  EXPECT_TRUE(j.json["system"]["adaptersModemManagerMayProbe"].empty());
}

// udev reads a rule over lines ended by a backslash, with blanks around its
// operators; a match (==) on ID_MM_DEVICE_IGNORE sets nothing.
TEST(Doctor, ModemManagerWithRuleWrittenFreely) {
  FakeMachine m;
  m.DialoutGroup("alice");
  m.host.groups = {kAlice, kDialout};
  m.Process(612, 0, "ModemManager");
  m.Ch340();
  m.Acm();
  m.Write("/etc/udev/rules.d/70-tavrin-programmer.rules",
          "# ours\n"
          "  SUBSYSTEM==\"tty\", ATTRS{idVendor} == \"1a86\", \\\n"
          "\tATTRS{idProduct}==\"7523\",  ENV{ID_MM_DEVICE_IGNORE} = \"1\"\n"
          "ENV{ID_MM_DEVICE_IGNORE}==\"1\", ATTRS{idVendor}==\"0483\", ATTRS{idProduct}==\"5740\", "
          "GOTO=\"end\"\n");
  const Judged j = Judge();
  ExpectVerdict(j, 1);
  EXPECT_EQ(j.json["system"]["udevRuleIds"], nlohmann::json::array({"1a86:7523"}));
  ExpectFinding(j, true, "does not name COM200 0483:5740:",
                "printf '" + IgnoreLine("0483", "5740") +
                    "\\n' | sudo tee -a /etc/udev/rules.d/70-tavrin-programmer.rules && sudo "
                    "udevadm control --reload, then plug the controller in again (one line for "
                    "each serial adapter found).");
}

// Lines appended to a rules file whose last line has no line end would join
// that line and break both rules.
TEST(Doctor, ModemManagerWithRuleWithoutLastLineEnd) {
  FakeMachine m;
  m.DialoutGroup("alice");
  m.host.groups = {kAlice, kDialout};
  m.Process(612, 0, "ModemManager");
  m.Ch340();
  m.Acm();
  m.Write("/etc/udev/rules.d/70-tavrin-programmer.rules", IgnoreLine("0483", "5740"));
  const Judged j = Judge();
  ExpectVerdict(j, 1);
  ExpectFinding(j, true, "does not name COM100 1a86:7523:",
                "printf '\\n" + IgnoreLine("1a86", "7523") +
                    "\\n' | sudo tee -a /etc/udev/rules.d/70-tavrin-programmer.rules && sudo "
                    "udevadm control --reload, then plug the controller in again (one line for "
                    "each serial adapter found).");
}

TEST(Doctor, BrlttyWithCh34xPresent) {
  FakeMachine m;
  m.DialoutGroup("alice");
  m.host.groups = {kAlice, kDialout};
  m.Brltty();
  m.Ch340();
  const Judged j = Judge();
  ExpectVerdict(j, 1);
  ExpectFinding(j, true,
                "brltty is installed with udev rules (" +
                    m.Path("/usr/lib/udev/rules.d/85-brltty.rules") + ") that take COM100 (1a86:7523)",
                "If no braille display is used here: sudo ln -sf /dev/null "
                "/etc/udev/rules.d/85-brltty.rules && sudo udevadm control --reload (or: sudo apt "
                "remove brltty), then plug the adapter in again.");
}

TEST(Doctor, BrlttyWithoutCh34x) {
  FakeMachine m;
  m.DialoutGroup("alice");
  m.host.groups = {kAlice, kDialout};
  m.Brltty();
  m.Acm();
  const Judged j = Judge();
  ExpectVerdict(j, 0);
  EXPECT_FALSE(Has(j.text, "brltty is installed")) << j.text;
  EXPECT_TRUE(Has(j.text, "brltty: installed, with rules for CH340/CH341 adapters (none plugged in)"))
      << j.text;
}

TEST(Doctor, ModemAndSerialAdapter) {
  FakeMachine m;
  m.DialoutGroup("alice");
  m.host.groups = {kAlice, kDialout};
  m.Process(612, 0, "ModemManager");
  m.Ch340();
  m.Adapter("ttyUSB1", "1-4", "2c7c", "0125", "option1", "option");
  m.Node("ttyUSB1", 0, kDialout, 0660);
  // A CDC-ACM modem, known by the network interface beside its port.
  m.Adapter("ttyACM0", "1-5", "1199", "9071", "cdc_acm");
  m.Interface("1-5", "1-5:1.12", "cdc_mbim");
  m.Node("ttyACM0", 0, kDialout, 0660);
  const Judged j = Judge();
  ExpectVerdict(j, 1);
  ExpectFinding(j, true, "ModemManager is running and no udev rule keeps it away from COM100 1a86:7523:",
                "printf '" + IgnoreLine("1a86", "7523") +
                    "\\n' | sudo tee /etc/udev/rules.d/70-tavrin-programmer.rules && sudo udevadm "
                    "control --reload, then plug the controller in again (one line for each "
                    "serial adapter found; the modems COM101 (2c7c:0125, driver option1), COM200 "
                    "(1199:9071, interface 1-5:1.12 has driver cdc_mbim) are left out).");
  EXPECT_TRUE(Port(j, "COM101")["usb"]["modem"].get<bool>());
  EXPECT_TRUE(Port(j, "COM200")["usb"]["modem"].get<bool>());
  EXPECT_FALSE(Port(j, "COM100")["usb"]["modem"].get<bool>());
}

// ---- Locks, holders and opens ---------------------------------------------------

// The pid of a process that has ended.
int EndedPid() {
  const pid_t child = fork();
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);
  return child;
}

// An open that removes stale locks where it may, as the programmer's does.
doctor::Opener TakingOver(const FakeMachine& m) {
  return [&m](const std::string&) {
    std::error_code ec;
    if (access(m.Path("/run/lock").c_str(), W_OK) == 0 &&
        (fs::status(m.Path("/run/lock")).permissions() & fs::perms::others_write) != fs::perms::none)
      fs::remove(m.Path("/run/lock/LCK..ttyACM0"), ec);
    return doctor::OpenResult{true, "", {}};
  };
}

TEST(Doctor, StaleLockInWritableFolder) {
  FakeMachine m;
  m.DialoutGroup("alice");
  m.host.groups = {kAlice, kDialout};
  m.Acm();
  const std::string lock = m.Path("/run/lock/LCK..ttyACM0");
  const int ended = EndedPid();
  m.Write("/run/lock/LCK..ttyACM0", std::to_string(ended) + "\n");
  m.OwnedBy("/run/lock/LCK..ttyACM0", kAlice);  // left by an earlier run of hers
  const std::string stale = "Stale lock file " + lock + ": process " + std::to_string(ended) + " has ended";

  const Judged looked = Judge();
  ExpectVerdict(looked, 0);
  ExpectFinding(looked, false, stale + "; this programmer's open takes it over.",
                "None needed for this programmer; for other terminal programs: sudo rm -f " + lock);
  EXPECT_TRUE(Port(looked, "COM200")["locks"][0]["removable"].get<bool>());

  const Judged opened = Judge(TakingOver(m));
  ExpectVerdict(opened, 0);
  ExpectFinding(opened, false, stale + "; opening the port removed it.",
                "None needed now; should it come back: sudo rm -f " + lock);
}

TEST(Doctor, StaleLockInReadOnlyFolder) {
  FakeMachine m;
  m.DialoutGroup("alice");
  m.host.groups = {kAlice, kDialout};
  m.Acm();
  const std::string lock = m.Path("/run/lock/LCK..ttyACM0");
  const int ended = EndedPid();
  m.Write("/run/lock/LCK..ttyACM0", std::to_string(ended) + "\n");
  fs::permissions(m.Path("/run/lock"), fs::perms(0775));
  platform::NodeStat folder;
  folder.exists = folder.directory = true;
  folder.mode = 0775;
  m.host.nodes[m.Path("/run/lock")] = folder;
  const std::string stale = "Stale lock file " + lock + ": process " + std::to_string(ended) + " has ended";
  const std::string notWritable = ": the lock folder " + m.Path("/run/lock") +
                                  " is not writable for alice, so no program of theirs can remove "
                                  "it (this programmer opens the port all the same; other terminal "
                                  "programs refuse it).";

  const Judged looked = Judge();
  ExpectVerdict(looked, 0);
  ExpectFinding(looked, false, stale + notWritable, "sudo rm -f " + lock);
  EXPECT_FALSE(Port(looked, "COM200")["locks"][0]["removable"].get<bool>());

  const Judged opened = Judge(TakingOver(m));
  ExpectVerdict(opened, 0);
  ExpectFinding(opened, false, stale + "; opening the port could not remove it" + notWritable,
                "sudo rm -f " + lock);
  EXPECT_TRUE(fs::exists(lock));
}

// /run/lock is 1777 on most machines: any user writes it, but only a file's
// owner removes a file from it, so another user's stale lock stays.
TEST(Doctor, StaleLockOfAnotherUserInStickyFolder) {
  FakeMachine m;
  m.DialoutGroup("alice");
  m.host.groups = {kAlice, kDialout};
  m.Acm();
  const std::string lock = m.Path("/run/lock/LCK..ttyACM0");
  const int ended = EndedPid();
  m.Write("/run/lock/LCK..ttyACM0", std::to_string(ended) + "\n");
  m.OwnedBy("/run/lock/LCK..ttyACM0", kBob);
  const std::string stale = "Stale lock file " + lock + ": process " + std::to_string(ended) +
                            " has ended: it is bob's, and the lock folder " + m.Path("/run/lock") +
                            " lets only a file's owner remove it, so no program of theirs can "
                            "remove it (this programmer opens the port all the same; other "
                            "terminal programs refuse it).";
  const Judged j = Judge();
  ExpectVerdict(j, 0);
  ExpectFinding(j, false, stale, "sudo rm -f " + lock);
  EXPECT_FALSE(Port(j, "COM200")["locks"][0]["removable"].get<bool>());
  EXPECT_FALSE(Has(j.text, "takes it over")) << j.text;

  // Root removes it all the same.
  m.host.euid = 0;
  m.host.groups = {0};
  const Judged asRoot = Judge();
  EXPECT_TRUE(Port(asRoot, "COM200")["locks"][0]["removable"].get<bool>());
}

// A lock file whose content names no process (garbage, four bytes that read
// as a negative number, one left empty long ago) is stale, not held: the
// programmer takes it over and nothing stands in the way.
TEST(Doctor, LockFileOfNoProcess) {
  for (const std::string& content :
       {std::string("\xff\xff\xff\xff"), std::string("\xfe\xff\xff\xff"), std::string("x!?\n"),
        std::string()}) {
    SCOPED_TRACE(nlohmann::json(content).dump(-1, ' ', true, nlohmann::json::error_handler_t::replace));
    FakeMachine m;
    m.DialoutGroup("alice");
    m.host.groups = {kAlice, kDialout};
    m.Acm();
    const std::string lock = m.Path("/run/lock/LCK..ttyACM0");
    m.Write("/run/lock/LCK..ttyACM0", content);
    m.OwnedBy("/run/lock/LCK..ttyACM0", kAlice);
    fs::last_write_time(lock, fs::file_time_type::clock::now() - std::chrono::hours(1));
    const Judged j = Judge();
    ExpectVerdict(j, 0);
    ExpectFinding(j, false,
                  "Stale lock file " + lock + ": it names no process; this programmer's open takes it over.",
                  "None needed for this programmer; for other terminal programs: sudo rm -f " + lock);
    EXPECT_TRUE(Port(j, "COM200")["locks"][0]["stale"].get<bool>());
  }
}

TEST(Doctor, PortHeldByAnotherUserAsNonRoot) {
  FakeMachine m;
  m.DialoutGroup("alice");
  m.host.groups = {kAlice, kDialout};
  m.Process(4242, kBob, "minicom");
  m.Acm();
  const Judged looked = Judge();
  ExpectVerdict(looked, 0);
  ExpectFinding(looked, false,
                "As alice, the programs of other users and of the system (ModemManager, brltty, "
                "another user's terminal) that hold a port cannot be seen: COM200 shows no holder, "
                "which does not mean that no program has it.",
                "sudo tavrin-cli doctor names every holder; tavrin-cli doctor --open tries the "
                "ports (an open pulses DTR and RTS).");
  EXPECT_TRUE(Has(looked.text, "held by: none of alice's programs; other users' programs cannot be "
                               "seen\n"))
      << looked.text;
  EXPECT_FALSE(Port(looked, "COM200")["holdersOfEveryUserSeen"].get<bool>());
  EXPECT_FALSE(Port(looked, "COM200")["tried"].get<bool>());
  EXPECT_TRUE(Has(looked.text, "opens: not tried (--open tries it)")) << looked.text;

  const Judged opened = Judge([](const std::string&) {
    return doctor::OpenResult{false, "Не удалось открыть порт",
                              {platform::SerialOpenFailure::Kind::System, EBUSY}};
  });
  ExpectVerdict(opened, 1);
  ExpectFinding(opened, true,
                "COM200 (" + m.Path("/dev/ttyACM0") +
                    ") does not open: it is in exclusive use by another program, perhaps another "
                    "user's, which this user cannot see (" + std::strerror(EBUSY) + ").",
                "Close that program (sudo tavrin-cli doctor names every holder), then try again.");
  EXPECT_EQ(Port(opened, "COM200")["openErrno"], EBUSY);
  // The open has told about that port: no note that it may be held.
  EXPECT_FALSE(Has(opened.text, "As alice")) << opened.text;

  // An open that succeeds tells nothing of a holder that took no exclusive
  // use (minicom without TIOCEXCL): the port may still be held.
  const Judged openedAnyway = Judge([](const std::string&) { return doctor::OpenResult{true, "", {}}; });
  ExpectVerdict(openedAnyway, 0);
  ExpectFinding(openedAnyway, false, "cannot be seen: COM200 shows no holder, which does not mean "
                "that no program has it.",
                "sudo tavrin-cli doctor names every holder (an open that succeeds does not tell "
                "that no other program has the port).");
  EXPECT_EQ(openedAnyway.json["system"]["portsWithUnseenHolders"], nlohmann::json::array({"COM200"}));

  // Root sees every holder: nothing is out of sight.
  m.host.euid = 0;
  m.host.groups = {0};
  const Judged asRoot = Judge();
  ExpectVerdict(asRoot, 0);
  EXPECT_TRUE(asRoot.json["findings"].empty()) << asRoot.text;
}

TEST(Doctor, OpenErrorsAreExplained) {
  using Kind = platform::SerialOpenFailure::Kind;
  struct Case {
    platform::SerialOpenFailure failure;
    std::string what;
    std::string fix;
  };
  const std::string dmesg = "; `sudo dmesg | tail` tells what the system saw.";
  const Case cases[] = {
      {{Kind::System, ENOENT},
       "the device is gone (unplugged, or its driver let it go) (" +
           std::string(std::strerror(ENOENT)) + ")",
       "Plug the controller in again" + dmesg},
      {{Kind::System, EIO},
       "the device answered the open with an input/output error: the adapter or its driver is in "
       "a bad state (" + std::string(std::strerror(EIO)) + ")",
       "Unplug the adapter and plug it in again" + dmesg},
      {{Kind::TakenMeanwhile, 0},
       "another program opened or locked it between the look and the open (a lock taken "
       "meanwhile)",
       "Close that program (sudo tavrin-cli doctor names every holder), then try again."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeMachine m;
    m.DialoutGroup();
    m.Acm();
    const Judged j = Judge([&c](const std::string&) {
      return doctor::OpenResult{false, "Не удалось открыть порт", c.failure};
    });
    ExpectVerdict(j, 1);
    ExpectFinding(j, true, "COM200 (" + m.Path("/dev/ttyACM0") + ") does not open: " + c.what + ".",
                  c.fix);
  }

  // Permission denied where the node's owner, group and mode allowed it (a
  // security module, say): the open tells it.
  {
    FakeMachine m;
    m.DialoutGroup("alice");
    m.host.groups = {kAlice, kDialout};
    m.Acm();
    const Judged j = Judge([](const std::string&) {
      return doctor::OpenResult{false, "Не удалось открыть порт", {Kind::System, EACCES}};
    });
    ExpectVerdict(j, 1);
    ExpectFinding(j, true,
                  "COM200 (" + m.Path("/dev/ttyACM0") + ") does not open: alice may not open it (" +
                      std::strerror(EACCES) + ").",
                  "Ask the administrator for read and write access to " + m.Path("/dev/ttyACM0") + ".");
  }
  // Permission denied as the node foretold: one problem, told once, not again
  // for the open with the same fix.
  {
    FakeMachine m;
    m.DialoutGroup();
    m.Acm();
    const Judged j = Judge([](const std::string&) {
      return doctor::OpenResult{false, "Не удалось открыть порт", {Kind::System, EACCES}};
    });
    ExpectVerdict(j, 1);
    EXPECT_TRUE(Has(j.text, "1 problem stands in the way.")) << j.text;
    ExpectFinding(j, true, "alice may not open serial ports: not a member of the group dialout.",
                  "sudo usermod -aG dialout alice, then log out and in again.");
    EXPECT_TRUE(Has(j.text, "opens: no (Не удалось открыть порт)")) << j.text;
    EXPECT_EQ(Port(j, "COM200")["openErrno"], EACCES);
  }
}

}  // namespace
