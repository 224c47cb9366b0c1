// The floor of a request-reply protocol on loopback: plain host sockets,
// TCP_NODELAY on both ends, one thread answering each request of
// `requestBytes` with `replyBytes` bytes, and nothing else on either side.
// A benchmark of the sync server divides its own time by this, measured in
// the same run, so the ratio says what the server and the peer client add
// to the round trips the protocol needs anyway.
//
// The host's socket headers are kept to the .cc: their macros clash with
// the device's platform/winsock.h that the benchmarks include.
#ifndef HOLLOWMARCH_BENCH_LOOPBACK_FLOOR_H_
#define HOLLOWMARCH_BENCH_LOOPBACK_FLOOR_H_

#include <cstddef>

namespace hmbench {

// Seconds taken by `rounds` round trips, the connection's setup excluded;
// a negative value when the sockets failed. Any thread.
double LoopbackPingPongSeconds(int rounds, size_t requestBytes, size_t replyBytes);

}  // namespace hmbench

#endif  // HOLLOWMARCH_BENCH_LOOPBACK_FLOOR_H_
