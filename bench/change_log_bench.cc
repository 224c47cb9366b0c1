// Change log figures: loading a large log (with and without duplicates),
// the memory of the loaded list, and appends per second.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <memory>

#include "platform/fault.h"
#include "settings/sync_state_cache.h"
#include "tests/support/temp_device.h"
#include "tracking/change_log.h"

namespace {


// A device holding one class's log of `records` records. With `duplicated`,
// the records name records / 2 records, each changed twice (the second time
// later), so every second record read replaces an entry.
struct LargeLog {
  LargeLog(int records, bool duplicated) {
    platform::fault::SetUptimeMs(600000);
    platform::fault::SetStoreFreeBytes(uint64_t{1} << 40);
    log.OpenLog(24);
    const int distinct = duplicated ? records / 2 : records;
    for (int i = 0; i < records; ++i) {
      log.WriteEntry(ChangeTypeModify, 1000 + i, 5000 + (i % distinct), kNoUid);
    }
  }
  hmtest::TempDevice device;
  SyncStateCache cache;
  ChangeLog log{cache};
};

void LoadLargeLog(benchmark::State& state, bool duplicated) {
  const int records = static_cast<int>(state.range(0));
  LargeLog large(records, duplicated);
  size_t list_bytes = 0;
  for (auto _ : state) {
    size_t before = mallinfo2().uordblks;
    bool complete = large.log.LoadLog();
    list_bytes = mallinfo2().uordblks - before;
    benchmark::DoNotOptimize(complete);
    state.PauseTiming();
    large.log.FreeEntries();
    state.ResumeTiming();
  }
  state.counters["records"] = records;
  state.counters["list_MB"] = static_cast<double>(list_bytes) / (1024.0 * 1024.0);
}

void BM_LoadLog_NoDuplicates(benchmark::State& state) { LoadLargeLog(state, false); }
void BM_LoadLog_EveryRecordTwice(benchmark::State& state) { LoadLargeLog(state, true); }
// Filling the log takes about a minute per run (every write is durable).
BENCHMARK(BM_LoadLog_NoDuplicates)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_LoadLog_EveryRecordTwice)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_AppendChange(benchmark::State& state) {
  hmtest::TempDevice device;
  platform::fault::SetUptimeMs(600000);
  platform::fault::SetStoreFreeBytes(uint64_t{1} << 40);
  SyncStateCache cache;
  ChangeLog log(cache);
  log.OpenLog(24);
  CEOID oid = 1;
  for (auto _ : state) {
    benchmark::DoNotOptimize(log.AppendChange(ChangeTypeModify, oid++, kNoUid));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AppendChange)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
