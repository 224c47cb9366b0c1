// HM_THREADING_TEST
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "platform/device.h"
#include "platform/kernel.h"
#include "platform/object_store.h"
#include "tests/support/temp_device.h"

namespace {

constexpr CEPROPID kProp = (1u << 16) | CEVT_UI4;

// Threads have connections of their own, so they meet on the store's file
// locks exactly as processes do: writers wait for each other instead of
// failing, and a reader never sees half of a write.
TEST(ObjectStoreThreadTest, ConcurrentWritersAllSucceedAndReadersSeeWholeRecords) {
  hmtest::TempDevice device;
  CEOID db = CeCreateDatabase(u"busy", 24, 0, nullptr);
  ASSERT_NE(db, 0u);
  constexpr int kWriters = 3;
  constexpr int kPerWriter = 300;
  std::vector<std::vector<CEOID>> written(kWriters);
  std::atomic<bool> writing{true};
  std::atomic<int> bad_reads{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      CEOID oid = db;
      HANDLE h = CeOpenDatabase(&oid, nullptr, 0, 0, 0);
      for (int i = 0; i < kPerWriter; ++i) {
        // Two properties that must always agree.
        CEPROPVAL p[2] = {};
        p[0].propid = kProp;
        p[0].val.ulVal = static_cast<ULONG>(w * 1000 + i);
        p[1].propid = (2u << 16) | CEVT_UI4;
        p[1].val.ulVal = ~p[0].val.ulVal;
        CEOID r = CeWriteRecordProps(h, 0, 2, p);
        EXPECT_NE(r, 0u) << "error " << GetLastError();
        written[w].push_back(r);
        if (i % 3 == 0 && r != 0) {  // and rewrite it, both halves together
          p[0].val.ulVal += 1;
          p[1].val.ulVal = ~p[0].val.ulVal;
          EXPECT_EQ(CeWriteRecordProps(h, r, 2, p), r);
        }
      }
      CloseHandle(h);
    });
  }
  std::thread reader([&] {
    CEOID oid = db;
    HANDLE h = CeOpenDatabase(&oid, nullptr, 0, CEDB_AUTOINCREMENT, 0);
    LPBYTE buffer = nullptr;
    while (writing.load()) {
      CeSeekDatabase(h, CEDB_SEEK_BEGINNING, 0, nullptr);
      WORD count = 0;
      DWORD size = 0;
      while (CeReadRecordProps(h, CEDB_ALLOWREALLOC, &count, nullptr, &buffer, &size) != 0) {
        auto* p = reinterpret_cast<CEPROPVAL*>(buffer);
        if (count != 2 || p[1].val.ulVal != ~p[0].val.ulVal) ++bad_reads;
      }
    }
    LocalFree(buffer);
    CloseHandle(h);
  });
  for (auto& t : threads) t.join();
  writing.store(false);
  reader.join();
  EXPECT_EQ(bad_reads.load(), 0);

  std::set<CEOID> all;
  for (const auto& w : written) {
    EXPECT_TRUE(std::is_sorted(w.begin(), w.end()));
    all.insert(w.begin(), w.end());
  }
  EXPECT_EQ(all.size(), static_cast<size_t>(kWriters * kPerWriter));
  CEOIDINFO info;
  ASSERT_TRUE(CeOidGetInfo(db, &info));
  EXPECT_EQ(info.infDatabase.wNumRecords, kWriters * kPerWriter);
}

// A thread that keeps its connection (and what the connection keeps
// between calls) and runs each task given to it, one at a time.
class Worker {
 public:
  Worker() : thread_([this] { Loop(); }) {}
  ~Worker() {
    Do(nullptr);
    thread_.join();
  }
  // Runs `task` on the worker's thread and returns when it is done; null
  // ends the thread.
  void Do(std::function<void()> task) {
    std::unique_lock<std::mutex> lock(mu_);
    task_ = std::move(task);
    pending_ = true;
    cv_.notify_all();
    cv_.wait(lock, [this] { return !pending_; });
  }

 private:
  void Loop() {
    for (;;) {
      std::unique_lock<std::mutex> lock(mu_);
      cv_.wait(lock, [this] { return pending_; });
      std::function<void()> task = std::move(task_);
      if (task) task();
      pending_ = false;
      cv_.notify_all();
      if (!task) return;
    }
  }
  std::mutex mu_;
  std::condition_variable cv_;
  std::function<void()> task_;
  bool pending_ = false;
  std::thread thread_;
};

CEOID AppendNumber(HANDLE h, ULONG v) {
  CEPROPVAL p{};
  p.propid = kProp;
  p.val.ulVal = v;
  return CeWriteRecordProps(h, 0, 1, &p);
}

// A writer keeps what its appends need (the next identifier, the capacity)
// between its calls; whatever another connection writes in between must be
// seen by its next append as if it had read everything again.
TEST(ObjectStoreThreadTest, AWritersNextAppendSeesWhatOthersWroteSinceItsLast) {
  struct Case {
    const char* name;
    // Runs on the main thread between two appends of the worker; `last` is
    // the worker's last record.
    std::function<void(HANDLE main_handle, CEOID last, CEOID* greatest)> meddle;
    DWORD error;  // of the worker's next append; 0: it succeeds
  };
  const Case cases[] = {
      {"another writer appends",
       [](HANDLE h, CEOID, CEOID* greatest) { *greatest = AppendNumber(h, 2); }, 0},
      {"another writer appends and deletes that record",
       [](HANDLE h, CEOID, CEOID* greatest) {
         *greatest = AppendNumber(h, 2);
         EXPECT_TRUE(CeDeleteRecord(h, *greatest));
       },
       0},
      {"another writer creates a database and deletes it",
       [](HANDLE, CEOID, CEOID* greatest) {
         *greatest = CeCreateDatabase(u"brief", 1, 0, nullptr);
         EXPECT_TRUE(CeDeleteDatabase(*greatest));
       },
       0},
      {"another writer deletes the worker's last record",
       [](HANDLE h, CEOID last, CEOID* greatest) {
         EXPECT_TRUE(CeDeleteRecord(h, last));
         *greatest = last;
       },
       0},
      {"the capacity is set elsewhere",
       [](HANDLE, CEOID last, CEOID* greatest) {
         *greatest = last;
         EXPECT_TRUE(platform::SetDeviceSetting("store-capacity", "1").ok());
       },
       ERROR_DISK_FULL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    hmtest::TempDevice device;
    CEOID db = CeCreateDatabase(u"shared", 24, 0, nullptr);
    HANDLE mine = CeOpenDatabase(&db, nullptr, 0, 0, 0);
    Worker worker;
    HANDLE theirs = INVALID_HANDLE_VALUE;
    CEOID last = 0;
    worker.Do([&] {
      CEOID oid = db;
      theirs = CeOpenDatabase(&oid, nullptr, 0, 0, 0);
      AppendNumber(theirs, 0);
      last = AppendNumber(theirs, 1);
    });
    ASSERT_NE(last, 0u);
    CEOID greatest = 0;
    c.meddle(mine, last, &greatest);
    ASSERT_NE(greatest, 0u);
    CEOID next = 0;
    DWORD error = 0;
    worker.Do([&] {
      next = AppendNumber(theirs, 3);
      error = next == 0 ? GetLastError() : 0;
      CloseHandle(theirs);
    });
    EXPECT_EQ(error, c.error);
    if (c.error == 0) {
      EXPECT_GT(next, greatest);
    }
    CloseHandle(mine);
  }
}

}  // namespace
