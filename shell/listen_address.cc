#include "shell/listen_address.h"

#include "platform/winsock.h"
#include "server/peer_allow_list.h"
#include "settings/registry_store.h"

namespace {

constexpr char kWanted[] = "four numbers from 0 to 255 joined by dots, like 127.0.0.1";

bool ParseAddress(const std::string& text, DWORD* address) {
  uint32_t network = 0;
  if (winsock::inet_pton(winsock::AF_INET, text.c_str(), &network) != 1) return false;
  *address = winsock::ntohl(network);
  return true;
}

}  // namespace

bool ResolveListenAddress(const std::string* option, DWORD* address, std::string* error) {
  if (option != nullptr) {
    if (ParseAddress(*option, address)) return true;
    *error = "--listen \"" + *option + "\" is not an IPv4 address (" + kWanted + ")";
    return false;
  }
  std::string text;
  switch (GetListenAddress(&text)) {
    case TextSetting::kMissing:
      *address = winsock::INADDR_ANY;
      return true;
    case TextSetting::kNotText:
      *error =
          "the registry value ListenAddress is not text (REG_SZ); set it to an IPv4 address (" +
          std::string(kWanted) + "), or delete it to listen on every address";
      return false;
    case TextSetting::kUnreadable:
      *error = "the registry value ListenAddress cannot be read; not listening on every address instead";
      return false;
    case TextSetting::kText:
      break;
  }
  if (ParseAddress(text, address)) return true;
  *error = "the registry value ListenAddress \"" + text + "\" is not an IPv4 address (" +
           kWanted + "); correct it, or delete it to listen on every address";
  return false;
}

std::string DescribeListenEndpoint(DWORD address, DWORD port) {
  const std::string port_text = std::to_string(port & 0xFFFF);
  if (address == winsock::INADDR_ANY) return "every address, port " + port_text;
  return AddressText(address) + ":" + port_text;
}
