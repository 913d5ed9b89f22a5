#include "platform/Process.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <utility>

extern char** environ;

namespace platform {

namespace {

void CloseFd(std::intptr_t& fd) {
  if (fd >= 0) close(static_cast<int>(fd));
  fd = -1;
}

// A descriptor above the standard three, so that the child's dup2 onto 0 or
// 1 never meets itself (which would leave it close-on-exec).
bool AboveStandard(int& fd) {
  if (fd > 2) return true;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (moved < 0) return false;
  close(fd);
  fd = moved;
  return true;
}

int StatusOf(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}

}  // namespace

ChildProcess::~ChildProcess() { Release(); }

void ChildProcess::Release() {
  CloseFd(input_);
  CloseFd(output_);
  if (id_ > 0 && !status_) {
    Kill();
    Wait();
  }
  id_ = -1;
}

std::ptrdiff_t ChildProcess::Read(void* data, std::size_t size) {
  if (output_ < 0) return -1;
  for (;;) {
    const ssize_t n = read(static_cast<int>(output_), data, size);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return kWouldBlock;
    return -1;
  }
}

bool ChildProcess::SetOutputNonBlocking(bool nonBlocking) {
  if (output_ < 0) return false;
  const int fd = static_cast<int>(output_);
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, nonBlocking ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) != 0) {
    return false;
  }
  nonBlocking_ = nonBlocking;
  return true;
}

int ChildProcess::OutputFd() const { return static_cast<int>(output_); }

bool ChildProcess::Write(std::string_view data) {
  if (input_ < 0) return false;
  // A child that has gone raises SIGPIPE on this thread: it is held back and
  // taken away, so that only the failed write tells of it.
  sigset_t pipeSignal, old;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  sigset_t pendingBefore;
  sigpending(&pendingBefore);
  const bool wasPending = sigismember(&pendingBefore, SIGPIPE) == 1;
  pthread_sigmask(SIG_BLOCK, &pipeSignal, &old);
  bool ok = true;
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = write(static_cast<int>(input_), data.data() + done, data.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    ok = false;
    if (n < 0 && errno == EPIPE && !wasPending) {
      const timespec none{0, 0};
      sigtimedwait(&pipeSignal, nullptr, &none);
    }
    break;
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return ok;
}

void ChildProcess::CloseInput() { CloseFd(input_); }

int ChildProcess::Wait() {
  if (status_) return *status_;
  if (id_ <= 0) return -1;
  int raw = 0;
  pid_t r;
  do {
    r = waitpid(static_cast<pid_t>(id_), &raw, 0);
  } while (r < 0 && errno == EINTR);
  status_ = r == static_cast<pid_t>(id_) ? StatusOf(raw) : -1;
  return *status_;
}

std::optional<int> ChildProcess::TryWait() {
  if (status_) return status_;
  if (id_ <= 0) return -1;
  int raw = 0;
  const pid_t r = waitpid(static_cast<pid_t>(id_), &raw, WNOHANG);
  if (r == 0 || (r < 0 && errno == EINTR)) return std::nullopt;
  status_ = r == static_cast<pid_t>(id_) ? StatusOf(raw) : -1;
  return status_;
}

// Only a child not yet waited for: its pid cannot have been given to another.
void ChildProcess::Terminate() {
  if (id_ > 0 && !status_) kill(static_cast<pid_t>(id_), SIGTERM);
}

void ChildProcess::HangUp() {
  if (id_ > 0 && !status_) kill(static_cast<pid_t>(id_), SIGHUP);
}

void ChildProcess::Kill() {
  if (id_ > 0 && !status_) kill(static_cast<pid_t>(id_), SIGKILL);
}

std::optional<ChildProcess> StartProcess(const std::string& program,
                                         const std::vector<std::string>& args,
                                         std::string* error) {
  const auto fail = [&](const std::string& why) -> std::optional<ChildProcess> {
    if (error != nullptr) *error = why;
    return std::nullopt;
  };
  // Close-on-exec from the start: another thread's child never gets them.
  int in[2] = {-1, -1};
  int out[2] = {-1, -1};
  if (pipe2(in, O_CLOEXEC) != 0) return fail(std::string("cannot make a pipe: ") + std::strerror(errno));
  if (pipe2(out, O_CLOEXEC) != 0) {
    const int e = errno;
    close(in[0]);
    close(in[1]);
    return fail(std::string("cannot make a pipe: ") + std::strerror(e));
  }
  const auto closeAll = [&] {
    for (int fd : {in[0], in[1], out[0], out[1]}) {
      if (fd >= 0) close(fd);
    }
  };
  if (!AboveStandard(in[0]) || !AboveStandard(out[1])) {
    const int e = errno;
    closeAll();
    return fail(std::string("cannot move a pipe: ") + std::strerror(e));
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);

  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int s : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD, SIGUSR1, SIGUSR2}) sigaddset(&defaults, s);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

  std::vector<std::string> argvStrings;
  argvStrings.reserve(args.size() + 1);
  argvStrings.push_back(program);
  argvStrings.insert(argvStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argvStrings) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_t pid = -1;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(in[0]);
  close(out[1]);
  in[0] = out[1] = -1;
  if (rc != 0) {
    closeAll();
    return fail("cannot start " + program + ": " + std::strerror(rc));
  }
  ChildProcess child;
  child.id_ = pid;
  child.input_ = in[1];
  child.output_ = out[0];
  return child;
}

std::string CurrentProgramPath() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof path) return {};
  return std::string(path, static_cast<std::size_t>(n));
}

}  // namespace platform
