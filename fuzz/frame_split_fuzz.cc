// Feeds one receive's bytes to the frame split and checks its promises: a
// cut falls on a frame's end and leaves a run that cuts again the same way,
// every cut advances, and a frame waited on is larger than what came and
// fits the buffer.
//
// Input: the bytes of one receive (cut at the buffer's size).
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "server/frame_split.h"
#include "server/protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMessageBufferBytes) size = kMessageBufferBytes;
  // A copy of exactly the received size, so a read past it is caught.
  auto* bytes = static_cast<BYTE*>(std::malloc(size == 0 ? 1 : size));
  if (size != 0) std::memcpy(bytes, data, size);
  const DWORD count = static_cast<DWORD>(size);

  const DWORD awaited = AwaitedFrameBytes(bytes, count, kMessageBufferBytes);
  if (awaited != 0 &&
      (awaited <= count || awaited > kMessageBufferBytes || GetBe16(bytes + 1) != awaited))
    std::abort();

  DWORD at = 0;
  bool cut = false;
  while (at < count) {
    const DWORD first = FirstMessageBytes(bytes + at, count - at);
    if (first == 0 || first > count - at) std::abort();
    if (first < count - at) {
      // A cut is a whole frame by its length field.
      if (first < kFrameHeaderBytes || GetBe16(bytes + at + 1) != first) std::abort();
      cut = true;
    } else if (cut && (first < kFrameHeaderBytes || GetBe16(bytes + at + 1) != first)) {
      // The rest of a cut run ends in a whole frame.
      std::abort();
    }
    // A frame that was cut off is never waited on.
    if (cut && AwaitedFrameBytes(bytes + at, count - at, kMessageBufferBytes) != 0) std::abort();
    at += first;
  }
  std::free(bytes);
  return 0;
}
