// Hello round trips per second over loopback, one connection: the cost of
// one receive, HandleMessage under the system lock and one send on the
// device, and a frame's send and length-driven receive on the desktop side.
#include <benchmark/benchmark.h>

#include <string>

#include "peer/frame.h"
#include "peer/peer_client.h"
#include "server/message_dispatch.h"
#include "server/sync_server.h"
#include "server/sync_session.h"
#include "tests/support/process.h"
#include "tests/support/temp_device.h"
#include "tracking/tracking_state.h"

namespace {

void BM_HelloRoundTrip(benchmark::State& state) {
  hmtest::TempDevice device;
  TrackingState tracking;
  SyncSession session;
  SessionDispatcher dispatcher(session, tracking);
  SyncServer server(dispatcher, tracking.hwndMain, static_cast<DWORD>(hmtest::FreePort()));
  if (server.Start() != 1) {
    state.SkipWithError("the server did not start");
    return;
  }
  peer::PeerClient client;
  std::string error;
  if (!client.Connect("127.0.0.1", static_cast<uint16_t>(server.dwPort),
                      peer::PeerClient::kDefaultTimeout, &error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  const peer::Bytes hello =
      peer::Frame(peer::kMsgHello, peer::HelloPayload(peer::kIdentification));
  peer::Bytes reply;
  for (auto _ : state) {
    if (!client.SendBytes(hello) ||
        client.ReceiveFrame(&reply) != peer::ReceiveResult::kFrame ||
        reply[0] != peer::kStatusOk) {
      state.SkipWithError("the hello was not answered");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  client.Close();
  server.Stop();
}
BENCHMARK(BM_HelloRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
