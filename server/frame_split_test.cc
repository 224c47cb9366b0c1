// Where the frames of one receive begin and end: runs of whole frames are
// cut after their first frame, the start of a frame is waited on, and
// anything else stays one message.
#include "server/frame_split.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;

constexpr DWORD kCapacity = 2048;

// A frame of `length` bytes by its length field: type, length, filler.
Bytes Frame(BYTE type, DWORD length) {
  Bytes out{type, BYTE(length >> 8), BYTE(length)};
  out.resize(std::max<DWORD>(length, 3), 0x49);
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(FrameSplitTest, CutsOnlyRunsOfWholeFrames) {
  const Bytes ack{0x90, 0x00, 0x03};
  const Bytes query = Frame(0x83, 12);
  struct Case {
    const char* name;
    Bytes bytes;
    DWORD first;
  };
  const Case cases[] = {
      {"one frame", query, 12},
      {"the last acknowledgement and a query", Cat({ack, query}), 3},
      {"three frames", Cat({query, ack, query}), 12},
      {"a frame of the largest size and one more", Cat({Frame(0x82, 2045), ack}), 2045},
      {"a frame followed by junk", Cat({query, {0x01, 0x02}}), 14},
      {"a frame followed by the start of another", Cat({query, {0x83, 0x00, 0x0C, 0x49}}), 16},
      {"whole frames, then junk", Cat({ack, ack, {0x00}}), 7},
      {"a frame followed by one whose length is under 3", Cat({query, {0x84, 0x00, 0x02}}), 15},
      {"a first length of 0", Cat({{0x90, 0x00, 0x00}, ack}), 6},
      {"a first length of 2", Cat({{0x90, 0x00, 0x02}, ack}), 6},
      {"a first length past the bytes", Cat({{0x83, 0x00, 0x20}, ack}), 6},
      {"two bytes", {0x90, 0x00}, 2},
      {"one byte", {0x90}, 1},
      {"nothing", {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const DWORD count = static_cast<DWORD>(c.bytes.size());
    EXPECT_EQ(FirstMessageBytes(c.bytes.data(), count), c.first);
    // What is left after a cut is again a run or one whole frame.
    if (c.first < count) {
      const DWORD rest = count - c.first;
      const DWORD next = FirstMessageBytes(c.bytes.data() + c.first, rest);
      EXPECT_GE(next, 3u);
      EXPECT_LE(next, rest);
    }
  }
}

TEST(FrameSplitTest, AwaitsOnlyTheRestOfAFrameThatFits) {
  struct Case {
    const char* name;
    Bytes bytes;
    DWORD awaited;
  };
  const Case cases[] = {
      {"a header saying more is coming", {0x82, 0x04, 0x00}, 0x400},
      {"part of a command", Cat({{0x82, 0x02, 0x00}, Bytes(500, 0x41)}), 0x200},
      {"a frame of the largest size", {0x82, 0x08, 0x00, 0x49}, 2048},
      {"one byte past the buffer", {0x82, 0x08, 0x01, 0x49}, 0},
      {"the largest length field", {0x82, 0xFF, 0xFF}, 0},
      {"a whole frame", Frame(0x83, 12), 0},
      {"a frame and more", Cat({Frame(0x83, 12), {0x01}}), 0},
      {"a length under 3", {0x80, 0x00, 0x02, 0x10}, 0},
      {"a length of 0", {0x80, 0x00, 0x00}, 0},
      {"no length field yet", {0x82, 0x04}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(AwaitedFrameBytes(c.bytes.data(), static_cast<DWORD>(c.bytes.size()), kCapacity),
              c.awaited);
  }
}

}  // namespace
