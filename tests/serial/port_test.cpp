// Opening, configuring and closing a port on a pseudo-terminal.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>

#include "PortFixture.h"

namespace {

bool StatusEvents(const RecordingWindow& window, std::vector<std::string>& out) {
  out.clear();
  for (const auto& e : window.Events())
    if (e.rfind("status ", 0) == 0) out.push_back(e.substr(7));
  return !out.empty();
}

bool SameSettings(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && cfgetospeed(&a) == cfgetospeed(&b) &&
         std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

// The lock file terminal programs use for `device`: /dev/pts/7 is LCK..pts_7.
std::string LockPath(const std::string& device) {
  std::string name = device.substr(std::strlen("/dev/"));
  std::replace(name.begin(), name.end(), '/', '_');
  return "/run/lock/LCK.." + name;
}

using PortOpenClose = PortFixture;

TEST_F(PortOpenClose, PortOpenInAnotherProcessIsNeverTouched) {
  termios before {};
  ASSERT_EQ(tcgetattr(pty_.slave, &before), 0);
  for (const bool shell : {false, true}) {
    SCOPED_TRACE(shell ? "a shell on the terminal" : "a plain open()");
    window_.ClearEvents();
    LineHolder holder(pty_.slavePath, shell);
    ASSERT_TRUE(holder.Ok());
    EXPECT_EQ(platform::SerialOpen("COM5"), nullptr);
    EXPECT_EQ(platform::LastSerialOpenFailure().kind, platform::SerialOpenFailure::Kind::InUse);
    EXPECT_FALSE(OpenPort("COM5"));
    EXPECT_EQ(window_.Status(), kOpenFailedText);
    EXPECT_TRUE(NoThreadsLeft());
    termios after {};
    ASSERT_EQ(tcgetattr(pty_.slave, &after), 0);
    EXPECT_TRUE(SameSettings(before, after));
    holder.Stop();
    // Gone, it no longer keeps the programmer out.
    ASSERT_TRUE(OpenPort("COM5"));
    ClosePort();
    // Its threads end on their own time, not within ClosePort.
    ASSERT_TRUE(WaitUntil(NoThreadsLeft));
  }
  // Nothing was written while the others held the line (the shell's own
  // output, if any, is not ours: an IdentifyRequest starts with 0xDA).
  for (const std::uint8_t byte : pty_.Read(64, std::chrono::milliseconds(50))) EXPECT_NE(byte, 0xDA);
}

TEST_F(PortOpenClose, LockFilesOfLiveProcessesAreHonouredAndOursComesAndGoes) {
  const std::string lock = LockPath(pty_.slavePath);
  if (access("/run/lock", W_OK) != 0) GTEST_SKIP() << "/run/lock cannot be written";
  const auto writeLock = [&](int pid) {
    std::ofstream(lock) << std::setw(10) << pid << '\n';
  };
  // The other name a line is locked under: LCK..7 for /dev/pts/7.
  const std::string shortLock = "/run/lock/LCK.." + pty_.slavePath.substr(pty_.slavePath.rfind('/') + 1);
  std::ofstream(shortLock) << std::setw(10) << 1 << '\n';
  EXPECT_FALSE(OpenPort("COM5"));
  unlink(shortLock.c_str());
  writeLock(1);  // init never ends
  EXPECT_FALSE(OpenPort("COM5"));
  EXPECT_EQ(window_.Status(), kOpenFailedText);
  std::ofstream(lock) << "  1\n";  // four bytes, yet ASCII, not a binary int
  EXPECT_FALSE(OpenPort("COM5"));
  // Ours, as a port closed and opened again may find it: no obstacle.
  writeLock(getpid());
  ASSERT_TRUE(OpenPort("COM5"));
  ClosePort();

  pid_t dead = fork();
  if (dead == 0) _exit(0);
  waitpid(dead, nullptr, 0);
  writeLock(dead);  // stale
  ASSERT_TRUE(OpenPort("COM5"));
  std::ifstream in(lock);
  int owner = 0;
  in >> owner;
  EXPECT_EQ(owner, getpid());
  ClosePort();
  EXPECT_NE(access(lock.c_str(), F_OK), 0);
}

TEST_F(PortOpenClose, LockOfALiveProcessOfAnotherUserBlocksTheOpen) {
  if (access("/run/lock", W_OK) != 0) GTEST_SKIP() << "/run/lock cannot be written";
  if (geteuid() != 0) {
    // init is another user's: we may not signal it, yet it lives.
    std::ofstream(LockPath(pty_.slavePath)) << std::setw(10) << 1 << '\n';
    EXPECT_EQ(platform::SerialOpen("COM5"), nullptr);
    unlink(LockPath(pty_.slavePath).c_str());
    return;
  }
  // Root may signal anyone: a child that drops to nobody, with a runtime
  // folder, a line and a COM link of its own, meets a lock of this process.
  const passwd* nobody = getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  const uid_t uid = nobody->pw_uid;
  const gid_t gid = nobody->pw_gid;
  std::string runtime = (std::filesystem::temp_directory_path() / "nobody-XXXXXX").string();
  ASSERT_NE(mkdtemp(runtime.data()), nullptr);
  ASSERT_EQ(chown(runtime.c_str(), uid, gid), 0);
  int up[2], down[2];
  ASSERT_EQ(pipe(up), 0);
  ASSERT_EQ(pipe(down), 0);
  const pid_t child = fork();
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) _exit(2);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    PtyPair line = OpenPtyPair();
    if (!line.Ok() || MakeComLink("COM5", line.slavePath).empty()) _exit(3);
    if (platform::SerialOpen("COM5") == nullptr) _exit(5);  // opens while unlocked
    char go = 0;
    if (write(up[1], line.slavePath.c_str(), line.slavePath.size()) <= 0 || read(down[0], &go, 1) != 1)
      _exit(4);
    if (platform::SerialOpen("COM5") != nullptr) _exit(1);
    // The same lock, now one this user may not read: still held.
    if (write(up[1], "u", 1) != 1 || read(down[0], &go, 1) != 1) _exit(4);
    _exit(platform::SerialOpen("COM5") == nullptr ? 0 : 6);
  }
  ASSERT_GT(child, 0);
  // Only the child's ends left open: a child that fails early ends the read.
  close(up[1]);
  close(down[0]);
  char path[128] = {};
  const bool ready = read(up[0], path, sizeof path - 1) > 0;
  if (ready) {
    std::ofstream(LockPath(path)) << std::setw(10) << getpid() << '\n';
    (void)!write(down[1], "g", 1);
    char next = 0;
    if (read(up[0], &next, 1) == 1 && chmod(LockPath(path).c_str(), 0600) == 0)
      (void)!write(down[1], "g", 1);
  }
  int status = -1;
  waitpid(child, &status, 0);
  close(up[0]);
  close(down[1]);
  if (ready) unlink(LockPath(path).c_str());
  std::error_code ec;
  std::filesystem::remove_all(runtime, ec);
  ASSERT_TRUE(ready);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

TEST_F(PortOpenClose, ProcessOpeningTheLineJustBeforeUsFailsTheOpenAndLeavesNoLock) {
  std::unique_ptr<LineHolder> holder;
  platform::SetBeforeOpenForTest([&] { holder = std::make_unique<LineHolder>(pty_.slavePath, false); });
  EXPECT_FALSE(OpenPort("COM5"));
  EXPECT_EQ(platform::LastSerialOpenFailure().kind,
            platform::SerialOpenFailure::Kind::TakenMeanwhile);
  platform::SetBeforeOpenForTest({});
  ASSERT_TRUE(holder && holder->Ok());
  EXPECT_EQ(window_.Status(), kOpenFailedText);
  EXPECT_NE(access(LockPath(pty_.slavePath).c_str(), F_OK), 0);
}

TEST_F(PortOpenClose, PortDroppedWithoutClosingPutsTheLineBackAndRemovesItsLock) {
  termios original {};
  ASSERT_EQ(tcgetattr(pty_.slave, &original), 0);
  auto port = platform::SerialOpen("COM5");
  ASSERT_NE(port, nullptr);
  platform::SerialSettings s;
  ASSERT_TRUE(platform::SerialGetState(*port, s));
  s.baudRate = 115200;
  ASSERT_TRUE(platform::SerialSetState(*port, s));
  termios changed {};
  ASSERT_EQ(tcgetattr(pty_.slave, &changed), 0);
  ASSERT_FALSE(SameSettings(original, changed));
  const std::string lock = LockPath(pty_.slavePath);
  const bool locked = access(lock.c_str(), F_OK) == 0;
  EXPECT_EQ(locked, access("/run/lock", W_OK) == 0);
  port.reset();
  ASSERT_EQ(tcgetattr(pty_.slave, &changed), 0);
  EXPECT_TRUE(SameSettings(original, changed));
  EXPECT_NE(access(lock.c_str(), F_OK), 0);
  // Nor is the line left exclusive, which would keep out every other user
  // (root, as the tests may be, gets in anyway).
  int exclusive = -1;
  ASSERT_EQ(ioctl(pty_.slave, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
}

TEST_F(PortOpenClose, ChildrenOfTheProgramDoNotKeepTheLineLockedAfterTheClose) {
  auto port = platform::SerialOpen("COM5");
  ASSERT_NE(port, nullptr);
  // A program started while the port is open (a sound player, say).
  int input[2];
  ASSERT_EQ(pipe2(input, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[0], 0);
  const char* argv[] = {"/bin/cat", nullptr};
  pid_t started = -1;
  ASSERT_EQ(posix_spawn(&started, "/bin/cat", &actions, nullptr, const_cast<char**>(argv), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  platform::SerialClose(*port);
  port = platform::SerialOpen("COM5");
  close(input[1]);  // cat ends
  close(input[0]);
  waitpid(started, nullptr, 0);
  ASSERT_NE(port, nullptr);

  // A copy of this process that shares the open port's descriptor.
  const pid_t copy = fork();
  if (copy == 0) {
    pause();
    _exit(0);
  }
  ASSERT_GT(copy, 0);
  platform::SerialClose(*port);
  const int other = open(pty_.slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  EXPECT_GE(other, 0);
  EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  close(other);
  kill(copy, SIGKILL);
  waitpid(copy, nullptr, 0);

  // Nor when the port is dropped without a close.
  port = platform::SerialOpen("COM5");
  ASSERT_NE(port, nullptr);
  const pid_t second = fork();
  if (second == 0) {
    pause();
    _exit(0);
  }
  ASSERT_GT(second, 0);
  port.reset();
  const int again = open(pty_.slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  EXPECT_GE(again, 0);
  EXPECT_EQ(flock(again, LOCK_EX | LOCK_NB), 0);
  close(again);
  kill(second, SIGKILL);
  waitpid(second, nullptr, 0);
}

TEST_F(PortOpenClose, AfterACloseNoDescriptorOfThisProcessRefersToTheLine) {
  const auto port = platform::SerialOpen("COM5");
  ASSERT_NE(port, nullptr);
  platform::SerialClose(*port);  // the object lives on, as a thread may keep it
  struct stat line {};
  ASSERT_EQ(stat(pty_.slavePath.c_str(), &line), 0);
  std::vector<int> referring;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    const int fd = std::stoi(entry.path().filename().string());
    struct stat st {};
    if (fd != pty_.slave && fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == line.st_rdev)
      referring.push_back(fd);
  }
  EXPECT_TRUE(referring.empty()) << referring.front();
}

TEST_F(PortOpenClose, AProcessHoldingBothEndsIsTheFarEndNotAUser) {
  {
    // A virtual controller: the master of this very line, and the line.
    LineHolder farEnd(pty_.slavePath, false, pty_.master);
    ASSERT_TRUE(farEnd.Ok());
    EXPECT_TRUE(OpenPort("COM5"));
    ClosePort();
  }
  // The master of another line proves nothing.
  PtyPair other = OpenPtyPair();
  ASSERT_TRUE(other.Ok());
  LineHolder user(pty_.slavePath, false, other.master);
  ASSERT_TRUE(user.Ok());
  EXPECT_FALSE(OpenPort("COM5"));
}

TEST_F(PortOpenClose, YoungEmptyLockIsHeldAndOursIsReadableWhateverTheUmask) {
  const std::string lock = LockPath(pty_.slavePath);
  if (access("/run/lock", W_OK) != 0) GTEST_SKIP() << "/run/lock cannot be written";
  std::ofstream{lock};  // made, not yet written
  EXPECT_FALSE(OpenPort("COM5"));
  EXPECT_EQ(access(lock.c_str(), F_OK), 0);
  // Left empty for a minute: a crash's leftover.
  const timespec old[2] = {{time(nullptr) - 60, 0}, {time(nullptr) - 60, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, lock.c_str(), old, 0), 0);
  const mode_t umaskBefore = umask(077);
  const bool opened = OpenPort("COM5");
  umask(umaskBefore);
  ASSERT_TRUE(opened);
  struct stat st {};
  ASSERT_EQ(stat(lock.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  ClosePort();
}

TEST_F(PortOpenClose, ClosingAScannedPortLeavesDtrAndRtsLowThroughout) {
  // A UART's lines, as the open left them (raised, as the kernel does), and
  // every state the layer puts them in; a pseudo-terminal has none.
  struct Lines {
    std::mutex mutex;
    int now = TIOCM_DTR | TIOCM_RTS;
    std::vector<int> states;
  };
  const auto lines = std::make_shared<Lines>();
  platform::SetModemLinesForTest([lines](unsigned long request, int* arg) {
    std::lock_guard lock(lines->mutex);
    if (request == TIOCMGET) {
      *arg = lines->now;
    } else {
      lines->now = request == TIOCMBIS ? lines->now | *arg : lines->now & ~*arg;
      lines->states.push_back(lines->now & (TIOCM_DTR | TIOCM_RTS));
    }
    return 0;
  });
  ASSERT_TRUE(OpenPort("COM5"));
  const std::uint8_t identify[12] = {0xDA, 0x01};
  EXPECT_TRUE(TransmitFrame(true, identify, sizeof identify, 0));
  EXPECT_EQ(pty_.Read(12).size(), 12u);
  ClosePort();  // unanswered
  ASSERT_TRUE(WaitUntil(NoThreadsLeft));
  platform::SetModemLinesForTest({});
  std::lock_guard lock(lines->mutex);
  const auto low = std::find(lines->states.begin(), lines->states.end(), 0);
  ASSERT_NE(low, lines->states.end());
  EXPECT_TRUE(std::all_of(low, lines->states.end(), [](int state) { return state == 0; }));
}

TEST_F(PortOpenClose, LineSettingsReadBackFromTheDevice) {
  // Start from settings that differ in every respect that matters.
  termios tio {};
  ASSERT_EQ(tcgetattr(pty_.slave, &tio), 0);
  tio.c_cflag = (tio.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB | CRTSCTS;
  tio.c_iflag |= IXON | IXOFF | ICRNL;
  tio.c_lflag |= ICANON | ECHO | ISIG;
  tio.c_oflag |= OPOST;
  cfsetispeed(&tio, B9600);
  cfsetospeed(&tio, B9600);
  ASSERT_EQ(tcsetattr(pty_.slave, TCSANOW, &tio), 0);
  termios original {};
  ASSERT_EQ(tcgetattr(pty_.slave, &original), 0);

  ASSERT_TRUE(OpenPort("COM5"));
  ASSERT_EQ(tcgetattr(pty_.slave, &tio), 0);
  EXPECT_EQ(cfgetospeed(&tio), B115200);
  EXPECT_EQ(cfgetispeed(&tio), B115200);
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_NE(tio.c_cflag & CREAD, 0u);
  EXPECT_NE(tio.c_cflag & CLOCAL, 0u);
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(tio.c_oflag & OPOST, 0u);

  const auto port = PortHandle();
  ASSERT_NE(port, nullptr);
  platform::SerialSettings s;
  ASSERT_TRUE(platform::SerialGetState(*port, s));
  EXPECT_EQ(s.baudRate, 115200u);
  EXPECT_EQ(s.byteSize, 8);
  EXPECT_EQ(s.parity, 0);
  EXPECT_EQ(s.stopBits, 0);
  EXPECT_FALSE(s.outxCtsFlow || s.outxDsrFlow || s.outX || s.inX || s.dsrSensitivity);
  EXPECT_EQ(s.dtrControl, 0);
  EXPECT_EQ(s.rtsControl, 0);
  std::vector<std::string> statuses;
  EXPECT_FALSE(StatusEvents(window_, statuses)) << statuses.front();
  EXPECT_TRUE(WaitUntil([] { return LiveReadThreadsForTest() == 1 && LiveWriteThreadsForTest() == 1; }));

  // Closed, the line has its own settings back.
  ClosePort();
  ASSERT_EQ(tcgetattr(pty_.slave, &tio), 0);
  EXPECT_TRUE(SameSettings(original, tio));
}

TEST_F(PortOpenClose, PortHeldElsewhereCannotBeOpenedAndStartsNoThread) {
  // Another program holding the device.
  const int other = open(pty_.slavePath.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(other, 0);
  ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  EXPECT_FALSE(OpenPort("COM5"));
  // The reason is kept for `tavrin-cli doctor --open` to explain.
  EXPECT_EQ(platform::LastSerialOpenFailure().kind, platform::SerialOpenFailure::Kind::System);
  EXPECT_EQ(platform::LastSerialOpenFailure().error, EBUSY);
  EXPECT_EQ(window_.Status(), kOpenFailedText);
  EXPECT_EQ(PortHandle(), nullptr);
  EXPECT_TRUE(NoThreadsLeft());
  close(other);

  // This program holding it: a second open fails until the first is closed,
  // and then succeeds at once.
  auto first = platform::SerialOpen("COM5");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(platform::SerialOpen("COM5"), nullptr);
  EXPECT_FALSE(OpenPort("COM5"));
  EXPECT_TRUE(NoThreadsLeft());
  platform::SerialClose(*first);
  EXPECT_TRUE(platform::SerialIsClosed(*first));
  EXPECT_TRUE(OpenPort("COM5"));
  // Closed, every operation of the old handle fails; the device is untouched.
  platform::SerialSettings s;
  EXPECT_FALSE(platform::SerialGetState(*first, s));
  std::uint32_t n = 0;
  const std::uint8_t byte = 0x55;
  EXPECT_FALSE(platform::SerialWrite(*first, &byte, 1, n));
  EXPECT_EQ(platform::SerialWaitEvent(*first), platform::WaitResult::Closed);
}

TEST_F(PortOpenClose, AFailedOpenKeepsTheSystemsReasonAndAnOpenClearsIt) {
  EXPECT_EQ(platform::SerialOpen("COM77"), nullptr);  // no such port
  EXPECT_EQ(platform::LastSerialOpenFailure().kind, platform::SerialOpenFailure::Kind::System);
  EXPECT_EQ(platform::LastSerialOpenFailure().error, ENOENT);
  auto port = platform::SerialOpen("COM5");
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(platform::LastSerialOpenFailure().kind, platform::SerialOpenFailure::Kind::None);
  platform::SerialClose(*port);
}

TEST_F(PortOpenClose, DevicePathMustFitSixteenCharacters) {
  // 11 characters: "\\.\" and the name fill 15 of the 16.
  ASSERT_FALSE(MakeComLink("COM12345678", pty_.slavePath).empty());
  ASSERT_FALSE(MakeComLink("COM123456789", pty_.slavePath).empty());
  EXPECT_FALSE(OpenPort("COM123456789"));
  EXPECT_EQ(window_.Status(), kOpenFailedText);
  EXPECT_TRUE(OpenPort("COM12345678"));
  ClosePort();
  window_.ClearEvents();
  EXPECT_FALSE(OpenPort(""));
  EXPECT_EQ(window_.Status(), kOpenFailedText);
  // The layer takes both forms of the name.
  auto port = platform::SerialOpen("\\\\.\\COM5");
  EXPECT_NE(port, nullptr);
  RemoveComLink("COM12345678");
  RemoveComLink("COM123456789");
}

TEST_F(PortOpenClose, FailureAtEachStepLeavesThePortClosedAndReopenable) {
  const struct {
    platform::SerialFault fault;
    const char* text;
  } steps[] = {
      {platform::SerialFault::Open, kOpenFailedText},
      {platform::SerialFault::GetState, kReadDcbFailedText},
      {platform::SerialFault::SetState, kSetDcbFailedText},
      {platform::SerialFault::SetTimeouts, kSetTimeoutsFailedText},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.text);
    window_.ClearEvents();
    platform::SetSerialFaultForTest(step.fault);
    EXPECT_FALSE(OpenPort("COM5"));
    std::vector<std::string> statuses;
    ASSERT_TRUE(StatusEvents(window_, statuses));
    EXPECT_EQ(statuses, std::vector<std::string>{step.text});
    EXPECT_EQ(PortHandle(), nullptr);
    EXPECT_TRUE(NoThreadsLeft());
    platform::SetSerialFaultForTest(platform::SerialFault::None);
    ASSERT_TRUE(OpenPort("COM5"));
    ClosePort();
    EXPECT_TRUE(WaitUntil(NoThreadsLeft));
  }
}

TEST_F(PortOpenClose, ClosingTwiceIsClosingOnce) {
  ClosePort();  // nothing open: nothing happens
  EXPECT_TRUE(window_.Events().empty());
  ASSERT_TRUE(OpenPort("COM5"));
  const auto port = PortHandle();
  ASSERT_NE(port, nullptr);
  ClosePort();
  ClosePort();
  EXPECT_EQ(PortHandle(), nullptr);
  EXPECT_TRUE(platform::SerialIsClosed(*port));
  EXPECT_TRUE(window_.Events().empty());
  EXPECT_TRUE(WaitUntil(NoThreadsLeft));
  EXPECT_TRUE(OpenPort("COM5"));
}

TEST_F(PortOpenClose, OpeningAgainClosesThePreviousPort) {
  PtyPair second = OpenPtyPair();
  ASSERT_TRUE(second.Ok());
  ASSERT_FALSE(MakeComLink("COM6", second.slavePath).empty());
  ASSERT_TRUE(OpenPort("COM5"));
  const auto first = PortHandle();
  ASSERT_NE(first, nullptr);
  ASSERT_TRUE(OpenPort("COM6"));
  EXPECT_TRUE(platform::SerialIsClosed(*first));
  EXPECT_TRUE(WaitUntil([] { return LiveReadThreadsForTest() == 1; }));
  // COM5 is free again.
  EXPECT_NE(platform::SerialOpen("COM5"), nullptr);
  ClosePort();
  RemoveComLink("COM6");
}

// CPU time of the whole process: the reader is the only thread that could be busy.
std::chrono::milliseconds ProcessCpuTime() {
  timespec ts {};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return std::chrono::milliseconds(ts.tv_sec * 1000 + ts.tv_nsec / 1000000);
}

TEST_F(PortOpenClose, VanishedDeviceWaitsQuietlyUntilClosed) {
  ASSERT_TRUE(OpenPort("COM5"));
  ASSERT_TRUE(WaitUntil([] { return LiveReadThreadsForTest() == 1; }));
  pty_.Close();  // unplugged
  // A hung-up line reports itself readable on every poll; a reader that took
  // that at its word would spin. Over a second it should use next to nothing.
  const auto cpuBefore = ProcessCpuTime();
  std::this_thread::sleep_for(std::chrono::seconds(1));  // the span measured, not a wait for an event
  EXPECT_LT(ProcessCpuTime() - cpuBefore, std::chrono::milliseconds(250));
  const auto port = PortHandle();
  ASSERT_NE(port, nullptr);
  std::uint32_t n = 0;
  const std::uint8_t byte = 1;
  // Writing to a device that has gone fails rather than hangs.
  EXPECT_FALSE(platform::SerialWrite(*port, &byte, 1, n));
  ClosePort();
  EXPECT_TRUE(WaitUntil(NoThreadsLeft));
}

TEST(PortWithoutDevice, PurgeAndWakeDoNothingWithNoPortOpen) {
  PurgePortOutput();
  WakeWriter();
  EXPECT_EQ(PortHandle(), nullptr);
}

}  // namespace
