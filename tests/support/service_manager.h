// The service manager's end of the readiness protocol for tests: a datagram
// socket that a program reaches through NOTIFY_SOCKET.
#ifndef HOLLOWMARCH_TESTS_SUPPORT_SERVICE_MANAGER_H_
#define HOLLOWMARCH_TESTS_SUPPORT_SERVICE_MANAGER_H_

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace hmtest {

class FakeServiceManager {
 public:
  // Binds `dir`/notify (`dir` must exist and be short enough for a socket
  // path); a failure is a test failure.
  explicit FakeServiceManager(const std::string& dir);
  ~FakeServiceManager();
  FakeServiceManager(const FakeServiceManager&) = delete;
  FakeServiceManager& operator=(const FakeServiceManager&) = delete;

  // "NOTIFY_SOCKET=<path>", for a program's environment.
  std::string Env() const { return "NOTIFY_SOCKET=" + path_; }
  const std::string& path() const { return path_; }

  // The next notification, or nothing within `timeout`.
  std::optional<std::string> Next(std::chrono::milliseconds timeout);
  // Reads notifications until one holds the line `line` ("READY=1") and
  // returns it; nothing when none came within `timeout`.
  std::optional<std::string> WaitFor(const std::string& line, std::chrono::milliseconds timeout);

  // Whether `message` holds the line `line`.
  static bool HasLine(const std::string& message, const std::string& line);
  // The text of the STATUS= line of `message` ("" when it has none).
  static std::string Status(const std::string& message);

  // Every notification received so far, each in brackets, for messages.
  std::string All() const;

 private:
  std::string path_;
  int fd_ = -1;
  std::vector<std::string> received_;
};

}  // namespace hmtest

#endif  // HOLLOWMARCH_TESTS_SUPPORT_SERVICE_MANAGER_H_
