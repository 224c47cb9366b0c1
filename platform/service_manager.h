// The host's service manager, as far as a program it started wants to tell
// it something: the readiness protocol (sd_notify) of a Type=notify unit.
//
// Threads: any.
#ifndef HOLLOWMARCH_PLATFORM_SERVICE_MANAGER_H_
#define HOLLOWMARCH_PLATFORM_SERVICE_MANAGER_H_

#include <string>

namespace platform {

// True when a service manager asked to be told (NOTIFY_SOCKET is set and
// not empty).
bool ServiceManagerListens();

// Sends `state`, newline-separated assignments ("READY=1\nSTATUS=..."), as
// one notification. True when it was sent; false without a listening
// manager or when the send failed (the caller can do nothing about it: a
// manager that went away cannot be told).
bool NotifyServiceManager(const std::string& state);

}  // namespace platform

#endif  // HOLLOWMARCH_PLATFORM_SERVICE_MANAGER_H_
