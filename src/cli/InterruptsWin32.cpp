// Asio brings winsock2.h, which must come before windows.h.
// clang-format off
#include "cli/Interrupts.h"
#include <asio/post.hpp>
#include <windows.h>
// clang-format on

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>

#include "cli/Driver.h"

namespace cli {

namespace {

std::atomic<bool> g_pending{false};
std::mutex g_mutex;
std::condition_variable g_released;
std::condition_variable g_arrived;
bool g_done = false;
std::function<void()> g_post;  // set while an Interrupts lives, under g_mutex

BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
  // A second one while the first waits adds nothing: the port is let go in order.
  if (g_pending.exchange(true) && event != CTRL_CLOSE_EVENT) return TRUE;
  std::unique_lock lock(g_mutex);
  g_arrived.notify_all();
  if (g_post) g_post();
  if (event == CTRL_CLOSE_EVENT) {
    // Windows ends the program as soon as this returns: first the port is
    // let go, the way Ctrl+C does it (Windows allows some five seconds).
    g_released.wait_for(lock, std::chrono::milliseconds(4500), [] { return g_done; });
  }
  return TRUE;
}

}  // namespace

struct Interrupts::State {
  std::function<void()> handler;
};

Interrupts::Interrupts(asio::io_context& io, std::function<void()> handler)
    : state_(std::make_unique<State>(State{std::move(handler)})) {
  {
    std::lock_guard lock(g_mutex);
    g_done = false;
    g_post = [&io, state = state_.get()] {
      asio::post(io, [state] {
        g_pending = false;
        state->handler();
      });
    };
  }
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

Interrupts::~Interrupts() {
  std::lock_guard lock(g_mutex);
  g_post = nullptr;
  g_done = true;
  g_released.notify_all();
}

// Ctrl+C, Ctrl+Break and a closing console all stop what runs, as documented.
Interrupts::Kind Interrupts::Last() { return Kind::Interrupt; }

bool Interrupts::Pending() { return g_pending; }

bool Interrupts::Arrives(std::chrono::milliseconds wait) {
  std::unique_lock lock(g_mutex);
  return g_arrived.wait_for(lock, wait, [] { return g_pending.load(); });
}

}  // namespace cli
