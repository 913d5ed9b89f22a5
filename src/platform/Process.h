// Child processes of this program: a worker started with its standard input
// and output on pipes of its own, so the parent can answer it and read what it
// reports. Its standard error is the parent's: a worker's diagnostics (and a
// crash report) reach the same terminal or log as the parent's without the
// parent having to drain a second pipe, which, left full, would stop the
// worker; the machine-readable stream is standard output alone.
//
// Only the child's own ends of its pipes are passed to it: a second child
// never holds the first one's pipes, so each child's end of output is seen
// when that child ends. The child starts with the default signal handling and
// an empty signal mask, in a process group of its own (on Windows, a new
// console process group): a Ctrl+C on the terminal reaches the parent alone,
// which stops its children with Terminate().
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

class ChildProcess {
 public:
  // Read() with the output set non-blocking and nothing there yet.
  static constexpr std::ptrdiff_t kWouldBlock = -2;

  ChildProcess() = default;
  // Closes the pipes; a child still running is killed and waited for, so none
  // outlives its object holding a port.
  ~ChildProcess();
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // The child's process id.
  std::int64_t Id() const { return id_; }

  // Reads what the child wrote to its standard output: the number of bytes
  // (up to `size`), 0 at the end of it (the child closed it or ended), -1 on
  // an error, kWouldBlock when non-blocking and nothing is there.
  std::ptrdiff_t Read(void* data, std::size_t size);
  // Blocking by default. Non-blocking, Read() never waits; on POSIX the
  // descriptor OutputFd() can then be polled.
  bool SetOutputNonBlocking(bool nonBlocking);
  // The read end's descriptor on POSIX (for poll or an event loop), -1 on Windows.
  int OutputFd() const;

  // Writes all of `data` to the child's standard input; false when the child
  // no longer reads it (no SIGPIPE is raised).
  bool Write(std::string_view data);
  // The child reads the end of its input.
  void CloseInput();

  // Waits for the child to end and gives its exit status: the code it exited
  // with, or 128 + the signal's number when a signal ended it (POSIX).
  // Waiting again gives the same status.
  int Wait();
  // The exit status when the child has ended, without waiting.
  std::optional<int> TryWait();
  // Asks the child to stop: SIGTERM on POSIX. On Windows its input is closed
  // (a worker takes the end of its input as the stop message) and a
  // CTRL_BREAK_EVENT is sent to its console process group.
  void Terminate();
  // Tells the child that the output it reports to is gone: it ends after
  // what it is doing. SIGHUP on POSIX; on Windows its input is closed.
  void HangUp();
  // Ends the child at once: SIGKILL, TerminateProcess (exit status 137 on both).
  void Kill();

 private:
  friend std::optional<ChildProcess> StartProcess(const std::string&, const std::vector<std::string>&,
                                                  std::string*);
  void Release();

  std::int64_t id_ = -1;
  std::intptr_t process_ = -1;  // Windows: the process handle
  std::intptr_t input_ = -1;    // the write end of the child's standard input
  std::intptr_t output_ = -1;   // the read end of the child's standard output
  bool nonBlocking_ = false;
  std::optional<int> status_;
};

// Starts `program` (a path, UTF-8) with `args` (argv[1] on, UTF-8; on Windows
// quoted so that the child's CommandLineToArgvW gives them back unchanged).
// Empty with the reason in `error` when it cannot be started.
std::optional<ChildProcess> StartProcess(const std::string& program,
                                         const std::vector<std::string>& args,
                                         std::string* error = nullptr);

// The path of the running program (UTF-8), to start it again as a worker;
// empty when it cannot be told.
std::string CurrentProgramPath();

}  // namespace platform
