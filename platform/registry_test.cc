#include "platform/registry.h"

#include <cstring>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/device.h"
#include "platform/fault.h"
#include "platform/kernel.h"
#include "tests/support/temp_device.h"

namespace {

const char16_t kAppKey[] = u"Software\\Apps\\Hollowmarch";

HKEY CreateKey(HKEY root, const char16_t* path, DWORD* disposition = nullptr) {
  HKEY key = 0;
  DWORD d = 0;
  EXPECT_EQ(RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, &d),
            ERROR_SUCCESS);
  if (disposition != nullptr) *disposition = d;
  return key;
}

LONG SetDword(HKEY key, const char16_t* name, DWORD value) {
  return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4);
}

class RegistryTest : public ::testing::Test {
 protected:
  hmtest::TempDevice device_;
};

TEST_F(RegistryTest, KeysAreCreatedOnceAndOpenedInAnyCase) {
  DWORD disposition = 0;
  HKEY key = CreateKey(HKEY_LOCAL_MACHINE, kAppKey, &disposition);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  key = CreateKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\apps\\HOLLOWMARCH", &disposition);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  RegCloseKey(key);
  struct Case {
    const char* name;
    HKEY root;
    const char16_t* path;
    LONG result;
  } cases[] = {
      {"exact", HKEY_LOCAL_MACHINE, kAppKey, ERROR_SUCCESS},
      {"other case", HKEY_LOCAL_MACHINE, u"software\\APPS\\hollowMarch", ERROR_SUCCESS},
      {"a parent", HKEY_LOCAL_MACHINE, u"Software", ERROR_SUCCESS},
      {"stray backslashes", HKEY_LOCAL_MACHINE, u"\\Software\\\\Apps\\", ERROR_SUCCESS},
      {"missing child", HKEY_LOCAL_MACHINE, u"Software\\Apps\\Other", ERROR_FILE_NOT_FOUND},
      {"other root", HKEY_CURRENT_USER, kAppKey, ERROR_FILE_NOT_FOUND},
      {"not a key", 0x1234, kAppKey, ERROR_INVALID_HANDLE},
  };
  for (const Case& c : cases) {
    HKEY opened = 0;
    EXPECT_EQ(RegOpenKeyExW(c.root, c.path, 0, 0, &opened), c.result) << "case " << c.name;
    if (c.result == ERROR_SUCCESS) {
      EXPECT_NE(opened, 0u) << "case " << c.name;
      EXPECT_EQ(RegCloseKey(opened), ERROR_SUCCESS) << "case " << c.name;
      EXPECT_EQ(RegCloseKey(opened), ERROR_INVALID_HANDLE) << "case " << c.name;
    }
  }
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
}

TEST_F(RegistryTest, ValuesOfEachTypeRoundTripAndNamesIgnoreCase) {
  HKEY key = CreateKey(HKEY_LOCAL_MACHINE, kAppKey);
  ASSERT_EQ(SetDword(key, u"PurgeDays", 14), ERROR_SUCCESS);
  const char16_t text[] = u"Hollowmarch";
  ASSERT_EQ(RegSetValueExW(key, u"Name", 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                           sizeof text),
            ERROR_SUCCESS);
  const BYTE bytes[] = {0, 1, 2, 0xFF, 4};
  ASSERT_EQ(RegSetValueExW(key, u"Raw", 0, REG_BINARY, bytes, sizeof bytes), ERROR_SUCCESS);
  // Rewriting under another case replaces the value.
  ASSERT_EQ(SetDword(key, u"PURGEDAYS", 30), ERROR_SUCCESS);

  DWORD type = 0, value = 0, size = sizeof value;
  ASSERT_EQ(RegQueryValueExW(key, u"purgedays", nullptr, &type, reinterpret_cast<BYTE*>(&value),
                             &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(value, 30u);
  EXPECT_EQ(size, 4u);

  char16_t read_text[32] = {};
  size = sizeof read_text;
  ASSERT_EQ(RegQueryValueExW(key, u"name", nullptr, &type, reinterpret_cast<BYTE*>(read_text),
                             &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, sizeof text);
  EXPECT_EQ(std::u16string(read_text), u"Hollowmarch");

  BYTE read_bytes[8] = {};
  size = sizeof read_bytes;
  ASSERT_EQ(RegQueryValueExW(key, u"Raw", nullptr, &type, read_bytes, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_BINARY);
  EXPECT_EQ(std::vector<BYTE>(read_bytes, read_bytes + size),
            std::vector<BYTE>(bytes, bytes + sizeof bytes));
  RegCloseKey(key);

  // Persistent: a reopened device still has them.
  std::string root = device_.root();
  platform::CloseDevice();
  ASSERT_TRUE(platform::OpenDevice(root).ok());
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kAppKey, 0, 0, &key), ERROR_SUCCESS);
  size = 4;
  ASSERT_EQ(RegQueryValueExW(key, u"PurgeDays", nullptr, &type, reinterpret_cast<BYTE*>(&value),
                             &size),
            ERROR_SUCCESS);
  EXPECT_EQ(value, 30u);
}

TEST_F(RegistryTest, QueryReportsSizesAndMissingValues) {
  HKEY key = CreateKey(HKEY_LOCAL_MACHINE, kAppKey);
  const BYTE eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  ASSERT_EQ(RegSetValueExW(key, u"Long", 0, REG_BINARY, eight, sizeof eight), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(key, u"Port", 40141), ERROR_SUCCESS);

  // Type and size only.
  DWORD type = 0, size = 0;
  EXPECT_EQ(RegQueryValueExW(key, u"Long", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_BINARY);
  EXPECT_EQ(size, 8u);
  // An 8-byte value read into a DWORD fails, names its size and leaves the
  // caller's buffer alone.
  DWORD dword = 0xAAAAAAAA;
  size = 4;
  EXPECT_EQ(RegQueryValueExW(key, u"Long", nullptr, &type, reinterpret_cast<BYTE*>(&dword), &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(dword, 0xAAAAAAAAu);
  // Missing values and keys.
  size = 4;
  EXPECT_EQ(RegQueryValueExW(key, u"Nothing", nullptr, &type, reinterpret_cast<BYTE*>(&dword),
                             &size),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteValueW(key, u"Nothing"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteValueW(key, u"PORT"), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExW(key, u"Port", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
  // A REG_DWORD must be four bytes.
  BYTE two[2] = {1, 2};
  EXPECT_EQ(RegSetValueExW(key, u"Short", 0, REG_DWORD, two, 2), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExW(key, u"Short", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
  // Closed keys fail.
  RegCloseKey(key);
  EXPECT_EQ(SetDword(key, u"Port", 1), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegQueryValueExW(key, u"Long", nullptr, &type, nullptr, &size), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, EnumerationListsValuesInNameOrder) {
  HKEY key = CreateKey(HKEY_CURRENT_USER, u"List");
  SetDword(key, u"b", 2);
  SetDword(key, u"A", 1);
  SetDword(key, u"c", 3);
  std::vector<std::u16string> names;
  std::vector<DWORD> values;
  for (DWORD i = 0;; ++i) {
    char16_t name[16];
    DWORD chars = 16, type = 0, value = 0, size = 4;
    LONG r = RegEnumValueW(key, i, name, &chars, nullptr, &type, reinterpret_cast<BYTE*>(&value),
                           &size);
    if (r == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(r, ERROR_SUCCESS);
    EXPECT_EQ(chars, std::u16string(name).size());
    names.emplace_back(name);
    values.push_back(value);
    ASSERT_LT(i, 10u);
  }
  EXPECT_EQ(names, (std::vector<std::u16string>{u"A", u"b", u"c"}));
  EXPECT_EQ(values, (std::vector<DWORD>{1, 2, 3}));
  char16_t tiny[1];
  DWORD chars = 1;
  EXPECT_EQ(RegEnumValueW(key, 0, tiny, &chars, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);
}

TEST_F(RegistryTest, TheFailureSeamFailsChosenCalls) {
  using platform::fault::Call;
  HKEY key = CreateKey(HKEY_LOCAL_MACHINE, kAppKey);
  platform::fault::FailNext(Call::kRegSetValueExW, ERROR_ACCESS_DENIED);
  EXPECT_EQ(SetDword(key, u"Port", 1), ERROR_ACCESS_DENIED);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(key, u"Port", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  platform::fault::FailNext(Call::kRegOpenKeyExW, ERROR_FILE_NOT_FOUND);
  HKEY opened = 0;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kAppKey, 0, 0, &opened), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kAppKey, 0, 0, &opened), ERROR_SUCCESS);
}

}  // namespace
