#include "platform/window_registration.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/hex.h"

namespace platform::ipc {
namespace {

constexpr size_t kMaxRegistrationBytes = 4096;
constexpr char kRegistrationPrefix[] = "w-";
constexpr size_t kHandleDigits = 8;
constexpr size_t kUnitDigits = 4;  // one UTF-16 unit of a class or window name

std::string HexOf(const std::u16string& text) {
  std::string hex;
  char unit[8];
  for (char16_t c : text) {
    std::snprintf(unit, sizeof unit, "%04x", static_cast<unsigned>(c));
    hex += unit;
  }
  return hex;
}

bool FromHex(const std::string& hex, std::u16string* text) {
  if (hex.size() % kUnitDigits != 0) return false;
  text->clear();
  for (size_t i = 0; i < hex.size(); i += kUnitDigits) {
    uint32_t value = 0;
    if (!ParseLowerHex(hex.data() + i, kUnitDigits, &value)) return false;
    text->push_back(static_cast<char16_t>(value));
  }
  return true;
}

std::string FormatRegistration(const Registration& r) {
  return "pid " + std::to_string(r.pid) + "\nsocket " + r.endpoint + "\nclass " +
         HexOf(r.class_name) + "\nname " + HexOf(r.name) + "\n";
}

bool ParseRegistration(const std::string& text, Registration* r) {
  bool have_pid = false, have_socket = false, have_class = false, have_name = false;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) return false;  // a file cut short
    std::string line = text.substr(start, end - start);
    start = end + 1;
    size_t space = line.find(' ');
    if (space == std::string::npos) return false;
    std::string key = line.substr(0, space);
    std::string value = line.substr(space + 1);
    if (key == "pid") {
      char* rest = nullptr;
      r->pid = std::strtol(value.c_str(), &rest, 10);
      have_pid = rest != value.c_str() && *rest == 0 && r->pid > 0;
    } else if (key == "socket") {
      r->endpoint = value;
      have_socket = !value.empty();
    } else if (key == "class") {
      have_class = FromHex(value, &r->class_name);
    } else if (key == "name") {
      have_name = FromHex(value, &r->name);
    }
  }
  return have_pid && have_socket && have_class && have_name;
}

}  // namespace

std::string RunDir(const std::string& root) { return root + "/run"; }

bool EnsureRunDir(const std::string& root) {
  std::string dir = RunDir(root);
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat st;
  if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
    return false;
  }
  return (st.st_mode & 077) == 0 || ::chmod(dir.c_str(), 0700) == 0;
}

std::string RegistrationPath(const std::string& root, HWND hwnd) {
  char handle[16];
  std::snprintf(handle, sizeof handle, "%08x", hwnd);
  return RunDir(root) + "/" + kRegistrationPrefix + handle;
}

bool ParseRegistrationName(const char* file_name, HWND* hwnd) {
  const size_t prefix = sizeof kRegistrationPrefix - 1;
  if (std::strncmp(file_name, kRegistrationPrefix, prefix) != 0) return false;
  const char* digits = file_name + prefix;
  if (std::strlen(digits) != kHandleDigits) return false;
  uint32_t value = 0;
  if (!ParseLowerHex(digits, kHandleDigits, &value) || value == 0) return false;
  *hwnd = value;
  return true;
}

bool WriteRegistration(const std::string& path, const Registration& r) {
  const std::string text = FormatRegistration(r);
  std::string temp = path + ".tmp." + std::to_string(::getpid());
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = true;
  size_t done = 0;
  while (ok && done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    if (n > 0) done += static_cast<size_t>(n);
  }
  ok = ::close(fd) == 0 && ok;
  if (ok) ok = ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

bool ReadRegistration(const std::string& path, Registration* r) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::string text(kMaxRegistrationBytes, '\0');
  size_t used = 0;
  while (used < text.size()) {
    ssize_t n = ::read(fd, text.data() + used, text.size() - used);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    used += static_cast<size_t>(n);
  }
  ::close(fd);
  text.resize(used);
  return ParseRegistration(text, r);
}

}  // namespace platform::ipc
