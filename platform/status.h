// A result that is either success or an error message with its context.
// Used by the platform's own (non-device) interfaces; the device's calls
// report the way the device does (results and GetLastError).
#ifndef HOLLOWMARCH_PLATFORM_STATUS_H_
#define HOLLOWMARCH_PLATFORM_STATUS_H_

#include <string>
#include <utility>

namespace platform {

class Status {
 public:
  Status() = default;
  static Status Ok() { return Status(); }
  static Status Error(std::string message) { return Status(std::move(message)); }

  bool ok() const { return !failed_; }
  const std::string& message() const { return message_; }

 private:
  explicit Status(std::string message)
      : failed_(true), message_(std::move(message)) {}
  bool failed_ = false;
  std::string message_;
};

}  // namespace platform

#endif  // HOLLOWMARCH_PLATFORM_STATUS_H_
