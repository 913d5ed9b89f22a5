// The port list: the name filter over the system's device names, and the
// DOS-device directory the Linux listing reads.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/DeviceNames.h"
#include "platform/linux/PortUse.h"
#include "serial/Port.h"
#include "serial/Ports.h"
#include "support/Pty.h"
#include "support/RecordingWindow.h"

namespace {

using namespace std::string_literals;

// Hands `list` (names with their zeros) to the listing as the system's answer.
void InjectNames(std::string list) {
  platform::SetDeviceNameSourceForTest([list](char* buffer, std::uint32_t maxChars) -> std::uint32_t {
    if (list.size() > maxChars) return 0;
    std::memcpy(buffer, list.data(), list.size());
    return static_cast<std::uint32_t>(list.size());
  });
}

class PortList : public ::testing::Test {
 protected:
  void TearDown() override { platform::SetDeviceNameSourceForTest({}); }
  RecordingWindow window_;
};

TEST_F(PortList, KeepsComNamesInTheSystemsOrderAndMakesEntry0Current) {
  InjectNames("COM10\0COM\0Com3\0com7\0COM2\0xCOM9\0coMCOM\0LPT1\0COM1\0\0"s);
  ListSerialPorts();
  EXPECT_EQ(window_.Ports(), (std::vector<std::string>{"COM10", "COM2", "coMCOM", "COM1"}));
  EXPECT_EQ(window_.PortCurrent(), 0);
  EXPECT_EQ(window_.Events().back(), "ports-current 0");
}

TEST_F(PortList, AppendsToWhatTheListHolds) {
  InjectNames("COM4\0\0"s);
  ListSerialPorts();
  ListSerialPorts();
  EXPECT_EQ(window_.Ports(), (std::vector<std::string>{"COM4", "COM4"}));
}

TEST_F(PortList, EmptyOrFailedListingLeavesNoCurrentEntry) {
  InjectNames("\0\0"s);
  ListSerialPorts();
  EXPECT_TRUE(window_.Ports().empty());
  EXPECT_EQ(window_.PortCurrent(), -1);
  EXPECT_EQ(window_.PortListCurrentText(), "");

  platform::SetDeviceNameSourceForTest([](char*, std::uint32_t) -> std::uint32_t { return 0; });
  ListSerialPorts();
  EXPECT_TRUE(window_.Ports().empty());
  EXPECT_EQ(window_.Events().back(), "ports-current -1");
}

TEST_F(PortList, ListWithoutItsClosingZerosStaysInsideTheBuffer) {
  platform::SetDeviceNameSourceForTest([](char* buffer, std::uint32_t maxChars) {
    std::memset(buffer, 'C', maxChars);
    std::memcpy(buffer, "COM8\0", 5);
    return maxChars;
  });
  ListSerialPorts();
  EXPECT_EQ(window_.Ports(), std::vector<std::string>{"COM8"});
}

// ---- The DOS-device directory ------------------------------------------------

std::vector<std::string> SystemNames() {
  std::vector<char> buffer(65536);
  const std::uint32_t n = platform::QueryDosDeviceNames(buffer.data(), 65535);
  std::vector<std::string> names;
  for (const char* p = buffer.data(); n != 0 && *p != '\0'; p += std::strlen(p) + 1)
    names.emplace_back(p);
  return names;
}

// Numbers below 100 are never the machine's own ports.
std::vector<std::string> LinkNames() {
  std::vector<std::string> names;
  for (const auto& name : SystemNames())
    if (std::stoul(name.substr(3)) < 100) names.push_back(name);
  return names;
}

class DosDevices : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    ASSERT_NE(runtime, nullptr);
    saved_ = runtime;
    dir_ = platform::DosDevicesDirectory();
    ASSERT_FALSE(dir_.empty());
  }
  void TearDown() override {
    setenv("XDG_RUNTIME_DIR", saved_.c_str(), 1);
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir_, ec))
      std::filesystem::remove(entry.path(), ec);
  }
  // A fresh runtime directory for tests that spoil theirs.
  std::string FreshRuntimeDir() {
    std::string templ = (std::filesystem::path(saved_) / "runtime-XXXXXX").string();
    EXPECT_NE(mkdtemp(templ.data()), nullptr);
    setenv("XDG_RUNTIME_DIR", templ.c_str(), 1);
    return templ;
  }

  std::string saved_;
  std::string dir_;
};

TEST_F(DosDevices, DirectoryIsPrivateAndUnderTheRuntimeDirectory) {
  EXPECT_EQ(dir_, saved_ + "/tavrin/dosdevices");
  struct stat st {};
  ASSERT_EQ(stat(dir_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(stat((saved_ + "/tavrin").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(DosDevices, WithoutARuntimeDirectoryTheTemporaryOneIsUsed) {
  setenv("XDG_RUNTIME_DIR", (saved_ + "/missing").c_str(), 1);
  const std::string base = "/tmp/tavrin-" + std::to_string(geteuid());
  const bool existed = std::filesystem::exists(base);
  EXPECT_EQ(platform::DosDevicesDirectory(), base + "/dosdevices");
  // What this test made goes again; rmdir leaves a directory in use alone.
  if (!existed) {
    rmdir((base + "/dosdevices").c_str());
    rmdir(base.c_str());
  }
}

TEST_F(DosDevices, LinksAreListedInNumberOrder) {
  PtyPair pty = OpenPtyPair();
  ASSERT_TRUE(pty.Ok());
  ASSERT_FALSE(MakeComLink("COM12", pty.slavePath).empty());
  ASSERT_FALSE(MakeComLink("COM3", "/dev/null").empty());
  ASSERT_FALSE(MakeComLink("COM7", dir_ + "/nowhere").empty());  // dangling
  // Not port names, or not links.
  ASSERT_FALSE(MakeComLink("com4", pty.slavePath).empty());
  ASSERT_FALSE(MakeComLink("COM05", pty.slavePath).empty());
  ASSERT_FALSE(MakeComLink("COM6x", pty.slavePath).empty());
  ASSERT_FALSE(MakeComLink("NUL", "/dev/null").empty());
  ASSERT_EQ(mkdir((dir_ + "/COM8").c_str(), 0700), 0);

  EXPECT_EQ(LinkNames(), (std::vector<std::string>{"COM3", "COM7", "COM12"}));
  RecordingWindow window;
  ListSerialPorts();
  auto ports = window.Ports();
  ports.resize(std::min<std::size_t>(ports.size(), 3));
  EXPECT_EQ(ports, (std::vector<std::string>{"COM3", "COM7", "COM12"}));

  // A dangling link and a link to something that is no serial port are
  // listed, but fail to open like any port that cannot be opened.
  EXPECT_FALSE(OpenPort("COM7"));
  EXPECT_EQ(window.Status(), kOpenFailedText);
  window.ClearEvents();
  EXPECT_FALSE(OpenPort("COM3"));
  EXPECT_EQ(window.Status(), kOpenFailedText);
  EXPECT_TRUE(OpenPort("COM12"));
  ClosePort();
}

TEST_F(DosDevices, NamesResolveToLinksElseToTheMachinesPorts) {
  ASSERT_FALSE(MakeComLink("COM17", "/dev/null").empty());
  ASSERT_FALSE(MakeComLink("COM101", "/dev/null").empty());
  EXPECT_EQ(platform::DeviceFileForName("COM17"), dir_ + "/COM17");
  EXPECT_EQ(platform::DeviceFileForName("\\\\.\\COM17"), dir_ + "/COM17");
  EXPECT_EQ(platform::DeviceFileForName("COM101"), dir_ + "/COM101");  // the link wins
  EXPECT_EQ(platform::DeviceFileForName("COM100"), "/dev/ttyUSB0");
  EXPECT_EQ(platform::DeviceFileForName("\\\\.\\COM212"), "/dev/ttyACM12");
  EXPECT_EQ(platform::DeviceFileForName("COM300"), "/dev/ttyS0");
  EXPECT_EQ(platform::DeviceFileForName("COM401"), "/dev/ttyAMA1");
  for (const char* name : {"COM18", "COM500", "com17", "COM017", "COM", "COM17x", "", "../COM17"})
    EXPECT_EQ(platform::DeviceFileForName(name), "") << name;
}

TEST_F(DosDevices, UnsafeDirectoriesAreRefused) {
  // Writable by its group is as bad as by everyone.
  for (const mode_t mode : {0770, 0707}) {
    const std::string runtime = FreshRuntimeDir();
    ASSERT_FALSE(platform::DosDevicesDirectory().empty());
    ASSERT_EQ(chmod((runtime + "/tavrin/dosdevices").c_str(), mode), 0);
    std::string error;
    EXPECT_EQ(platform::DosDevicesDirectory(&error), "") << std::oct << mode;
    EXPECT_NE(error.find("written by other users"), std::string::npos) << error;
    // Links planted there are neither listed nor opened.
    ASSERT_EQ(symlink("/dev/null", (runtime + "/tavrin/dosdevices/COM9").c_str()), 0);
    EXPECT_TRUE(LinkNames().empty());
    EXPECT_EQ(platform::DeviceFileForName("COM9"), "");
  }
  {
    const std::string runtime = FreshRuntimeDir();
    ASSERT_EQ(mkdir((runtime + "/elsewhere").c_str(), 0700), 0);
    ASSERT_EQ(symlink((runtime + "/elsewhere").c_str(), (runtime + "/tavrin").c_str()), 0);
    std::string error;
    EXPECT_EQ(platform::DosDevicesDirectory(&error), "");
    EXPECT_NE(error.find("not a directory"), std::string::npos) << error;
  }
  {
    const std::string runtime = FreshRuntimeDir();
    ASSERT_EQ(mkdir((runtime + "/tavrin").c_str(), 0700), 0);
    if (geteuid() != 0) GTEST_SKIP() << "giving a directory away needs root";
    ASSERT_EQ(chown((runtime + "/tavrin").c_str(), 12345, 12345), 0);
    std::string error;
    EXPECT_EQ(platform::DosDevicesDirectory(&error), "");
    EXPECT_NE(error.find("another user"), std::string::npos) << error;
  }
}

// ---- The machine's own ports ---------------------------------------------------

// A /sys/class/tty and a /dev of the test's own. ttyS4 and ttyS5 tell their
// type in sysfs (unknown, 16550A); ttyS6 does not, so only the device can,
// and it is a pseudo-terminal, which has no serial type.
class SystemPorts : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = (std::filesystem::temp_directory_path() / "ttys-XXXXXX").string();
    ASSERT_NE(mkdtemp(root_.data()), nullptr);
    for (const char* dir : {"/sys", "/sys/ttyS4", "/sys/ttyS5", "/sys/ttyS6", "/dev"})
      ASSERT_EQ(mkdir((root_ + dir).c_str(), 0700), 0);
    std::ofstream(root_ + "/sys/ttyS4/type") << "0\n";
    std::ofstream(root_ + "/sys/ttyS5/type") << "4\n";
    pty_ = OpenPtyPair();
    ASSERT_TRUE(pty_.Ok());
    ASSERT_EQ(symlink(pty_.slavePath.c_str(), (root_ + "/dev/ttyS6").c_str()), 0);
    platform::SetSystemPortRootsForTest(root_ + "/sys", root_ + "/dev");
  }
  void TearDown() override {
    platform::SetSystemPortRootsForTest("", "");
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  // The machine's ports the listing now gives: COM300 and above.
  static std::vector<std::string> Listed() {
    std::vector<std::string> names;
    for (const auto& name : SystemNames())
      if (std::stoul(name.substr(3)) >= 300) names.push_back(name);
    return names;
  }

  std::string root_;
  PtyPair pty_;
};

TEST_F(SystemPorts, UnknownTypesAreDroppedAndAPortInUseIsNeverOpenedToAsk) {
  LineHolder holder(pty_.slavePath, false);
  ASSERT_TRUE(holder.Ok());
  // Every open of the line from here on.
  const int opens = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(opens, 0);
  ASSERT_GE(inotify_add_watch(opens, pty_.slavePath.c_str(), IN_OPEN), 0);
  const auto openCount = [opens] {
    int count = 0;
    alignas(inotify_event) char buffer[4096];
    for (ssize_t n; (n = read(opens, buffer, sizeof buffer)) > 0;)
      count += static_cast<int>(n / static_cast<ssize_t>(sizeof(inotify_event)));
    return count;
  };

  // In use: listed unasked; the scan's open will refuse it.
  EXPECT_EQ(Listed(), (std::vector<std::string>{"COM305", "COM306"}));
  EXPECT_EQ(openCount(), 0);
  holder.Stop();
  const std::string lock = "/run/lock/LCK..pts_" + pty_.slavePath.substr(std::strlen("/dev/pts/"));
  if (access("/run/lock", W_OK) == 0) {
    std::ofstream(lock) << "         1\n";
    EXPECT_EQ(Listed(), (std::vector<std::string>{"COM305", "COM306"}));
    EXPECT_EQ(openCount(), 0);
    unlink(lock.c_str());
  }
  // Free: asked once, and never again while the device stays the same.
  EXPECT_EQ(Listed(), std::vector<std::string>{"COM305"});
  EXPECT_EQ(openCount(), 1);
  EXPECT_EQ(Listed(), std::vector<std::string>{"COM305"});
  EXPECT_EQ(openCount(), 0);
  // A device node made anew is asked again.
  PtyPair replacement = OpenPtyPair();
  ASSERT_TRUE(replacement.Ok());
  ASSERT_GE(inotify_add_watch(opens, replacement.slavePath.c_str(), IN_OPEN), 0);
  ASSERT_EQ(unlink((root_ + "/dev/ttyS6").c_str()), 0);
  ASSERT_EQ(symlink(replacement.slavePath.c_str(), (root_ + "/dev/ttyS6").c_str()), 0);
  EXPECT_EQ(Listed(), std::vector<std::string>{"COM305"});
  EXPECT_EQ(openCount(), 1);
  close(opens);
}

TEST_F(SystemPorts, APortHeldExclusivelyByAnotherUserIsListedAsInUse) {
  // Run as nobody: the holder's descriptors are then out of sight, and the
  // open that asks the type is refused as busy.
  const passwd* nobody = getpwnam("nobody");
  if (geteuid() != 0 || nobody == nullptr) GTEST_SKIP() << "needs root to become nobody";
  ASSERT_EQ(chown(pty_.slavePath.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  for (const char* dir : {"", "/sys", "/sys/ttyS4", "/sys/ttyS5", "/dev"})
    ASSERT_EQ(chmod((root_ + dir).c_str(), 0755), 0);
  ASSERT_EQ(ioctl(pty_.slave, TIOCEXCL), 0);
  const pid_t child = fork();
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) _exit(2);
    _exit(Listed() == std::vector<std::string>{"COM305", "COM306"} ? 0 : 1);
  }
  ASSERT_GT(child, 0);
  int status = -1;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

}  // namespace
