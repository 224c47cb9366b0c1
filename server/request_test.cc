// What a request read from a frame holds: a payload bounded by the frame's
// length field and by the bytes received, whichever ends first, and a
// command's or query's "I" item only when it lies wholly within that
// payload and holds a sub-code.
#include "server/request.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<BYTE>;

TEST(ReadRequestTest, PayloadAndItemStayWithinTheFrameAndTheBytesReceived) {
  struct Case {
    const char* name;
    Bytes bytes;
    bool hasHeader;
    DWORD payload;    // bytes from byte 3 on
    DWORD infoAt;     // offset of the "I" item's sub-code, 0 for none
    DWORD infoBytes;  // its bytes from the sub-code on
  };
  const Case cases[] = {
      {"two bytes", {0x82, 0x00}, false, 0, 0, 0},
      {"a bare header", {0x81, 0x00, 0x03}, true, 0, 0, 0},
      {"a length field under 3", {0x81, 0x00, 0x01, 0x49, 0x00}, true, 0, 0, 0},
      {"a length field past the bytes received", {0x81, 0x07, 0xFF, 0x49, 0x00}, true, 2, 0, 0},
      {"bytes past the length field", {0x81, 0x00, 0x04, 0x49, 0x00}, true, 1, 0, 0},
      {"a command", {0x82, 0x00, 0x08, 0x49, 0x00, 0x05, 0x06, 0x00}, true, 5, 6, 2},
      {"a query after an item of another tag",
       {0x83, 0x00, 0x0C, 0x01, 0x00, 0x04, 0xEE, 0x49, 0x00, 0x05, 0x04, 0x00},
       true, 9, 10, 2},
      {"an item without its sub-code", {0x82, 0x00, 0x06, 0x49, 0x00, 0x03}, true, 3, 0, 0},
      {"an item past the frame's end though within the bytes received",
       {0x82, 0x00, 0x07, 0x49, 0x00, 0x05, 0x06, 0x00}, true, 4, 0, 0},
      {"an item past the bytes received", {0x82, 0x00, 0x08, 0x49, 0x00, 0x05, 0x06}, true, 4, 0,
       0},
      {"a hello's items are left to its handler",
       {0x80, 0x00, 0x09, 0x10, 0x00, 0x08, 0x00, 0x49, 0x00}, true, 6, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Request request = ReadRequest(c.bytes.data(), static_cast<DWORD>(c.bytes.size()));
    EXPECT_EQ(request.hasHeader, c.hasHeader);
    if (c.hasHeader) {
      EXPECT_EQ(request.type, c.bytes[0]);
      EXPECT_EQ(request.payload.bytes, c.bytes.data() + 3);
    }
    EXPECT_EQ(request.payload.size, c.payload);
    EXPECT_EQ(request.HasInfo(), c.infoAt != 0);
    if (c.infoAt != 0) {
      EXPECT_EQ(request.info.bytes, c.bytes.data() + c.infoAt);
      EXPECT_EQ(request.info.size, c.infoBytes);
      EXPECT_EQ(request.SubCode(), c.bytes[c.infoAt]);
    }
  }
}

}  // namespace
