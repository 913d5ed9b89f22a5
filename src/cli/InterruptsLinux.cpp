#include <signal.h>
#include <unistd.h>

#include <asio/signal_set.hpp>

#include "cli/Driver.h"
#include "cli/Interrupts.h"

namespace cli {

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

volatile sig_atomic_t g_pending = 0;
Interrupts::Kind g_last = Interrupts::Kind::Interrupt;
// The signal set's own handlers, which ours hands the signal on to.
struct sigaction g_next[3];

int Slot(int signal) { return signal == SIGINT ? 0 : signal == SIGTERM ? 1 : 2; }

// However many come, each is handed on: the window thread ends the program
// in order (port closed, its settings restored, its lock removed), which
// ending here at once would not.
void OnSignal(int signal) {
  g_pending = 1;
  g_next[Slot(signal)].sa_handler(signal);
}

}  // namespace

struct Interrupts::State {
  State(asio::io_context& io, std::function<void()> handler)
      : signals(io, SIGINT, SIGTERM, SIGHUP), handler(std::move(handler)) {}

  void Wait() {
    signals.async_wait([this](const std::error_code& ec, int signal) {
      if (ec) return;
      g_pending = 0;
      g_last = signal == SIGHUP    ? Kind::Hangup
               : signal == SIGTERM ? Kind::Terminate
                                   : Kind::Interrupt;
      handler();
      Wait();
    });
  }

  asio::signal_set signals;
  std::function<void()> handler;
};

Interrupts::Interrupts(asio::io_context& io, std::function<void()> handler)
    : state_(std::make_unique<State>(io, std::move(handler))) {
  // A reader of our output that has gone shows as EPIPE on the write, which
  // the session notices and ends by; the default would end it at once.
  signal(SIGPIPE, SIG_IGN);
  for (const int signal : kSignals) {
    struct sigaction ours {};
    sigaction(signal, nullptr, &g_next[Slot(signal)]);
    ours = g_next[Slot(signal)];
    ours.sa_handler = OnSignal;
    ours.sa_flags = 0;  // no SA_RESTART: a question waiting for its answer ends
    sigaction(signal, &ours, nullptr);
  }
  state_->Wait();
}

Interrupts::~Interrupts() = default;

Interrupts::Kind Interrupts::Last() { return g_last; }

bool Interrupts::Pending() { return g_pending != 0; }

// A signal interrupts the read that waits for it at once.
bool Interrupts::Arrives(std::chrono::milliseconds) { return Pending(); }

}  // namespace cli
