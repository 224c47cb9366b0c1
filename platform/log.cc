#include "platform/log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace platform {
namespace {

// A decimal number of at most 20 digits that fits in 64 bits, ended by
// `end` (a character, or '\0' for the end of the text). Moves *p past it.
bool ParseDecimal(const char** p, char end, unsigned long long* value) {
  const char* s = *p;
  unsigned long long v = 0;
  int digits = 0;
  for (; *s >= '0' && *s <= '9'; ++s, ++digits) {
    const unsigned digit = static_cast<unsigned>(*s - '0');
    if (v > (std::numeric_limits<unsigned long long>::max() - digit) / 10) return false;
    v = v * 10 + digit;
  }
  if (digits == 0 || *s != end) return false;
  *value = v;
  *p = end == '\0' ? s : s + 1;
  return true;
}

bool StderrIsJournal() {
  // Standard error is not reopened by the programs, so once is enough.
  static const bool journal = StreamIsJournal(STDERR_FILENO, std::getenv("JOURNAL_STREAM"));
  return journal;
}

}  // namespace

bool StreamIsJournal(int fd, const char* journal_stream) {
  if (journal_stream == nullptr) return false;
  const char* p = journal_stream;
  unsigned long long device = 0, inode = 0;
  if (!ParseDecimal(&p, ':', &device) || !ParseDecimal(&p, '\0', &inode)) return false;
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  return static_cast<unsigned long long>(st.st_dev) == device &&
         static_cast<unsigned long long>(st.st_ino) == inode;
}

std::string FormatLogLines(LogPriority priority, std::string_view text, bool journal) {
  std::string out;
  if (text.empty()) return out;
  const std::string prefix = journal ? "<" + std::to_string(static_cast<int>(priority)) + ">" : "";
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    out += prefix;
    out.append(text.substr(start, end - start));
    out += '\n';
    start = end + 1;
  }
  return out;
}

void WriteLog(LogPriority priority, std::string_view text) {
  const std::string bytes = FormatLogLines(priority, text, StderrIsJournal());
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(STDERR_FILENO, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

void Logf(LogPriority priority, const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (n < 0) return;
  WriteLog(priority, std::string_view(text, std::min(static_cast<size_t>(n), sizeof text - 1)));
}

}  // namespace platform
