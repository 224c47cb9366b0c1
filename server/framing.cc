#include "server/framing.h"

#include <algorithm>
#include <cstddef>

#include "server/message_buffer.h"
#include "server/protocol.h"

namespace {

// The fixed size of an item whose tag is 0x80 or above: the two top bits 10
// give tag and one byte, 11 give tag and four bytes.
WORD FixedItemBytes(BYTE tag) { return (tag & 0x40) ? 5 : 2; }

}  // namespace

int ReplyStatusOnly(MessageBuffer& reply, BYTE status) {
  reply.Add(PutStatusReply(reply.Room(kFrameHeaderBytes), status));
  return 1;
}

DWORD PayloadBytes(const BYTE* frame, DWORD received) {
  const DWORD frameBytes = std::min<DWORD>(GetBe16(frame + 1), received);
  return frameBytes > kFrameHeaderBytes ? frameBytes - kFrameHeaderBytes : 0;
}

bool ItemFits(const BYTE* item, const BYTE* end) {
  if (end - item < static_cast<ptrdiff_t>(kItemHeaderBytes)) return false;
  WORD length = GetBe16(item + 1);
  return length >= kItemHeaderBytes && length <= end - item;
}

const BYTE* FindItem(BYTE tag, const BYTE* items, WORD count) {
  // Each step either advances by at least 2 bytes and shrinks count by the
  // same amount, or ends the search; nothing past count bytes is read.
  while (count != 0) {
    if (items[0] == tag) return items;
    WORD step;
    if (items[0] < 0x80) {
      if (count < kItemHeaderBytes) return nullptr;
      step = GetBe16(items + 1);
      if (step < kItemHeaderBytes) return nullptr;
    } else {
      step = FixedItemBytes(items[0]);
    }
    if (step > count) return nullptr;
    items += step;
    count = static_cast<WORD>(count - step);
  }
  return nullptr;
}

bool FindInfoItem(const BYTE* payload, DWORD cbPayload, ByteView* item) {
  const BYTE* found = FindItem(TAG_INFO, payload, static_cast<WORD>(cbPayload));
  if (found == nullptr || !ItemFits(found, payload + cbPayload) ||
      GetBe16(found + 1) <= kItemHeaderBytes) {
    return false;
  }
  *item = {found + kItemHeaderBytes, static_cast<DWORD>(GetBe16(found + 1) - kItemHeaderBytes)};
  return true;
}
