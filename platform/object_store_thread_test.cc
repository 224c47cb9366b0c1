// HM_THREADING_TEST
#include <algorithm>
#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
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

}  // namespace
