// Ctrl+C and its kin, handed to the window thread through the io_context:
// SIGINT, SIGTERM and SIGHUP on Linux (SIGPIPE is ignored); Ctrl+C,
// Ctrl+Break and closing the console window on Windows. Any number of them
// lead to the one orderly end, with the port let go.
#pragma once

#include <asio/io_context.hpp>
#include <chrono>
#include <functional>
#include <memory>

namespace cli {

class Interrupts {
 public:
  // `handler` runs on the thread that runs `io`, once per interruption.
  Interrupts(asio::io_context& io, std::function<void()> handler);
  // The program has let go of everything: a closing console may end it now.
  ~Interrupts();
  Interrupts(const Interrupts&) = delete;
  Interrupts& operator=(const Interrupts&) = delete;

  // Which kind the handler is being given: Ctrl+C and SIGTERM stop what
  // runs; a hang-up (SIGHUP, a closed session) only ends the program.
  enum class Kind { Interrupt, Terminate, Hangup };
  static Kind Last();

  // An interruption has come that the handler has not yet been given.
  static bool Pending();
  // Pending(), or one coming within `wait`: on Windows Ctrl+C ends a read
  // from the console before the system's thread has told of it.
  static bool Arrives(std::chrono::milliseconds wait);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace cli
