#include "stop_signal.h"

#include <atomic>
#include <csignal>

#ifndef _WIN32
#include <pthread.h>

#include <thread>
#endif

namespace tarvik::tool {

namespace {

std::atomic<int> g_caught{0};
std::atomic<bool> g_armed{false};

#ifdef _WIN32

void OnStopSignal(int signal) {
  if (g_armed && g_caught == 0) {
    g_caught = signal;
    std::signal(signal, OnStopSignal);
  } else {
    std::signal(signal, SIG_DFL);
    std::raise(signal);
  }
}

#else

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

// Takes every SIGINT and SIGTERM of the process. A handler could run on any thread, the
// emulated machine's included, and break its waits; here no other thread ever sees them.
void WaitForSignals() {
  sigset_t set = StopSignals();
  for (;;) {
    int signal = 0;
    if (sigwait(&set, &signal) != 0) continue;
    if (g_armed && g_caught == 0) {
      g_caught = signal;
      continue;
    }
    // Not acquiring, or a second signal: the usual end of the process.
    std::signal(signal, SIG_DFL);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    raise(signal);
  }
}

#endif

}  // namespace

void RouteStopSignals() {
#ifdef _WIN32
  std::signal(SIGINT, OnStopSignal);
  std::signal(SIGTERM, OnStopSignal);
#else
  sigset_t set = StopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);  // inherited by every thread started later
  std::thread(WaitForSignals).detach();
#endif
}

StopOnSignals::StopOnSignals() {
  g_caught = 0;
  g_armed = true;
}

StopOnSignals::~StopOnSignals() { g_armed = false; }

const char* StopOnSignals::Caught() {
  switch (g_caught.load()) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    default: return nullptr;
  }
}

}  // namespace tarvik::tool
