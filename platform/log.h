// Lines on standard error, each with a priority.
//
// When standard error is the journal (the service manager connected it and
// says so in JOURNAL_STREAM, "DEVICE:INODE" of that stream), each line is
// written as "<N>text", N the syslog priority, which the journal takes as the
// record's priority and strips. Otherwise the text is written as it is. The
// decision is made once per process, at the first line.
//
// Every program of the device writes its error boxes, warnings and trace
// lines through here, so that one place knows the form.
//
// Threads: any. Each call is one write() of whole lines (continued only
// after a partial write), so lines of several threads or processes sharing
// the stream do not interleave.
#ifndef HOLLOWMARCH_PLATFORM_LOG_H_
#define HOLLOWMARCH_PLATFORM_LOG_H_

#include <string>
#include <string_view>

namespace platform {

// The syslog priorities the programs use.
enum class LogPriority : int {
  kError = 3,    // a failure the user is told of: the error box, a failed start
  kWarning = 4,  // something was wrong and was put right
  kInfo = 6,     // what the device did
  kDebug = 7,    // trace lines
};

// Writes `text` (one line or several; a missing final newline is added) to
// standard error with `priority`. Empty text writes nothing.
void WriteLog(LogPriority priority, std::string_view text);

// Formats printf-style (at most 1,024 bytes; longer text is cut) and writes
// it as WriteLog does.
void Logf(LogPriority priority, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The bytes WriteLog writes: every line ended by a newline, and prefixed
// "<N>" when `journal` is true. "" for empty text.
std::string FormatLogLines(LogPriority priority, std::string_view text, bool journal);

// True when `journal_stream` (JOURNAL_STREAM's value; null when unset) is
// "DEVICE:INODE" in decimal and names the file that descriptor `fd` is open
// on. A malformed value, or one naming another file (standard error was
// redirected after the service manager set it), gives false.
bool StreamIsJournal(int fd, const char* journal_stream);

}  // namespace platform

#endif  // HOLLOWMARCH_PLATFORM_LOG_H_
