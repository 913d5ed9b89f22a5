// Ctrl+C and its kin, handed to the window thread through the io_context:
// SIGINT and SIGTERM on Linux; Ctrl+C, Ctrl+Break and closing the console
// window on Windows. A second one before the first was handled ends the
// program at once with kExitInterrupted, as the way out of a program that
// hangs.
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
