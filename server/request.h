// A received frame read once, before anything is locked or handled: its
// type, its payload and, for a command or a query, its "I" item. The views
// point into the caller's receive buffer and never past the bytes received;
// they live as long as that buffer is left alone (the worker keeps it until
// the frame's reply is built).
//
// Threads: a value of its reader; ReadRequest is a pure function of the
// bytes given.
#ifndef HOLLOWMARCH_SERVER_REQUEST_H_
#define HOLLOWMARCH_SERVER_REQUEST_H_

#include <cassert>

#include "platform/types.h"
#include "server/framing.h"
#include "server/protocol.h"

struct Request {
  // The first byte; 0 when fewer than the 3 header bytes came.
  BYTE type = 0;
  // Whether the 3 header bytes came; a frame without them is unrecognised.
  bool hasHeader = false;
  // From byte 3 to where the length field says the frame ends, but never
  // past the bytes received; empty for a length field under 3.
  ByteView payload;
  // A command's or a query's "I" item, from its first payload byte (the
  // sub-code) to its end: empty unless the item was found, its length field
  // stays within the payload and it holds at least the sub-code.
  ByteView info;

  bool HasInfo() const { return info.size != 0; }
  BYTE SubCode() const {
    assert(HasInfo());
    return info.bytes[0];
  }
};

// Reads the frame of `received` bytes at `frame`; reads nothing past them.
Request ReadRequest(const BYTE* frame, DWORD received);

#endif  // HOLLOWMARCH_SERVER_REQUEST_H_
