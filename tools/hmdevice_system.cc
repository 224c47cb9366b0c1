#include "tools/hmdevice_system.h"

#include <cstdio>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/device.h"
#include "platform/user_notification.h"
#include "platform/window.h"
#include "tools/demo_device.h"
#include "tools/hmdevice_values.h"

namespace hmdevice {

namespace {

constexpr const char* kSettingKeys[] = {"os-version", "store-capacity", "timezone", "clock-offset"};

bool IsSettingKey(const std::string& key) {
  for (const char* known : kSettingKeys) {
    if (key == known) return true;
  }
  return false;
}

std::string FormatTime(const SYSTEMTIME& time) {
  char text[64];
  std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%03u", time.wYear, time.wMonth, time.wDay,
                time.wHour, time.wMinute, time.wSecond, time.wMilliseconds);
  return text;
}

}  // namespace

int InitCommand(Io& io, bool demo) {
  if (demo) {
    platform::Status status = demo::InitDemoDevice();
    if (!status.ok()) return Problem(io, kExitFailed, "demo device: " + status.message());
  }
  io.out << platform::DeviceRoot() << "\n";
  return kExitOk;
}

int ConfigCommand(Io& io, const std::optional<std::string>& key, const std::optional<std::string>& value) {
  if (!key) {
    for (const char* known : kSettingKeys) io.out << known << "=" << platform::GetDeviceSetting(known) << "\n";
    return kExitOk;
  }
  if (!IsSettingKey(*key)) {
    return Problem(io, kExitBadInput, "unknown setting \"" + *key + "\" (os-version, store-capacity, timezone, clock-offset)");
  }
  if (!value) {
    io.out << platform::GetDeviceSetting(*key) << "\n";
    return kExitOk;
  }
  platform::Status status = platform::SetDeviceSetting(*key, *value);
  if (!status.ok()) return Problem(io, kExitBadInput, status.message());
  return kExitOk;
}

int ResetCommand(Io& io) {
  platform::Status status = platform::ResetDevice();
  if (!status.ok()) return Problem(io, kExitFailed, "reset: " + status.message());
  return kExitOk;
}

int SendCommand(Io& io, const std::string& message, const std::optional<std::string>& wparam,
                const std::optional<std::string>& lparam) {
  Result<uint32_t> msg = ParseU32(message);
  if (!msg.ok()) return Problem(io, kExitBadInput, "message " + msg.error());
  Result<uint32_t> w = wparam ? ParseWord32(*wparam) : Result<uint32_t>::Ok(0);
  if (!w.ok()) return Problem(io, kExitBadInput, "wParam " + w.error());
  Result<uint32_t> l = lparam ? ParseWord32(*lparam) : Result<uint32_t>::Ok(0);
  if (!l.ok()) return Problem(io, kExitBadInput, "lParam " + l.error());
  HWND window = FindWindowW(kServerWindowClass, nullptr);
  if (window == 0) return Problem(io, kExitMissing, "no window \"Hollowmarch Replication Server\" runs");
  LRESULT result = SendMessageW(window, msg.value(), w.value(), static_cast<LPARAM>(l.value()));
  io.out << static_cast<uint32_t>(result) << "\n";
  return kExitOk;
}

int NotificationsCommand(Io& io, bool json) {
  std::vector<platform::UserNotificationRecord> notifications;
  platform::Status status = platform::ListUserNotifications(&notifications);
  if (!status.ok()) return Problem(io, kExitFailed, "cannot list notifications: " + status.message());
  nlohmann::json list = nlohmann::json::array();
  for (const platform::UserNotificationRecord& n : notifications) {
    const std::string app = Utf16ToUtf8(n.application);
    const std::string title = Utf16ToUtf8(n.title);
    const std::string text = Utf16ToUtf8(n.text);
    const std::string sound = Utf16ToUtf8(n.sound);
    const std::string time = FormatTime(n.time);
    if (json) {
      list.push_back({{"handle", n.handle}, {"app", app}, {"time", time}, {"flags", n.flags},
                      {"title", title}, {"text", text}, {"sound", sound}});
    } else {
      io.out << n.handle << "\t" << time << "\t" << app << "\t" << n.flags << "\t" << title << "\t" << text
             << "\t" << sound << "\n";
    }
  }
  if (json) io.out << list.dump() << "\n";
  return kExitOk;
}

}  // namespace hmdevice
