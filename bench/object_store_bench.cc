// The object store's speed: appending small records (against SQLite's own
// one-row transaction in the same run, and with the durability point after
// each), appending a group of records in one transaction, reading a large
// database from start to end, seeking to records by identifier with their
// index reported, and the latency of a notification from a write in one
// process to GetMessageW in another.
#include <sqlite3.h>
#include <time.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/read_floor.h"
#include "benchmark/benchmark.h"
#include "platform/device.h"
#include "platform/kernel.h"
#include "platform/object_store.h"
#include "platform/window.h"
#include "tests/support/process.h"
#include "tests/support/temp_device.h"
#include "tracking/change_log.h"

namespace {

// One blob the size of a change-log record, as the change log writes.
constexpr CEPROPID kChangeProp = kChangeRecordPropId;
constexpr size_t kBlobBytes = kChangeRecordSize;
constexpr int kReadRecords = 100000;
constexpr int kNotifications = 400;

int64_t MonotonicNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

CEOID AppendBlob(HANDLE db, BYTE* bytes) {
  CEPROPVAL p{};
  p.propid = kChangeProp;
  p.val.blob.dwCount = kBlobBytes;
  p.val.blob.lpb = bytes;
  return CeWriteRecordProps(db, 0, 1, &p);
}

HANDLE CreateAndOpen(const char16_t* name) {
  CEOID oid = CeCreateDatabase(name, 280, 0, nullptr);
  return CeOpenDatabase(&oid, nullptr, 0, CEDB_AUTOINCREMENT, 0);
}

LRESULT Proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  return DefWindowProcW(hwnd, message, wparam, lparam);
}

// With `watched` 1, a window of this process watches the database, so that
// every append also records its notification for the watcher, as a write to
// a tracked database does (the delivery thread posts them to the window,
// whose queue is emptied between the timed appends).
void BM_AppendRecord(benchmark::State& state) {
  const bool watched = state.range(0) != 0;
  hmtest::TempDevice device;
  HANDLE db = CreateAndOpen(u"append");
  HWND hwnd = 0;
  HANDLE watch = INVALID_HANDLE_VALUE;
  if (watched) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = Proc;
    wc.lpszClassName = u"AppendBench";
    RegisterClassW(&wc);
    hwnd = CreateWindowExW(0, u"AppendBench", u"", 0, 0, 0, 0, 0, 0, 0, 0, nullptr);
    CEOID oid = 0;
    watch = CeOpenDatabase(&oid, u"append", 0, 0, hwnd);
  }
  BYTE bytes[kBlobBytes] = {};
  int sinceDrain = 0;
  for (auto _ : state) {
    if (AppendBlob(db, bytes) == 0) state.SkipWithError("append failed");
    ++bytes[0];
    if (watched && ++sinceDrain == 1000) {
      state.PauseTiming();
      MSG msg;
      while (PeekMessageW(&msg, hwnd, 0, 0, PM_REMOVE)) {
      }
      sinceDrain = 0;
      state.ResumeTiming();
    }
  }
  if (watched) {
    CloseHandle(watch);
    DestroyWindow(hwnd);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AppendRecord)->Arg(0)->Arg(1)->ArgName("watched")->MinTime(2.0)->UseRealTime();

// A group of 256 change-log records appended in one transaction, as the
// capture of a group of notifications does: one CeWriteRecordProps each
// inside CeBeginTransaction (`batch` 0), or one CeAppendRecords (`batch` 1).
void BM_AppendGroup(benchmark::State& state) {
  constexpr DWORD kGroup = 256;
  const bool batch = state.range(0) != 0;
  hmtest::TempDevice device;
  HANDLE db = CreateAndOpen(u"group");
  BYTE bytes[kGroup][kBlobBytes] = {};
  CEPROPVAL props[kGroup] = {};
  CEAPPENDRECORD records[kGroup];
  for (DWORD i = 0; i < kGroup; ++i) {
    props[i].propid = kChangeProp;
    props[i].val.blob.dwCount = kBlobBytes;
    props[i].val.blob.lpb = bytes[i];
    records[i] = {1, &props[i]};
  }
  CEOID oids[kGroup];
  for (auto _ : state) {
    bool ok = true;
    if (batch) {
      ok = CeAppendRecords(db, kGroup, records, oids) != FALSE;
    } else {
      ok = CeBeginTransaction() != FALSE;
      for (DWORD i = 0; ok && i < kGroup; ++i) ok = CeWriteRecordProps(db, 0, 1, &props[i]) != 0;
      ok = CeEndTransaction(ok) != FALSE && ok;
    }
    if (!ok) {
      state.SkipWithError("the group failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * kGroup);
}
BENCHMARK(BM_AppendGroup)->Arg(0)->Arg(1)->ArgName("batch")->MinTime(2.0)->UseRealTime();

// The floor of an append: SQLite alone, one committed transaction inserting
// one row of the same shape (a blob of the same size, the same table and
// index) into a file of the same directory, in WAL mode with
// synchronous=NORMAL as the store. What BM_AppendRecord takes beyond this is
// the store's own work (identifiers, space, totals, notifications).
void BM_SqliteOneRowTransaction(benchmark::State& state) {
  hmtest::TempDevice device;
  const std::string path = device.root() + "/floor.db";
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK ||
      sqlite3_exec(db,
                   "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
                   "CREATE TABLE records(oid INTEGER PRIMARY KEY, db INTEGER NOT NULL, "
                   "props BLOB NOT NULL);"
                   "CREATE INDEX records_by_db ON records(db, oid);",
                   nullptr, nullptr, nullptr) != SQLITE_OK) {
    state.SkipWithError("cannot make the SQLite file");
    sqlite3_close(db);
    return;
  }
  sqlite3_stmt* begin = nullptr;
  sqlite3_stmt* insert = nullptr;
  sqlite3_stmt* commit = nullptr;
  sqlite3_prepare_v2(db, "BEGIN IMMEDIATE", -1, &begin, nullptr);
  sqlite3_prepare_v2(db, "INSERT INTO records(db, props) VALUES(7, ?)", -1, &insert, nullptr);
  sqlite3_prepare_v2(db, "COMMIT", -1, &commit, nullptr);
  // The row form of one 17-byte blob property: identifier, length, bytes.
  BYTE row[8 + kBlobBytes] = {};
  for (auto _ : state) {
    ++row[8];
    sqlite3_bind_blob(insert, 1, row, sizeof row, SQLITE_STATIC);
    const bool ok = sqlite3_step(begin) == SQLITE_DONE && sqlite3_step(insert) == SQLITE_DONE &&
                    sqlite3_step(commit) == SQLITE_DONE;
    sqlite3_reset(begin);
    sqlite3_reset(insert);
    sqlite3_reset(commit);
    if (!ok) {
      state.SkipWithError("the transaction failed");
      break;
    }
  }
  sqlite3_finalize(begin);
  sqlite3_finalize(insert);
  sqlite3_finalize(commit);
  sqlite3_close(db);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SqliteOneRowTransaction)->MinTime(2.0)->UseRealTime();

// The durability point after each append (CeFlushDBVol: one sync of the
// store's log), against BM_AppendRecord: what the point costs when there is
// something new to sync.
void BM_AppendThenFlush(benchmark::State& state) {
  hmtest::TempDevice device;
  HANDLE db = CreateAndOpen(u"append");
  BYTE bytes[kBlobBytes] = {};
  for (auto _ : state) {
    if (AppendBlob(db, bytes) == 0 || !CeFlushDBVol()) state.SkipWithError("append or flush failed");
    ++bytes[0];
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AppendThenFlush)->MinTime(2.0)->UseRealTime();

// The plain read of bench/read_floor.h, which other benchmarks take as
// their floor.
void BM_ReadDatabaseToEnd(benchmark::State& state) {
  hmtest::TempDevice device;
  CEOID oid = CeCreateDatabase(u"read", 280, 0, nullptr);
  HANDLE db = CeOpenDatabase(&oid, nullptr, 0, CEDB_AUTOINCREMENT, 0);
  BYTE bytes[kBlobBytes] = {};
  CeBeginTransaction();
  for (int i = 0; i < kReadRecords; ++i) AppendBlob(db, bytes);
  CeEndTransaction(TRUE);
  for (auto _ : state) {
    const double seconds = hmbench::PlainReadSeconds(oid, kReadRecords);
    if (seconds < 0) {
      state.SkipWithError("short read");
      break;
    }
    state.SetIterationTime(seconds);
  }
  CloseHandle(db);
  state.SetItemsProcessed(state.iterations() * kReadRecords);
}
BENCHMARK(BM_ReadDatabaseToEnd)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseManualTime();

// Seeks by identifier to records spread over a 100,000-record database,
// asking for each one's index (as a remote seek does). Without the write
// between seeks the database keeps its order index; with one (the
// `changing` variant: an append before every seek) each count is made by
// stepping through SQLite's index.
void BM_SeekByIdentifierWithIndex(benchmark::State& state) {
  const bool changing = state.range(0) != 0;
  hmtest::TempDevice device;
  HANDLE db = CreateAndOpen(u"seek");
  BYTE bytes[kBlobBytes] = {};
  std::vector<CEOID> oids;
  for (int i = 0; i < kReadRecords; ++i) oids.push_back(AppendBlob(db, bytes));
  std::srand(7);
  for (auto _ : state) {
    if (changing) {
      state.PauseTiming();
      AppendBlob(db, bytes);
      state.ResumeTiming();
    }
    size_t at = static_cast<size_t>(std::rand()) % oids.size();
    DWORD index = 0;
    if (CeSeekDatabase(db, CEDB_SEEK_CEOID, oids[at], &index) != oids[at] || index != at) {
      state.SkipWithError("wrong seek");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SeekByIdentifierWithIndex)->Arg(0)->Arg(1)->ArgName("changing")->MinTime(1.0)->UseRealTime();

// The writer process: appends records stamped with the monotonic clock,
// one every millisecond or so.
int RunWriter(const char* root, int count) {
  if (!platform::OpenDevice(root).ok()) return 2;
  CEOID oid = 0;
  HANDLE db = CeOpenDatabase(&oid, u"latency", 0, 0, 0);
  if (db == INVALID_HANDLE_VALUE) return 3;
  for (int i = 0; i < count; ++i) {
    BYTE bytes[kBlobBytes] = {};
    int64_t now = MonotonicNs();
    std::memcpy(bytes, &now, sizeof now);
    if (AppendBlob(db, bytes) == 0) return 4;
    Sleep(1);
  }
  platform::CloseDevice();
  return 0;
}

void BM_NotificationLatency(benchmark::State& state) {
  for (auto _ : state) {
    hmtest::TempDevice device;
    WNDCLASSW wc{};
    wc.lpfnWndProc = Proc;
    wc.lpszClassName = u"LatencyBench";
    RegisterClassW(&wc);
    HWND hwnd = CreateWindowExW(0, u"LatencyBench", u"", 0, 0, 0, 0, 0, 0, 0, 0, nullptr);
    CEOID oid = CeCreateDatabase(u"latency", 280, 0, nullptr);
    HANDLE watched = CeOpenDatabase(&oid, nullptr, 0, 0, hwnd);
    hmtest::Process writer({"/proc/self/exe", "--notify-writer", device.root(),
                            std::to_string(kNotifications)});
    std::vector<double> latencies_ms;
    SetTimer(hwnd, 1, 10000, nullptr);  // a watchdog: a lost notification ends the run
    MSG msg;
    LPBYTE buffer = nullptr;
    while (static_cast<int>(latencies_ms.size()) < kNotifications &&
           GetMessageW(&msg, 0, 0, 0) > 0) {
      if (msg.message == WM_TIMER) break;
      if (msg.message != DB_CEOID_CREATED) continue;
      int64_t received = MonotonicNs();
      CeSeekDatabase(watched, CEDB_SEEK_CEOID, msg.wParam, nullptr);
      WORD count = 0;
      DWORD size = 0;
      if (CeReadRecordProps(watched, CEDB_ALLOWREALLOC, &count, nullptr, &buffer, &size) == 0) {
        continue;
      }
      int64_t sent = 0;
      std::memcpy(&sent, reinterpret_cast<CEPROPVAL*>(buffer)->val.blob.lpb, sizeof sent);
      latencies_ms.push_back(static_cast<double>(received - sent) / 1e6);
    }
    LocalFree(buffer);
    writer.Wait(std::chrono::seconds(10));
    if (static_cast<int>(latencies_ms.size()) < kNotifications) {
      state.SkipWithError("notifications were lost");
      break;
    }
    std::sort(latencies_ms.begin(), latencies_ms.end());
    state.counters["median_ms"] = latencies_ms[latencies_ms.size() / 2];
    state.counters["p99_ms"] = latencies_ms[latencies_ms.size() * 99 / 100];
    state.counters["max_ms"] = latencies_ms.back();
    CloseHandle(watched);
    DestroyWindow(hwnd);
  }
}
BENCHMARK(BM_NotificationLatency)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--notify-writer") == 0) {
    return RunWriter(argv[2], std::atoi(argv[3]));
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
