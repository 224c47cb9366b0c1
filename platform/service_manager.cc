#include "platform/service_manager.h"

#include <systemd/sd-daemon.h>

#include <cstdlib>

namespace platform {

bool ServiceManagerListens() {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  return socket != nullptr && *socket != '\0';
}

bool NotifyServiceManager(const std::string& state) {
  // The variable stays set: every later notification goes to the same
  // manager.
  return sd_notify(0, state.c_str()) > 0;
}

}  // namespace platform
