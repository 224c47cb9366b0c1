#include "tests/support/service_manager.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "gtest/gtest.h"

namespace hmtest {

FakeServiceManager::FakeServiceManager(const std::string& dir) : path_(dir + "/notify") {
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path_.size() >= sizeof address.sun_path) {
    ADD_FAILURE() << "socket path too long: " << path_;
    return;
  }
  std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
  if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ADD_FAILURE() << "cannot bind " << path_ << ": " << std::strerror(errno);
  }
}

FakeServiceManager::~FakeServiceManager() {
  if (fd_ >= 0) close(fd_);
  unlink(path_.c_str());
}

std::optional<std::string> FakeServiceManager::Next(std::chrono::milliseconds timeout) {
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(timeout.count())) != 1) return std::nullopt;
  char buffer[4096];
  ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
  if (n < 0) return std::nullopt;
  received_.emplace_back(buffer, static_cast<size_t>(n));
  return received_.back();
}

std::optional<std::string> FakeServiceManager::WaitFor(const std::string& line,
                                                       std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    std::optional<std::string> message = Next(left);
    if (!message) return std::nullopt;
    if (HasLine(*message, line)) return message;
  }
}

bool FakeServiceManager::HasLine(const std::string& message, const std::string& line) {
  return ("\n" + message + "\n").find("\n" + line + "\n") != std::string::npos;
}

std::string FakeServiceManager::Status(const std::string& message) {
  // Found in "\n" + message, the line's text starts at the same index of
  // `message` plus the name's length.
  const size_t at = ("\n" + message).find("\nSTATUS=");
  if (at == std::string::npos) return "";
  const size_t start = at + std::strlen("STATUS=");
  const size_t end = message.find('\n', start);
  return message.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::string FakeServiceManager::All() const {
  std::string all;
  for (const std::string& m : received_) all += "[" + m + "]";
  return all;
}

}  // namespace hmtest
