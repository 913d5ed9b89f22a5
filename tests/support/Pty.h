// Pseudo-terminals standing in for serial ports, and COM links to them in the
// test process's own DOS-device directory.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One pseudo-terminal. The test talks through `master`; the port code opens
// `slavePath` (through a COM link). The pair keeps one descriptor of the
// slave side open itself, so the master never reports a hang-up while the
// port is closed, and the line settings can be read back through it.
struct PtyPair {
  int master = -1;
  std::string slavePath;
  int slave = -1;  // the pair's own slave descriptor, never read from

  PtyPair() = default;
  PtyPair(PtyPair&& other) noexcept;
  PtyPair& operator=(PtyPair&& other) noexcept;
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;
  ~PtyPair();

  bool Ok() const { return master >= 0; }
  // Closes the master: the port sees its device go away.
  void CloseMaster();
  void Close();

  // Writes all of `data` to the master (the port receives it); false on error.
  bool Write(const std::vector<std::uint8_t>& data);
  bool Write(const void* data, std::size_t length);
  // Reads what the port sent until `count` bytes have come or the deadline
  // passes; returns what came.
  std::vector<std::uint8_t> Read(std::size_t count,
                                 std::chrono::milliseconds deadline = std::chrono::seconds(5));
  // Waits until the slave side has at least `count` received bytes queued.
  bool WaitQueued(std::size_t count, std::chrono::milliseconds deadline = std::chrono::seconds(5));
};

// A new raw pseudo-terminal; Ok() is false when none can be made.
PtyPair OpenPtyPair();

// Creates (or replaces) the link `name` -> `target` in the DOS-device
// directory; returns the link's path, or empty on failure.
std::string MakeComLink(const std::string& name, const std::string& target);
bool RemoveComLink(const std::string& name);

// Another process with the line `device` open: a shell on it as its terminal
// (`shell`), or a program that only opened it and also keeps `keepFd` (a
// pseudo-terminal's master, say) if given. Ok() once it holds the line; ended
// and reaped by Stop() or the destructor.
class LineHolder {
 public:
  LineHolder(const std::string& device, bool shell, int keepFd = -1);
  ~LineHolder() { Stop(); }
  LineHolder(const LineHolder&) = delete;
  LineHolder& operator=(const LineHolder&) = delete;
  bool Ok() const { return pid_ > 0; }
  void Stop();

 private:
  int pid_ = -1;
};
