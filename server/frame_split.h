// Where the peer's frames begin and end in the bytes the connection
// delivers. TCP carries a byte stream: one receive may hold a frame followed
// by the peer's next ones (an acknowledgement and the request after it), or
// only the start of a frame larger than one segment. The server's worker
// asks these two questions of every receive before the dispatcher
// (server/message_dispatch.h) sees it.
//
// Anything that is neither a run of whole frames nor the start of one frame
// is left as one message, as the connection delivered it: the dispatcher
// then answers it by its first bytes, and a frame followed by bytes that
// are no frames still gets exactly one reply.
//
// Pure functions of the bytes given; they read none past `count` and keep
// no state. Any thread.
#ifndef HOLLOWMARCH_SERVER_FRAME_SPLIT_H_
#define HOLLOWMARCH_SERVER_FRAME_SPLIT_H_

#include "platform/types.h"

// How many of the `count` bytes at `data` make the first message to
// handle. Less than `count` only when the bytes are two or more whole
// frames back to back, each with a length field of at least 3 that the
// bytes reach to: then the length of the first frame, and the bytes after
// it are again such a run or one whole frame. Otherwise `count`.
DWORD FirstMessageBytes(const BYTE* data, DWORD count);

// The length of the frame that the `count` bytes at `data` begin, when its
// length field says more bytes are to come and the whole frame fits
// `capacity`: a value above `count`, at most `capacity`. 0 when there is
// nothing to wait for: under 3 bytes (no length field yet), a length field
// under 3, or one the bytes already reach or that exceeds `capacity`.
DWORD AwaitedFrameBytes(const BYTE* data, DWORD count, DWORD capacity);

#endif  // HOLLOWMARCH_SERVER_FRAME_SPLIT_H_
