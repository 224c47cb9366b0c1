#include "peer/frame_trace.h"

#include <string>

#include "gtest/gtest.h"
#include "peer/frame.h"

namespace {

using peer::Bytes;

TEST(FrameTrace, FramesToldInWords) {
  struct Case {
    bool sent;
    Bytes frame;
    const char* told;
    uint8_t answering = 0;
  } cases[] = {
      {true, peer::Frame(peer::kMsgHello, peer::HelloPayload(peer::kIdentification)),
       ">> 23 bytes (type 0x80, length 23): hello; items F 13"},
      {false, {0xA0, 0x00, 0x0B, 0x10, 0x00, 0x08, 0x00, 0x49, 0x00, 0x04, 0x2D},
       "<< 11 bytes (type 0xA0, length 11): done; items I 1", peer::kMsgHello},
      {true, peer::Frame(peer::kMsgQuery, peer::Item(peer::kTagInfo, Bytes{5, 0, 0, 0, 0, 0})),
       ">> 12 bytes (type 0x83, length 12): query 5 (changes); items I 6"},
      {true, peer::Frame(peer::kMsgCommand, peer::Item(peer::kTagInfo, Bytes{99})),
       ">> 7 bytes (type 0x82, length 7): command 99; items I 1"},
      {true, {0x90, 0x00, 0x03}, ">> 3 bytes (type 0x90, length 3): acknowledge"},
      {false, {0xD3, 0x00, 0x03}, "<< 3 bytes (type 0xD3, length 3): refused in this state"},
      {false, {0x02, 0x00, 0x09, 0x48, 0x00, 0x06, 1, 2, 3},
       "<< 9 bytes (type 0x02, length 9): changes; items H 3"},
      // What a hostile or broken device may send.
      {false, {0xA0, 0x00}, "<< 2 bytes: cut short"},
      {false, {0xA0, 0x00, 0x02}, "<< 3 bytes (type 0xA0, length 2): a length under the header breaks the framing"},
      {false, {0xA0, 0x00, 0x20, 0x49}, "<< 4 bytes (type 0xA0, length 32): cut short"},
      {false, {0xA0, 0x00, 0x08, 0x49, 0x00, 0x09, 0x00, 0x00},
       "<< 8 bytes (type 0xA0, length 8): done; items an item 0x49 whose length 9 breaks the run"},
      {false, {0xA0, 0x00, 0x05, 0x49, 0x00}, "<< 5 bytes (type 0xA0, length 5): done; items a cut-short item"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(peer::DescribeFrame(c.sent, c.frame, c.answering), c.told) << c.told;
  }
}

}  // namespace
