#include "stop_signal.h"

#include <csignal>

namespace tarvik::tool {

namespace {

volatile std::sig_atomic_t g_caught = 0;

void OnStopSignal(int signal) {
  g_caught = signal;
  std::signal(signal, SIG_DFL);  // a second one is not ignored
}

}  // namespace

StopOnSignals::StopOnSignals() {
  g_caught = 0;
  std::signal(SIGINT, OnStopSignal);
  std::signal(SIGTERM, OnStopSignal);
}

StopOnSignals::~StopOnSignals() {
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
}

const char* StopOnSignals::Caught() {
  switch (g_caught) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    default: return nullptr;
  }
}

}  // namespace tarvik::tool
