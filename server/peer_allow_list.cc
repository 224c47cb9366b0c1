#include "server/peer_allow_list.h"

#include <cstdlib>

#include "platform/winsock.h"
#include "settings/registry_store.h"

namespace {

constexpr char kWanted[] =
    "IPv4 addresses and ranges separated by commas, like 127.0.0.1, 192.168.1.0/24";

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool ParseAddress(const std::string& text, DWORD* address) {
  uint32_t network = 0;
  if (winsock::inet_pton(winsock::AF_INET, text.c_str(), &network) != 1) return false;
  *address = winsock::ntohl(network);
  return true;
}

// "N" from 0 to 32, digits only.
bool ParsePrefix(const std::string& text, int* bits) {
  if (text.empty() || text.size() > 2) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  *bits = std::atoi(text.c_str());
  return *bits <= 32;
}

}  // namespace

bool PeerAllowList::Parse(const std::string& text, PeerAllowList* list, std::string* error) {
  std::vector<Range> ranges;
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    const std::string entry =
        Trim(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    const size_t slash = entry.find('/');
    DWORD address = 0;
    int bits = 32;
    if (entry.empty() || !ParseAddress(entry.substr(0, slash), &address) ||
        (slash != std::string::npos && !ParsePrefix(entry.substr(slash + 1), &bits))) {
      *error = (entry.empty() ? std::string("an empty entry") : "\"" + entry + "\"") +
               " is not an IPv4 address or range (" + kWanted + ")";
      return false;
    }
    const DWORD mask = bits == 0 ? 0 : ~DWORD{0} << (32 - bits);
    ranges.push_back({address & mask, mask});
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  list->ranges_ = std::move(ranges);
  return true;
}

bool PeerAllowList::Allows(DWORD address) const {
  if (ranges_.empty()) return true;
  for (const Range& r : ranges_) {
    if ((address & r.mask) == r.network) return true;
  }
  return false;
}

std::string PeerAllowList::Describe() const {
  if (ranges_.empty()) return "every peer";
  std::string text;
  for (const Range& r : ranges_) {
    if (!text.empty()) text += ", ";
    text += AddressText(r.network);
    int bits = 0;
    for (DWORD m = r.mask; m != 0; m <<= 1) ++bits;
    if (bits != 32) text += "/" + std::to_string(bits);
  }
  return text;
}

bool ResolveAllowedPeers(const std::string* option, PeerAllowList* list, std::string* error) {
  std::string why;
  if (option != nullptr) {
    if (PeerAllowList::Parse(*option, list, &why)) return true;
    *error = "--allow \"" + *option + "\": " + why;
    return false;
  }
  std::string text;
  switch (GetAllowedPeers(&text)) {
    case TextSetting::kMissing:
      *list = PeerAllowList();
      return true;
    case TextSetting::kNotText:
      *error = "the registry value AllowedPeers is not text (REG_SZ); set it to " + std::string(kWanted) +
               ", or delete it to serve every peer";
      return false;
    case TextSetting::kUnreadable:
      *error = "the registry value AllowedPeers cannot be read; not serving every peer instead";
      return false;
    case TextSetting::kText:
      break;
  }
  if (PeerAllowList::Parse(text, list, &why)) return true;
  *error = "the registry value AllowedPeers \"" + text + "\": " + why +
           "; correct it, or delete it to serve every peer";
  return false;
}

std::string AddressText(DWORD address) {
  const uint32_t network = winsock::htonl(address);
  char text[16] = {};
  winsock::inet_ntop(winsock::AF_INET, &network, text, sizeof text);
  return text;
}
