#include <sys/statvfs.h>

#include <string>

#include "gtest/gtest.h"
#include "platform/device.h"
#include "platform/fault.h"
#include "platform/kernel.h"
#include "platform/object_store.h"
#include "platform/system_info.h"
#include "tests/support/temp_device.h"

namespace {

struct Figures {
  BOOL ok = FALSE;
  DWORD error = 0;
  uint64_t available = 0, total = 0, free = 0;
};

Figures Query(LPCWSTR name) {
  Figures f;
  ULARGE_INTEGER a{}, t{}, fr{};
  f.ok = GetDiskFreeSpaceExW(name, &a, &t, &fr);
  if (!f.ok) f.error = GetLastError();
  f.available = a.QuadPart;
  f.total = t.QuadPart;
  f.free = fr.QuadPart;
  return f;
}

TEST(DiskSpaceTest, TheRootAnswersTheStoreCapacityAndWhatIsLeft) {
  hmtest::TempDevice device;
  ASSERT_TRUE(platform::SetDeviceSetting("store-capacity", "100000").ok());
  Figures before = Query(u"\\");
  ASSERT_TRUE(before.ok);
  EXPECT_EQ(before.total, 100000u);
  EXPECT_EQ(before.free, before.available);
  EXPECT_LE(before.free, 100000u);
  CEOID oid = CeCreateDatabase(u"db", 1, 0, nullptr);
  HANDLE h = CeOpenDatabase(&oid, nullptr, 0, 0, 0);
  std::string bytes(5000, 'b');
  CEPROPVAL p{};
  p.propid = (1u << 16) | CEVT_BLOB;
  p.val.blob = {static_cast<DWORD>(bytes.size()), reinterpret_cast<LPBYTE>(bytes.data())};
  ASSERT_NE(CeWriteRecordProps(h, 0, 1, &p), 0u);
  Figures after = Query(nullptr);  // null and "" also name the store
  ASSERT_TRUE(after.ok);
  EXPECT_LE(after.free, before.free - 5000);
  EXPECT_EQ(Query(u"").free, after.free);
  // Any argument may be null.
  EXPECT_TRUE(GetDiskFreeSpaceExW(nullptr, nullptr, nullptr, nullptr));
}

TEST(DiskSpaceTest, WithoutCapacityTheHostFileSystemAnswers) {
  hmtest::TempDevice device;
  struct statvfs st;
  ASSERT_EQ(statvfs(device.root().c_str(), &st), 0);
  Figures f = Query(u"\\");
  ASSERT_TRUE(f.ok);
  EXPECT_EQ(f.total, static_cast<uint64_t>(st.f_blocks) * st.f_frsize);
  EXPECT_GT(f.free, 0u);
  EXPECT_LE(f.available, f.free);
}

TEST(DiskSpaceTest, TheSeamSetsTheStoreFreeBytes) {
  hmtest::TempDevice device;
  platform::fault::SetStoreFreeBytes(3u << 20);
  Figures f = Query(u"\\");
  EXPECT_EQ(f.free, 3u << 20);
  EXPECT_EQ(f.available, 3u << 20);
  EXPECT_GE(f.total, f.free);
  platform::fault::FailNext(platform::fault::Call::kGetDiskFreeSpaceExW, ERROR_ACCESS_DENIED);
  Figures failed = Query(u"\\");
  EXPECT_FALSE(failed.ok);
  EXPECT_EQ(failed.error, ERROR_ACCESS_DENIED);
}

TEST(DiskSpaceTest, VolumeFolders) {
  hmtest::TempDevice device;
  struct Case {
    const char* name;
    LPCWSTR folder;
    bool found;
  } cases[] = {
      {"storage card", u"Storage Card", true},
      {"with backslash", u"\\Program Files", true},
      {"other case", u"\\storage CARD", true},
      {"unknown", u"Windows", false},
      {"path escape", u"\\..\\..", false},
      {"sub folder", u"\\Storage Card\\x", false},
  };
  for (const Case& c : cases) {
    Figures f = Query(c.folder);
    EXPECT_EQ(f.ok, c.found ? TRUE : FALSE) << "case " << c.name;
    if (c.found) {
      EXPECT_GT(f.total, 0u) << "case " << c.name;
    } else {
      EXPECT_EQ(f.error, ERROR_FILE_NOT_FOUND) << "case " << c.name;
    }
  }
}

}  // namespace
