// The reply a handler writes: one or more whole frames, appended one after
// another into a fixed block the size of the peer's message buffer. Handlers
// fill it; only the transport (server/sync_server.h) sends it, whole, after
// the handler returned and systemLock is released. The change query's
// acknowledgement and the first change frame go out together in one buffer
// (3 + at most 2,043 bytes).
//
// Threads: owned by its user (the server's worker, a test, a fuzzer); not
// shared.
#ifndef HOLLOWMARCH_SERVER_MESSAGE_BUFFER_H_
#define HOLLOWMARCH_SERVER_MESSAGE_BUFFER_H_

#include <cassert>

#include "platform/types.h"
#include "server/protocol.h"

class MessageBuffer {
 public:
  static constexpr DWORD kCapacity = kMessageBufferBytes;

  // Where the next frame goes; the caller writes at most `bytes` there, which
  // must fit after what the buffer holds (asserted in debug builds).
  BYTE* Room(DWORD bytes) {
    assert(size_ + bytes <= kCapacity);
    return bytes_ + size_;
  }
  // Adds the frame of `bytes` written at Room's pointer. A frame is at least
  // its header, its length field says how long it is, and it fits; a frame
  // whose payload opens with an "I" or "H" item is that one item, whose
  // length field says so too (asserted in debug builds).
  void Add(DWORD bytes) {
    assert(bytes >= kFrameHeaderBytes && size_ + bytes <= kCapacity);
    assert(GetBe16(bytes_ + size_ + 1) == bytes);
    assert(ItemFillsFrame(bytes_ + size_, bytes));
    size_ += bytes;
  }

  const BYTE* Data() const { return bytes_; }
  DWORD Size() const { return size_; }
  bool Empty() const { return size_ == 0; }
  void Clear() { size_ = 0; }

 private:
  static bool ItemFillsFrame(const BYTE* frame, DWORD bytes) {
    if (bytes == kFrameHeaderBytes) return true;
    const BYTE tag = frame[kFrameHeaderBytes];
    if (tag != TAG_INFO && tag != TAG_HISTORY) return true;
    return bytes >= kFrameHeaderBytes + kItemHeaderBytes &&
           GetBe16(frame + kFrameHeaderBytes + 1) == bytes - kFrameHeaderBytes;
  }

  BYTE bytes_[kCapacity];
  DWORD size_ = 0;
};

#endif  // HOLLOWMARCH_SERVER_MESSAGE_BUFFER_H_
