// SIGINT and SIGTERM as a request to stop: while a StopOnSignals lives, either signal only
// marks the run as stopping (the acquisition ends at its next read and completes its files);
// a second one of the same kind ends the process as usual.
#pragma once

namespace tarvik::tool {

// Called once at the start of main, before any thread: from then on SIGINT and SIGTERM end the
// process as usual except while a StopOnSignals lives.
void RouteStopSignals();

class StopOnSignals {
 public:
  StopOnSignals();
  ~StopOnSignals();
  StopOnSignals(const StopOnSignals&) = delete;
  StopOnSignals& operator=(const StopOnSignals&) = delete;

  // The signal that asked to stop ("SIGINT", "SIGTERM"), or null while none has.
  static const char* Caught();
};

}  // namespace tarvik::tool
