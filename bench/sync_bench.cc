// The reference sync against the real server on loopback: a slow sync of a
// class whose database holds 100,000 records, and fast syncs of 10,000
// recorded changes: 10,000 new records (one after the other in the
// database), and modifications of every tenth record of 100,000 (a seek for
// each). Records per second for each.
//
// The first sync after an orderly restart (`hollowmarch Shutdown`, ten
// records added while none runs, a start long after the device's): the
// class of 100,000 records with KeepChangeLogs 0 (argument 0: the restart
// loses the class, a slow sync) and 1 (a fast sync of the ten), in one run.
//
// The cost of the durability point (a sync of the store's log before the
// reply to command 3 and to the end of session): a fast sync of 10 changes
// and the slow sync of 100,000 records, each with the point (argument 1) and
// with the point switched off by the tests' layer (argument 0), in one run.
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "benchmark/benchmark.h"
#include "nlohmann/json.hpp"
#include "peer/peer_client.h"
#include "platform/device.h"
#include "platform/kernel.h"
#include "platform/object_store.h"
#include "peer/sync_engine.h"
#include "tests/support/power_cut.h"
#include "tests/support/process.h"
#include "tests/support/temp_device.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string Lines(int count, int from) {
  std::string input;
  for (int i = 0; i < count; ++i) {
    input += "{\"props\":[{\"id\":65567,\"value\":\"Contact " + std::to_string(from + i) +
             "\"},{\"id\":131091,\"value\":" + std::to_string(i) + "}]}\n";
  }
  return input;
}

struct Rig {
  // point: false runs the device's programs with the durability point off.
  explicit Rig(bool point = true)
      : dir(false), port(hmtest::FreePort()),
        env(point ? std::vector<std::string>{} : hmtest::DurabilityPointOffEnv()) {
    Device({"db", "create", "Contacts", "--type", "24"});
    Device({"reg", "set", "Port", std::to_string(port)});
  }
  hmtest::RunResult Device(std::vector<std::string> args, const std::string& input = "") {
    std::vector<std::string> argv = {HM_HMDEVICE_PATH, "--root", dir.root()};
    argv.insert(argv.end(), args.begin(), args.end());
    return hmtest::Run(argv, input, std::chrono::minutes(5), env);
  }
  void Start() {
    server = std::make_unique<hmtest::Process>(std::vector<std::string>{HM_HOLLOWMARCH_PATH, "--root", dir.root()},
                                               env);
    for (int i = 0; i < 500 && !client.connected(); ++i) {
      if (!client.Connect("127.0.0.1", static_cast<uint16_t>(port))) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    client.Hello();
  }
  // Waits until class 24's log holds `records` records.
  void WaitForLog(long records) {
    for (int i = 0; i < 3000; ++i) {
      auto st = nlohmann::json::parse(Device({"status", "--json"}).out);
      if (st["classes"][0]["logRecords"].get<long>() >= records) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  double Sync(size_t* moved) {
    peer::SyncOptions options;
    options.dir = desk.path();
    options.classes = {24};
    options.databases[24] = {"Contacts"};
    auto start = Clock::now();
    auto results = peer::Sync(client, options);
    *moved = results.empty() ? 0 : results[0].moved;
    return std::chrono::duration<double>(Clock::now() - start).count();
  }
  // `hollowmarch Shutdown`, and the server's exit.
  void Shutdown() {
    client.Close();
    hmtest::Run({HM_HOLLOWMARCH_PATH, "--root", dir.root(), "Shutdown"}, "", std::chrono::minutes(1), env);
    server->Wait(std::chrono::minutes(1));
  }
  // Waits until the running system has captured every notification.
  void WaitCaptured() {
    for (int i = 0; i < 3000; ++i) {
      auto st = nlohmann::json::parse(Device({"status", "--json"}).out);
      if (st["uncaptured"].get<long>() == 0) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  hmtest::TempDevice dir;
  hmtest::TempDir desk;
  int port;
  std::vector<std::string> env;
  std::unique_ptr<hmtest::Process> server;
  peer::PeerClient client;
};

// Each iteration one sync, timed alone; the records it moved, and per second.
void MeasureSyncs(benchmark::State& state, Rig& rig) {
  for (auto _ : state) {
    size_t moved = 0;
    state.SetIterationTime(rig.Sync(&moved));
    state.counters["records"] = static_cast<double>(moved);
    state.counters["records_per_s"] = benchmark::Counter(static_cast<double>(moved), benchmark::Counter::kIsRate);
  }
}

void BM_SlowSync100k(benchmark::State& state) {
  Rig rig;
  rig.Device({"rec", "import", "Contacts"}, Lines(100000, 0));
  rig.Start();
  MeasureSyncs(state, rig);
}
BENCHMARK(BM_SlowSync100k)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_FastSync10k(benchmark::State& state) {
  Rig rig;
  rig.Start();
  size_t moved = 0;
  rig.Sync(&moved);  // the first sync is slow and sets the anchor
  rig.Device({"rec", "import", "Contacts"}, Lines(10000, 0));
  rig.WaitForLog(10000);
  MeasureSyncs(state, rig);
}
BENCHMARK(BM_FastSync10k)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_FirstSyncAfterRestart100k(benchmark::State& state) {
  Rig rig;
  rig.Device({"reg", "set", "KeepChangeLogs", std::to_string(state.range(0))});
  rig.Device({"rec", "import", "Contacts"}, Lines(100000, 0));
  rig.Start();
  size_t moved = 0;
  rig.Sync(&moved);  // slow; the class is tracked from now on
  rig.Shutdown();
  rig.Device({"rec", "import", "Contacts"}, Lines(10, 100000));
  rig.Start();
  rig.WaitCaptured();
  MeasureSyncs(state, rig);
}
BENCHMARK(BM_FirstSyncAfterRestart100k)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_SlowSync100kPoint(benchmark::State& state) {
  Rig rig(state.range(0) != 0);
  rig.Device({"rec", "import", "Contacts"}, Lines(100000, 0));
  rig.Start();
  MeasureSyncs(state, rig);
}
BENCHMARK(BM_SlowSync100kPoint)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

// Each iteration adds 10 records (untimed) and times the fast sync of them.
// A second passes before the sync, so that its anchor is later than the
// changes (a sync sees the changes of its anchor's second again).
void BM_FastSync10Point(benchmark::State& state) {
  Rig rig(state.range(0) != 0);
  rig.Start();
  size_t moved = 0;
  rig.Sync(&moved);
  int added = 0;
  for (auto _ : state) {
    rig.Device({"rec", "import", "Contacts"}, Lines(10, added));
    added += 10;
    rig.WaitCaptured();
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    state.SetIterationTime(rig.Sync(&moved));
    state.counters["records"] = static_cast<double>(moved);
  }
}
BENCHMARK(BM_FastSync10Point)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

// Rewrites every tenth record of the database through this process's own
// view of the device, as an application on the handheld would.
void ModifyEveryTenth(const std::string& root) {
  if (!platform::OpenDevice(root).ok()) return;
  CEOID oid = 0;
  HANDLE db = CeOpenDatabase(&oid, u"Contacts", 0, CEDB_AUTOINCREMENT, 0);
  std::vector<CEOID> records;
  for (CEOID r = CeSeekDatabase(db, CEDB_SEEK_BEGINNING, 0, nullptr); r != 0;
       r = CeSeekDatabase(db, CEDB_SEEK_CURRENT, 10, nullptr)) {
    records.push_back(r);
  }
  CEPROPVAL p{};
  p.propid = 131091;
  p.val.ulVal = 7;
  for (CEOID r : records) CeWriteRecordProps(db, r, 1, &p);
  CloseHandle(db);
  platform::CloseDevice();
}

void BM_FastSyncScattered10k(benchmark::State& state) {
  Rig rig;
  rig.Device({"rec", "import", "Contacts"}, Lines(100000, 0));
  rig.Start();
  size_t moved = 0;
  rig.Sync(&moved);
  ModifyEveryTenth(rig.dir.root());
  rig.WaitForLog(10000);
  MeasureSyncs(state, rig);
}
BENCHMARK(BM_FastSyncScattered10k)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
