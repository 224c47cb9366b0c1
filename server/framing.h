// The framing shared by the protocol handlers: finding an item in a run of
// items, the payload of a received frame, a command's "I" item, and the
// status-only reply.
//
// Threads: pure functions of their arguments; ReplyStatusOnly writes the
// caller's reply buffer.
#ifndef HOLLOWMARCH_SERVER_FRAMING_H_
#define HOLLOWMARCH_SERVER_FRAMING_H_

#include "platform/types.h"

class MessageBuffer;

// The first item of the run of `count` bytes at `items` whose tag is `tag`,
// or null. Items with tags below 0x80 are stepped over by their length
// field; tags 0x80 to 0xBF by a fixed 2 bytes (tag and one byte), 0xC0 to
// 0xFF by a fixed 5 bytes (tag and four bytes). The search ends at the first
// item that it cannot step over: one whose length field is under 3, or any
// item that runs past the end of the run. A match is returned whatever its
// length field holds; the caller checks that the item fits the run before
// reading its payload (ItemFits).
const BYTE* FindItem(BYTE tag, const BYTE* items, WORD count);

// True when the item at `item` (inside a run ending at `end`) has a header
// and its length field is at least 3 and stays within the run.
bool ItemFits(const BYTE* item, const BYTE* end);

// The payload's bytes of the frame at `frame`: it ends where the length
// field says, but never past the `received` bytes (at least the header); a
// length field under 3 leaves no payload.
DWORD PayloadBytes(const BYTE* frame, DWORD received);

// The command's item payload: from the sub-code to the item's end.
struct CommandItem {
  const BYTE* bytes;
  DWORD size;
};

// The command's "I" item. False for an item whose length field is 0, that
// cannot hold its sub-code, or that runs past the received bytes: the
// command is refused.
bool FindCommandItem(const BYTE* payload, DWORD cbPayload, CommandItem* item);

// Appends the status-only reply with `status` to `reply`; non-zero.
int ReplyStatusOnly(MessageBuffer& reply, BYTE status);

#endif  // HOLLOWMARCH_SERVER_FRAMING_H_
