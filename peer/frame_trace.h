// A frame told in words, for hmpeer --trace: direction, size, type and
// length, what the type means, and the items it holds, e.g.
//
//   >> 12 bytes (type 0x83, length 12): query 5 (changes); items I 6
//   << 11 bytes (type 0xA0, length 11): done; items I 1
//
// The description never reads past the bytes given: a frame cut short or an
// item whose length breaks the run is said to be so.
//
// Pure; any thread.
#ifndef HOLLOWMARCH_PEER_FRAME_TRACE_H_
#define HOLLOWMARCH_PEER_FRAME_TRACE_H_

#include <cstdint>
#include <span>
#include <string>

namespace peer {

// `sent`: the desktop side sent the bytes (else it received them).
// `answering`: for a received frame, the type of the request it answers
// when known (a hello's reply is laid out as the hello is), else 0.
std::string DescribeFrame(bool sent, std::span<const uint8_t> bytes, uint8_t answering = 0);

}  // namespace peer

#endif  // HOLLOWMARCH_PEER_FRAME_TRACE_H_
