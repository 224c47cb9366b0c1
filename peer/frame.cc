#include "peer/frame.h"

namespace peer {

void AppendBe16(Bytes& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

void AppendBe32(Bytes& out, uint32_t value) {
  AppendBe16(out, static_cast<uint16_t>(value >> 16));
  AppendBe16(out, static_cast<uint16_t>(value));
}

uint16_t ReadBe16(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t ReadBe32(const uint8_t* p) {
  return (static_cast<uint32_t>(ReadBe16(p)) << 16) | ReadBe16(p + 2);
}

static Bytes WithHeader(uint8_t first, std::span<const uint8_t> payload) {
  Bytes out;
  out.reserve(kHeaderBytes + payload.size());
  out.push_back(first);
  AppendBe16(out, static_cast<uint16_t>(kHeaderBytes + payload.size()));
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

Bytes Item(uint8_t tag, std::span<const uint8_t> payload) {
  return WithHeader(tag, payload);
}

Bytes Item(uint8_t tag, std::string_view payload) {
  return WithHeader(tag, {reinterpret_cast<const uint8_t*>(payload.data()),
                          payload.size()});
}

Bytes Frame(uint8_t type, std::span<const uint8_t> payload) {
  return WithHeader(type, payload);
}

Bytes HelloPayload(std::string_view identification, uint8_t version,
                   uint16_t bufferSize) {
  Bytes out{version, 0x00};
  AppendBe16(out, bufferSize);
  if (!identification.empty()) {
    Bytes item = Item(kTagIdentity, identification);
    out.insert(out.end(), item.begin(), item.end());
  }
  return out;
}

Bytes EndSessionPayload(bool shutdown) {
  const uint8_t flag = shutdown ? 1 : 0;
  return Item(kTagInfo, std::span<const uint8_t>(&flag, 1));
}

std::optional<std::span<const uint8_t>> FindItem(std::span<const uint8_t> items,
                                                 uint8_t tag) {
  while (items.size() >= kHeaderBytes) {
    const size_t length = ReadBe16(items.data() + 1);
    if (length < kHeaderBytes || length > items.size()) return std::nullopt;
    if (items[0] == tag) return items.subspan(kHeaderBytes, length - kHeaderBytes);
    items = items.subspan(length);
  }
  return std::nullopt;
}

}  // namespace peer
