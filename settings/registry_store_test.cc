#include "settings/registry_store.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/fault.h"
#include "platform/registry.h"
#include "settings/sync_state_cache.h"
#include "tests/support/temp_device.h"

namespace {

using platform::fault::Call;
using platform::fault::FailNext;

class RegistryStoreTest : public ::testing::Test {
 protected:
  // Writes a value straight into the settings key, as another program would.
  void Put(const char16_t* name, DWORD type, const void* data, DWORD size) {
    HKEY key = CreateSettingsKey();
    ASSERT_NE(key, 0u);
    ASSERT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }
  void PutDword(const char16_t* name, DWORD value) { Put(name, REG_DWORD, &value, 4); }

  // The stored DWORD, or -1 when missing.
  int64_t Stored(const char16_t* name) {
    HKEY key = OpenSettingsKey();
    if (key == 0) return -1;
    DWORD type = 0, data = 0, size = 4;
    LONG rc = RegQueryValueExW(key, name, nullptr, &type,
                               reinterpret_cast<BYTE*>(&data), &size);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS ? static_cast<int64_t>(data) : -1;
  }

  hmtest::TempDevice device_;
  SyncStateCache cache_;
};

TEST_F(RegistryStoreTest, MissingKeyGivesDefaultsAndOnlyPerClassCallsCreateIt) {
  EXPECT_EQ(GetPurgeDays(), 90u);
  EXPECT_EQ(GetPort(), 40141);
  EXPECT_FALSE(GetKeepChangeLogs());
  EXPECT_EQ(OpenSettingsKey(), 0u) << "the settings getters must not create the key";

  EXPECT_EQ(GetSyncState(cache_, 24), 0u);
  HKEY key = OpenSettingsKey();
  EXPECT_NE(key, 0u) << "the first per-class read creates the key";
  RegCloseKey(key);
}

TEST_F(RegistryStoreTest, PurgeDaysCountsOnlyAsDword) {
  const char16_t text[] = u"30";
  Put(u"PurgeDays", REG_SZ, text, sizeof(text));
  EXPECT_EQ(GetPurgeDays(), 90u) << "a string is unusable";
  PutDword(u"PurgeDays", 0);
  EXPECT_EQ(GetPurgeDays(), 0u) << "0 is taken as stored";
  BYTE eight[8] = {7, 0, 0, 0, 0, 0, 0, 0};
  Put(u"PurgeDays", REG_BINARY, eight, sizeof(eight));
  EXPECT_EQ(GetPurgeDays(), 90u) << "a value longer than 4 bytes is unusable";
}

TEST_F(RegistryStoreTest, KeepChangeLogsOnlyForANonZeroDword) {
  const char16_t text[] = u"1";
  Put(u"KeepChangeLogs", REG_SZ, text, sizeof(text));
  EXPECT_FALSE(GetKeepChangeLogs()) << "a string is unusable";
  PutDword(u"KeepChangeLogs", 0);
  EXPECT_FALSE(GetKeepChangeLogs());
  PutDword(u"KeepChangeLogs", 1);
  EXPECT_TRUE(GetKeepChangeLogs());
}

TEST_F(RegistryStoreTest, PortIsLowSixteenBitsWhateverTheType) {
  struct Case {
    const char* name;
    DWORD type;
    DWORD value;
    DWORD size;
    WORD expected;
  } cases[] = {
      {"dword", REG_DWORD, 8080, 4, 8080},
      {"binary of 4 bytes", REG_BINARY, 9000, 4, 9000},
      {"no range check", REG_DWORD, 70000, 4, 4464},
      {"zero", REG_DWORD, 0, 4, 0},
      {"too short", REG_BINARY, 9000, 2, 40141},
  };
  for (const Case& c : cases) {
    Put(u"Port", c.type, &c.value, c.size);
    EXPECT_EQ(GetPort(), c.expected) << "case " << c.name;
  }
}

TEST_F(RegistryStoreTest, ClassValuesUseTheUnsignedDecimalClass) {
  EXPECT_EQ(ClassValueName("SyncState", 5454), u"SyncState_5454");
  EXPECT_EQ(ClassValueName("LastSyncTime", 4294967295u), u"LastSyncTime_4294967295");

  EXPECT_TRUE(SetSyncTime(291, 1234));
  EXPECT_TRUE(SetLastSyncTime(291, 5678));
  EXPECT_EQ(Stored(u"SyncTime_291"), 1234);
  EXPECT_EQ(Stored(u"LastSyncTime_291"), 5678);
  EXPECT_EQ(GetSyncTime(291), 1234u);
  EXPECT_EQ(GetSyncTime(25), 0u) << "missing gives 0";
}

TEST_F(RegistryStoreTest, OnlySetSyncStateFillsTheCache) {
  PutDword(u"SyncState_26", 2);
  EXPECT_TRUE(SetSyncState(cache_, 291, 1));
  EXPECT_EQ(Stored(u"SyncState_291"), 1);
  EXPECT_EQ(GetSyncState(cache_, 26), 2u);
  PutDword(u"SyncState_26", 1);
  EXPECT_EQ(GetSyncState(cache_, 26), 1u) << "an uncached slot is read from the registry each time";

  EXPECT_TRUE(SetSyncState(cache_, 24, 2));
  PutDword(u"SyncState_24", 0);
  EXPECT_EQ(GetSyncState(cache_, 24), 2u) << "a written slot wins over the registry";
}

TEST_F(RegistryStoreTest, ClassWithoutSlotAlwaysReadsTheRegistry) {
  EXPECT_TRUE(SetSyncState(cache_, 7, 1));
  PutDword(u"SyncState_7", 2);
  EXPECT_EQ(GetSyncState(cache_, 7), 2u);
  const char16_t text[] = u"1";
  Put(u"SyncState_7", REG_SZ, text, sizeof(text));
  EXPECT_EQ(GetSyncState(cache_, 7), 0u) << "not REG_DWORD gives 0";
}

TEST_F(RegistryStoreTest, FailedStateWriteStillChangesTheCache) {
  PutDword(u"SyncState_25", 1);
  FailNext(Call::kRegSetValueExW, ERROR_ACCESS_DENIED);
  EXPECT_FALSE(SetSyncState(cache_, 25, 2));
  EXPECT_EQ(GetSyncState(cache_, 25), 2u);
  EXPECT_EQ(Stored(u"SyncState_25"), 1);
}

TEST_F(RegistryStoreTest, KeyThatCannotBeHadGivesDefaultsAndLeavesCache) {
  FailNext(Call::kRegOpenKeyExW, ERROR_ACCESS_DENIED, -1);
  FailNext(Call::kRegCreateKeyExW, ERROR_ACCESS_DENIED, -1);
  EXPECT_FALSE(SetSyncState(cache_, 24, 1));
  EXPECT_FALSE(SetSyncTime(24, 5));
  EXPECT_FALSE(SetLastSyncTime(24, 5));
  EXPECT_EQ(GetSyncTime(24), 0u);
  EXPECT_EQ(GetPort(), 40141);
  platform::fault::Clear();
  DWORD cached = 0;
  EXPECT_FALSE(cache_.Lookup(24, &cached)) << "the cache is untouched when no key was opened";
}

TEST_F(RegistryStoreTest, CreateStopsAtTheFirstFailingStep) {
  FailNext(Call::kRegCreateKeyExW, ERROR_ACCESS_DENIED, 1, /*skip=*/1);
  EXPECT_EQ(CreateSettingsKey(), 0u);
  EXPECT_EQ(OpenSettingsKey(), 0u);
  HKEY key = CreateSettingsKey();
  EXPECT_NE(key, 0u);
  RegCloseKey(key);
}

TEST_F(RegistryStoreTest, ListenAddressIsTextAndAnythingElseIsTold) {
  std::string text = "left over";
  EXPECT_EQ(GetListenAddress(&text), TextSetting::kMissing) << "no key";
  EXPECT_EQ(text, "");
  EXPECT_EQ(OpenSettingsKey(), 0u) << "reading does not create the key";

  struct Case {
    const char* name;
    DWORD type;
    std::u16string data;  // stored as its bytes, NULs included
    TextSetting expected;
    const char* text;
  } cases[] = {
      {"text", REG_SZ, std::u16string(u"127.0.0.1\0", 10), TextSetting::kText, "127.0.0.1"},
      {"without a NUL", REG_SZ, u"10.0.0.2", TextSetting::kText, "10.0.0.2"},
      {"up to the first NUL", REG_SZ, std::u16string(u"1.2.3.4\0junk", 12), TextSetting::kText,
       "1.2.3.4"},
      {"empty", REG_SZ, std::u16string(u"\0", 1), TextSetting::kText, ""},
      {"not checked here", REG_SZ, u"localhost", TextSetting::kText, "localhost"},
      {"a number", REG_DWORD, std::u16string(u"\x0001\x7f00", 2), TextSetting::kNotText, ""},
      {"a lone surrogate", REG_SZ, u"1.2.3.4\xD800", TextSetting::kNotText, ""},
      {"too long to be one", REG_SZ, std::u16string(3000, u'1'), TextSetting::kNotText, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Put(u"ListenAddress", c.type, c.data.data(), static_cast<DWORD>(c.data.size() * 2));
    EXPECT_EQ(GetListenAddress(&text), c.expected);
    EXPECT_EQ(text, c.text);
  }
  BYTE odd[3] = {'1', 0, '2'};
  Put(u"ListenAddress", REG_SZ, odd, sizeof odd);
  EXPECT_EQ(GetListenAddress(&text), TextSetting::kNotText) << "half a character";
}

// A failure must not pass for "no value", which would mean every address.
TEST_F(RegistryStoreTest, AListenAddressThatCannotBeReadIsNotMissing) {
  Put(u"ListenAddress", REG_SZ, u"127.0.0.1", 18);
  FailNext(Call::kRegOpenKeyExW, ERROR_ACCESS_DENIED);
  std::string text;
  EXPECT_EQ(GetListenAddress(&text), TextSetting::kUnreadable);
  FailNext(Call::kRegQueryValueExW, ERROR_INTERNAL_ERROR);
  EXPECT_EQ(GetListenAddress(&text), TextSetting::kUnreadable);
  EXPECT_EQ(GetListenAddress(&text), TextSetting::kText);
}

std::vector<std::pair<DWORD, DWORD>> observed;
void Observe(DWORD dataClass, DWORD state) { observed.emplace_back(dataClass, state); }

TEST_F(RegistryStoreTest, TheObserverSeesEveryStateThatReachedTheKey) {
  observed.clear();
  SetSyncStateObserver(&Observe);
  EXPECT_TRUE(SetSyncState(cache_, 24, SyncStateTracking));
  FailNext(Call::kRegSetValueExW, ERROR_ACCESS_DENIED);
  EXPECT_FALSE(SetSyncState(cache_, 25, SyncStateLost)) << "a failed write still changes the cache";
  FailNext(Call::kRegOpenKeyExW, ERROR_ACCESS_DENIED, -1);
  FailNext(Call::kRegCreateKeyExW, ERROR_ACCESS_DENIED, -1);
  EXPECT_FALSE(SetSyncState(cache_, 26, SyncStateTracking)) << "no key: nothing changed";
  platform::fault::Clear();
  SetSyncStateObserver(nullptr);
  EXPECT_TRUE(SetSyncState(cache_, 291, SyncStateTracking));
  const std::vector<std::pair<DWORD, DWORD>> expected = {{24, SyncStateTracking}, {25, SyncStateLost}};
  EXPECT_EQ(observed, expected);
}

}  // namespace
