// Reading a whole database of 100,000 records: remotely, through the open,
// read-records and close commands on loopback (records decoded from the
// transfer form on the desktop side), against directly through the
// platform in-process.
//
// The remote read's floor, measured in each of its iterations after the
// read: the direct read, plus a plain loopback ping-pong of as many rounds
// as the read had requests, a request's bytes out and a full 2 KB message
// buffer back (bench/loopback_floor.h). vs_floor is the remote read's time
// over the floor's; vs_direct over the direct read's alone.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "bench/loopback_floor.h"
#include "peer/device_requests.h"
#include "peer/peer_client.h"
#include "platform/kernel.h"
#include "platform/object_store.h"
#include "server/sync_server.h"
#include "shell/process_objects.h"
#include "tests/support/process.h"
#include "tests/support/temp_device.h"

namespace {

constexpr int kRecords = 100000;

// One device with the database, shared by both benchmarks.
struct Device {
  Device() {
    oid = CeCreateDatabase(u"Contacts Remote", 77, 0, nullptr);
    CEOID o = oid;
    HANDLE h = CeOpenDatabase(&o, nullptr, 0, 0, 0);
    WCHAR name[] = u"Firstname Lastname";
    BYTE blob[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    for (int i = 0; i < kRecords; ++i) {
      CEPROPVAL props[4] = {};
      props[0].propid = 0x00010013;
      props[0].val.ulVal = static_cast<ULONG>(i);
      props[1].propid = 0x0002001F;
      props[1].val.lpwstr = name;
      props[2].propid = 0x00030041;
      props[2].val.blob = CEBLOB{sizeof blob, blob};
      props[3].propid = 0x00040002;
      props[3].val.iVal = -1;
      if (CeWriteRecordProps(h, 0, 4, props) == 0) ok = false;
    }
    CloseHandle(h);
  }
  hmtest::TempDevice device;
  CEOID oid = 0;
  bool ok = true;
};

Device& TheDevice() {
  static Device* device = new Device();
  return *device;
}

// Reads the whole database through the platform; the records read.
size_t ReadDirectly(Device& d) {
  size_t read = 0;
  CEOID o = d.oid;
  HANDLE h = CeOpenDatabase(&o, nullptr, 0, CEDB_AUTOINCREMENT, 0);
  LPBYTE buffer = nullptr;
  for (;;) {
    WORD count = 0;
    DWORD size = 0;
    if (CeReadRecordProps(h, CEDB_ALLOWREALLOC, &count, nullptr, &buffer, &size) == 0) break;
    benchmark::DoNotOptimize(buffer);
    ++read;
  }
  if (buffer != nullptr) LocalFree(buffer);
  CloseHandle(h);
  return read;
}

void BM_DirectRead(benchmark::State& state) {
  Device& d = TheDevice();
  size_t read = 0;
  for (auto _ : state) read = ReadDirectly(d);
  if (!d.ok || read != static_cast<size_t>(kRecords)) state.SkipWithError("records missing");
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kRecords);
}
BENCHMARK(BM_DirectRead)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_RemoteRead(benchmark::State& state) {
  Device& d = TheDevice();
  // The program's own objects, on a port of our choosing.
  ProcessObjects objects(static_cast<DWORD>(hmtest::FreePort()));
  SyncServer& server = objects.server;
  peer::PeerClient client;
  if (server.Start() != 1 ||
      !client.Connect("127.0.0.1", static_cast<uint16_t>(server.dwPort)) || client.Hello() != 0xA0) {
    state.SkipWithError("no session");
    return;
  }
  // Requests and their sizes, for the ping-pong of the floor.
  size_t requests = 0, largestRequest = 0;
  client.trace = [&](bool sent, std::span<const uint8_t> bytes) {
    if (!sent) return;
    ++requests;
    largestRequest = std::max(largestRequest, bytes.size());
  };
  size_t read = 0;
  double remoteSeconds = 0, directSeconds = 0, pingPongSeconds = 0;
  for (auto _ : state) {
    requests = 0;
    const auto start = std::chrono::steady_clock::now();
    uint32_t handle = 0, oid = 0;
    peer::OpenDb(client, d.oid, u"", peer::kOpenAutoIncrement, &handle, &oid);
    read = 0;
    std::vector<peer::Record> batch;
    do {
      if (!peer::ReadRecords(client, handle, &batch).ok()) break;
      read += batch.size();
    } while (!batch.empty());
    peer::CloseDb(client, handle);
    const double remote = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(remote);
    remoteSeconds += remote;

    const auto directStart = std::chrono::steady_clock::now();
    if (ReadDirectly(d) != static_cast<size_t>(kRecords)) state.SkipWithError("direct read short");
    directSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - directStart).count();
    const double pingPong = hmbench::LoopbackPingPongSeconds(
        static_cast<int>(requests), largestRequest, kMessageBufferBytes);
    if (pingPong < 0) {
      state.SkipWithError("loopback ping-pong failed");
      break;
    }
    pingPongSeconds += pingPong;
  }
  if (read != static_cast<size_t>(kRecords)) state.SkipWithError("records missing");
  const double n = static_cast<double>(state.iterations());
  state.counters["requests"] = static_cast<double>(requests);
  state.counters["direct_ms"] = directSeconds / n * 1e3;
  state.counters["pingpong_ms"] = pingPongSeconds / n * 1e3;
  state.counters["floor_ms"] = (directSeconds + pingPongSeconds) / n * 1e3;
  state.counters["vs_floor"] = remoteSeconds / (directSeconds + pingPongSeconds);
  state.counters["vs_direct"] = remoteSeconds / directSeconds;
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kRecords);
  client.Close();
  platform::MutexLock locked(&TrackingState::systemLock);
  server.StopReleasingLock();
}
BENCHMARK(BM_RemoteRead)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
