// The change stream on loopback: a peer asks for the changes of a class
// whose log holds 100,000 records and acknowledges every frame as it
// arrives. Measured: from sending the query to receiving the last frame,
// the load of the log included. Between iterations the peer flushes the
// class (command 3), so every iteration loads the list afresh.
//
// The floor, measured in each iteration after the stream: a plain read of
// the log database's records (bench/read_floor.h), plus a plain loopback
// ping-pong of as many rounds as the stream had frames, an
// acknowledgement's 3 bytes out and a full frame's bytes back
// (bench/loopback_floor.h). vs_floor is the stream's time over the floor's;
// load_vs_read the log's load alone (LoadLog, list and index built) over
// the plain read.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "bench/loopback_floor.h"
#include "bench/read_floor.h"
#include "peer/frame.h"
#include "peer/peer_client.h"
#include "platform/object_store.h"
#include "server/sync_server.h"
#include "shell/process_objects.h"
#include "tests/support/process.h"
#include "tests/support/temp_device.h"
#include "tracking/change_log.h"
#include "tracking/tracked_db.h"

namespace {

constexpr int kDefaultChanges = 100000;

void BM_StreamWholeLog(benchmark::State& state) {
  const int kChanges = static_cast<int>(state.range(0));
  hmtest::TempDevice device;
  // The program's own objects, on a port of our choosing.
  ProcessObjects objects(static_cast<DWORD>(hmtest::FreePort()));
  {
    platform::MutexLock locked(&TrackingState::systemLock);
    TrackedDbList& trackedDbs = objects.tracking.trackedDbs;
    CeCreateDatabase(u"Contacts", 24, 0, nullptr);
    trackedDbs.DiscoverClassDbs(24, true, 0);
    ChangeLog* log = trackedDbs.FirstTrackedOfClass(24)->pLog;
    for (int i = 0; i < kChanges; ++i) {
      if (!log->WriteEntry(3, 1000000 + i, 0x10000 + i, kNoUid)) {
        state.SkipWithError("could not prepare the log");
        return;
      }
    }
  }
  SyncServer& server = objects.server;
  if (server.Start() != 1) {
    state.SkipWithError("server did not start");
    return;
  }
  peer::PeerClient client;
  if (!client.Connect("127.0.0.1", static_cast<uint16_t>(server.dwPort)) || client.Hello() != 0xA0) {
    state.SkipWithError("no session");
    return;
  }

  const peer::Bytes query = peer::Item(0x49, peer::Bytes{5, 0, 0, 0, 0, 0});
  const peer::Bytes flush = peer::Item(0x49, peer::Bytes{3});
  size_t records = 0;
  size_t frames = 0, largestFrame = 0;
  double streamSeconds = 0, loadSeconds = 0, readSeconds = 0, pingPongSeconds = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    peer::Bytes frame;
    if (client.Exchange(0x83, query, &frame) != 0xA0) {
      state.SkipWithError("query refused");
      break;
    }
    records = 0;
    frames = 0;
    for (;;) {
      if (client.ReceiveFrame(&frame) != peer::ReceiveResult::kFrame) {
        state.SkipWithError("stream broke off");
        break;
      }
      records += (frame.size() - 6) / 21;
      ++frames;
      largestFrame = std::max(largestFrame, frame.size());
      if (frame[0] == 0x82) break;
      client.SendFrame(0x90, {});
    }
    auto elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start);
    state.SetIterationTime(elapsed.count());
    streamSeconds += elapsed.count();
    // End the stream, then release the list so the next query loads it.
    client.SendFrame(0x90, {});
    client.NothingArrives(std::chrono::milliseconds(20));
    client.Exchange(0x82, flush, &frame);

    {
      // The log's load on its own, released again as the flush left it, and
      // a plain read of its database.
      platform::MutexLock locked(&TrackingState::systemLock);
      ChangeLog* log = objects.tracking.trackedDbs.FirstTrackedOfClass(24)->pLog;
      if (!log->HasEntries()) {
        auto loadStart = std::chrono::steady_clock::now();
        log->LoadLog();
        loadSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - loadStart).count();
        log->FreeEntries();
      }
      const double read = hmbench::PlainReadSeconds(log->LogDbOid(), kChanges);
      if (read < 0) {
        state.SkipWithError("the plain read failed");
        break;
      }
      readSeconds += read;
    }
    const double pingPong = hmbench::LoopbackPingPongSeconds(static_cast<int>(frames), 3, largestFrame);
    if (pingPong < 0) {
      state.SkipWithError("loopback ping-pong failed");
      break;
    }
    pingPongSeconds += pingPong;
  }
  if (records != static_cast<size_t>(kChanges)) state.SkipWithError("records missing");
  state.counters["records"] = static_cast<double>(records);
  state.counters["frames"] = static_cast<double>(frames);
  const double n = static_cast<double>(state.iterations());
  state.counters["load_ms"] = loadSeconds / n * 1e3;
  state.counters["read_ms"] = readSeconds / n * 1e3;
  state.counters["pingpong_ms"] = pingPongSeconds / n * 1e3;
  state.counters["floor_ms"] = (readSeconds + pingPongSeconds) / n * 1e3;
  state.counters["vs_floor"] = streamSeconds / (readSeconds + pingPongSeconds);
  state.counters["load_vs_read"] = loadSeconds / readSeconds;
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kChanges);
  client.Close();
  platform::MutexLock locked(&TrackingState::systemLock);
  server.StopReleasingLock();
}
BENCHMARK(BM_StreamWholeLog)->Arg(kDefaultChanges)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
