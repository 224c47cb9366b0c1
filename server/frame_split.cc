#include "server/frame_split.h"

#include "server/protocol.h"

namespace {

// The length field of the frame at `data`, which has at least 3 bytes.
DWORD LengthField(const BYTE* data) { return GetBe16(data + 1); }

// True when the `count` bytes at `data` are whole frames back to back. Each
// step advances by a length field of at least 3, so the walk ends.
bool WholeFrames(const BYTE* data, DWORD count) {
  DWORD at = 0;
  while (at < count) {
    if (count - at < kFrameHeaderBytes) return false;
    const DWORD length = LengthField(data + at);
    if (length < kFrameHeaderBytes || length > count - at) return false;
    at += length;
  }
  return true;
}

}  // namespace

DWORD FirstMessageBytes(const BYTE* data, DWORD count) {
  if (count < kFrameHeaderBytes) return count;
  const DWORD first = LengthField(data);
  if (first < kFrameHeaderBytes || first >= count) return count;
  return WholeFrames(data + first, count - first) ? first : count;
}

DWORD AwaitedFrameBytes(const BYTE* data, DWORD count, DWORD capacity) {
  if (count < kFrameHeaderBytes) return 0;
  const DWORD length = LengthField(data);
  if (length < kFrameHeaderBytes || length <= count || length > capacity) return 0;
  return length;
}
