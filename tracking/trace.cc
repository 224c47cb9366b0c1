#include "tracking/trace.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "platform/log.h"
#include "platform/mutex.h"

namespace {

// The one process-wide sink. `active` spares the formatting while silent.
struct TraceSink {
  platform::Mutex mu;
  bool to_stderr GUARDED_BY(mu) = false;
  std::vector<std::string>* capture GUARDED_BY(mu) = nullptr;
  std::atomic<bool> active{false};
};

TraceSink& Sink() {
  static TraceSink* sink = new TraceSink;  // never destroyed: usable at exit
  return *sink;
}

void UpdateActive(TraceSink& sink) REQUIRES(sink.mu) {
  sink.active.store(sink.to_stderr || sink.capture != nullptr,
                    std::memory_order_relaxed);
}

// Owned by the one live TraceCapture.
std::vector<std::string>* NewCaptureBuffer() { return new std::vector<std::string>; }

}  // namespace

void Trace(const char* format, ...) {
  TraceSink& sink = Sink();
  if (!sink.active.load(std::memory_order_relaxed)) return;
  char line[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof(line), format, args);
  va_end(args);
  platform::MutexLock lock(&sink.mu);
  if (sink.capture != nullptr) {
    sink.capture->emplace_back(line);
  } else if (sink.to_stderr) {
    platform::WriteLog(platform::LogPriority::kDebug, line);
  }
}

void SetTraceToStderr(bool on) {
  TraceSink& sink = Sink();
  platform::MutexLock lock(&sink.mu);
  sink.to_stderr = on;
  UpdateActive(sink);
}

TraceCapture::TraceCapture() {
  TraceSink& sink = Sink();
  platform::MutexLock lock(&sink.mu);
  delete sink.capture;
  sink.capture = NewCaptureBuffer();
  UpdateActive(sink);
}

TraceCapture::~TraceCapture() {
  TraceSink& sink = Sink();
  platform::MutexLock lock(&sink.mu);
  delete sink.capture;
  sink.capture = nullptr;
  UpdateActive(sink);
}

std::vector<std::string> TraceCapture::Lines() const {
  TraceSink& sink = Sink();
  platform::MutexLock lock(&sink.mu);
  return sink.capture != nullptr ? *sink.capture : std::vector<std::string>();
}

void TraceCapture::Clear() {
  TraceSink& sink = Sink();
  platform::MutexLock lock(&sink.mu);
  if (sink.capture != nullptr) sink.capture->clear();
}
