// The framing shared by the protocol handlers: finding an item in a run of
// items, the payload of a received frame, the "I" item of a command or
// query, and the status-only reply.
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

// A run of bytes inside a received frame.
struct ByteView {
  const BYTE* bytes = nullptr;
  DWORD size = 0;
};

// The payload of the "I" item of a command or query (from its sub-code to
// the item's end) in `item`. False, leaving `item` alone, when there is no
// such item, its length field does not stay within the `cbPayload` bytes at
// `payload`, or it cannot hold a sub-code: the request is malformed.
bool FindInfoItem(const BYTE* payload, DWORD cbPayload, ByteView* item);

// Appends the status-only reply with `status` to `reply`; non-zero.
int ReplyStatusOnly(MessageBuffer& reply, BYTE status);

#endif  // HOLLOWMARCH_SERVER_FRAMING_H_
