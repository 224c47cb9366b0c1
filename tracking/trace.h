// Trace lines: fixed printf-style texts at the decision points of duplicate
// resolution, change capture and the local requests.
//
// One process-wide sink. It is silent until the program switches tracing to
// standard error (SetTraceToStderr) or a test installs a capturing sink
// (TraceCapture). Each Trace call is one line; the sink adds no prefix of
// its own (on standard error the line goes out at debug priority,
// platform/log.h).
// Any thread; the sink is switched under an internal lock.
#ifndef HOLLOWMARCH_TRACKING_TRACE_H_
#define HOLLOWMARCH_TRACKING_TRACE_H_

#include <string>
#include <vector>

// Formats one trace line printf-style (%08x, %d, ...) and hands it to the
// sink; does nothing (not even the formatting) while no sink is on.
void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Switches writing trace lines to standard error (one per line) on or off.
void SetTraceToStderr(bool on);

// While alive, every trace line is collected here instead of going to
// standard error. For tests; one at a time.
class TraceCapture {
 public:
  TraceCapture();
  ~TraceCapture();
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;

  // The lines traced since construction or the last Clear, in order.
  std::vector<std::string> Lines() const;
  void Clear();
};

#endif  // HOLLOWMARCH_TRACKING_TRACE_H_
