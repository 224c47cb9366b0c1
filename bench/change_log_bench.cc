// Change log figures: loading a large log (with and without duplicates),
// against a plain read of its records in the same iteration (vs_read,
// bench/read_floor.h), the memory of the loaded list, and appends per
// second.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <chrono>
#include <memory>

#include "bench/read_floor.h"
#include "platform/fault.h"
#include "platform/object_store.h"
#include "settings/registry_store.h"
#include "settings/sync_state_cache.h"
#include "tests/support/temp_device.h"
#include "tracking/change_log.h"

namespace {


enum class Shape {
  kDistinctTimes,  // one record per second
  kEveryRecordTwice,  // records / 2 records, each changed twice (later)
  kOneSecond,      // every record in the same second
};

// A device holding one class's log of `records` records of that shape,
// written in one transaction.
struct LargeLog {
  LargeLog(int records, Shape shape) {
    platform::fault::SetUptimeMs(600000);
    platform::fault::SetStoreFreeBytes(uint64_t{1} << 40);
    log.OpenLog(24);
    const int distinct = shape == Shape::kEveryRecordTwice ? records / 2 : records;
    CeBeginTransaction();
    for (int i = 0; i < records; ++i) {
      DWORD time = shape == Shape::kOneSecond ? 1000 : 1000 + i;
      log.WriteEntry(ChangeTypeModify, time, 5000 + (i % distinct), kNoUid);
    }
    CeEndTransaction(TRUE);
  }
  hmtest::TempDevice device;
  SyncStateCache cache;
  ChangeLog log{cache};
};

void LoadLargeLog(benchmark::State& state, Shape shape) {
  const int records = static_cast<int>(state.range(0));
  LargeLog large(records, shape);
  size_t list_bytes = 0;
  double loadSeconds = 0, readSeconds = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    size_t before = mallinfo2().uordblks;
    bool complete = large.log.LoadLog();
    list_bytes = mallinfo2().uordblks - before;
    benchmark::DoNotOptimize(complete);
    loadSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.PauseTiming();
    large.log.FreeEntries();
    // The floor: the same records read plainly, in the same iteration.
    const double read = hmbench::PlainReadSeconds(large.log.LogDbOid(), records);
    if (read < 0) state.SkipWithError("the plain read failed");
    readSeconds += read;
    state.ResumeTiming();
  }
  state.counters["records"] = records;
  state.counters["list_MB"] = static_cast<double>(list_bytes) / (1024.0 * 1024.0);
  state.counters["read_ms"] = readSeconds / static_cast<double>(state.iterations()) * 1e3;
  state.counters["vs_read"] = loadSeconds / readSeconds;
}

void BM_LoadLog_NoDuplicates(benchmark::State& state) { LoadLargeLog(state, Shape::kDistinctTimes); }
void BM_LoadLog_EveryRecordTwice(benchmark::State& state) {
  LoadLargeLog(state, Shape::kEveryRecordTwice);
}
// A log written in one burst: every record goes older than all before it.
void BM_LoadLog_OneSecond(benchmark::State& state) { LoadLargeLog(state, Shape::kOneSecond); }
BENCHMARK(BM_LoadLog_NoDuplicates)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_LoadLog_EveryRecordTwice)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_LoadLog_OneSecond)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(5);

// Appends while the store is low on space, so that every append trims, to
// a log of range(0) records. Each append removes ten records and adds one;
// 100 appends leave a log 900 records shorter.
void AppendAtLowSpace(benchmark::State& state, Shape shape, bool repeatRecord, bool forget) {
  const int records = static_cast<int>(state.range(0));
  LargeLog large(records, shape);
  platform::fault::SetStoreFreeBytes(0);
  SetSyncState(large.cache, 24, SyncStateTracking);
  SetSyncTime(24, 1);
  CEOID oid = 1;
  for (auto _ : state) {
    if (forget) {
      // As after a quick restart: the log is bound anew and knows nothing
      // of its records until it reads them.
      state.PauseTiming();
      large.log.ForgetDatabase();
      platform::fault::SetUptimeMs(10000);
      large.log.OpenLog(24);
      platform::fault::SetUptimeMs(600000);
      state.ResumeTiming();
    }
    // A record changed again (one of the newest, which the trims leave):
    // the log holds a duplicate at the next trim.
    CEOID changed = repeatRecord ? 5000 + records - 1 - (oid++ % 1000) : oid++;
    benchmark::DoNotOptimize(large.log.AppendChange(ChangeTypeModify, changed, kNoUid));
  }
  state.counters["records"] = records;
}

void BM_AppendAtLowSpace(benchmark::State& state) {
  AppendAtLowSpace(state, Shape::kDistinctTimes, false, false);
}
void BM_AppendAtLowSpace_OneSecond(benchmark::State& state) {
  AppendAtLowSpace(state, Shape::kOneSecond, false, false);
}
// Every append changes a record the log holds: each trim meets a duplicate
// and loads the log.
void BM_AppendAtLowSpace_RecordChangedAgain(benchmark::State& state) {
  AppendAtLowSpace(state, Shape::kDistinctTimes, true, false);
}
// The log does not know its records: each trim loads it.
void BM_AppendAtLowSpace_UnknownLog(benchmark::State& state) {
  AppendAtLowSpace(state, Shape::kDistinctTimes, false, true);
}
// The trim as it was: load, cut the ten oldest, rewrite the whole log (the
// public steps of the old path), then the append.
void BM_TrimByRewrite(benchmark::State& state) {
  const int records = static_cast<int>(state.range(0));
  LargeLog large(records, Shape::kDistinctTimes);
  SetSyncState(large.cache, 24, SyncStateTracking);
  SetSyncTime(24, 1);
  CEOID oid = 1;
  for (auto _ : state) {
    large.log.LoadLog();
    ChangeEntry* e = large.log.FirstOldest();
    for (int i = 0; i < 10; ++i) {
      large.log.RemoveEntry(e);
      e = large.log.NextNewer();
    }
    benchmark::DoNotOptimize(large.log.RewriteLog(true));
    large.log.WriteEntry(ChangeTypeModify, 5000, oid++, kNoUid);
  }
  state.counters["records"] = records;
}
BENCHMARK(BM_TrimByRewrite)->Arg(70000)->Iterations(2)->UseRealTime()->Unit(benchmark::kMillisecond);

BENCHMARK(BM_AppendAtLowSpace)->Arg(200)->Arg(70000)->Iterations(100)->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AppendAtLowSpace_OneSecond)->Arg(70000)->Iterations(100)->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AppendAtLowSpace_RecordChangedAgain)->Arg(70000)->Iterations(10)->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AppendAtLowSpace_UnknownLog)->Arg(70000)->Iterations(10)->UseRealTime()
    ->Unit(benchmark::kMillisecond);

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
