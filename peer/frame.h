// Frames and items of the sync protocol as the desktop side builds and reads
// them. Self-contained: the desktop side shares no code with the device.
//
// A frame is a first byte (message type or reply status), a 16-bit
// big-endian total length that counts the 3 header bytes, and a payload. An
// item is a tag, a 16-bit big-endian length that counts its 3 header bytes,
// and the item's payload.
#ifndef HOLLOWMARCH_PEER_FRAME_H_
#define HOLLOWMARCH_PEER_FRAME_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace peer {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kMsgHello = 0x80;
constexpr uint8_t kMsgEndSession = 0x81;
constexpr uint8_t kMsgCommand = 0x82;
constexpr uint8_t kMsgQuery = 0x83;
constexpr uint8_t kAckContinue = 0x90;
constexpr uint8_t kStatusOk = 0xA0;
constexpr uint8_t kTagIdentity = 0x46;
constexpr uint8_t kTagInfo = 0x49;
constexpr size_t kHeaderBytes = 3;
constexpr size_t kMaxFrameBytes = 0xFFFF;
constexpr std::string_view kIdentification = "HM-HPCSERV-10";

void AppendBe16(Bytes& out, uint16_t value);
void AppendBe32(Bytes& out, uint32_t value);
uint16_t ReadBe16(const uint8_t* p);
uint32_t ReadBe32(const uint8_t* p);

// An item: tag, length (3 + payload size) and payload. The payload must be
// at most 0xFFFF - 3 bytes.
Bytes Item(uint8_t tag, std::span<const uint8_t> payload);
Bytes Item(uint8_t tag, std::string_view payload);
// A frame: type, length (3 + payload size) and payload; at most 0xFFFF
// bytes in all.
Bytes Frame(uint8_t type, std::span<const uint8_t> payload);

// The hello payload: version, a zero byte, the buffer size, then an "F"
// item holding `identification` (no item at all when it is empty).
Bytes HelloPayload(std::string_view identification, uint8_t version = 0x10,
                   uint16_t bufferSize = 2048);
// The end-of-session payload: an "I" item whose one byte asks the device to
// close its application when `shutdown` is set.
Bytes EndSessionPayload(bool shutdown);

// The payload of the first item with `tag` in the run `items`, stepping by
// each item's length field. Nullopt when there is none, or when an item's
// length field is under 3 or runs past the run (the search stops there).
std::optional<std::span<const uint8_t>> FindItem(std::span<const uint8_t> items,
                                                 uint8_t tag);

}  // namespace peer

#endif  // HOLLOWMARCH_PEER_FRAME_H_
