#include "platform/object_store.h"

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "platform/device.h"
#include "platform/fault.h"
#include "platform/kernel.h"
#include "platform/registry.h"
#include "tests/support/temp_device.h"

namespace {

constexpr CEPROPID kBlobProp = (1u << 16) | CEVT_BLOB;
constexpr CEPROPID kNumberProp = (2u << 16) | CEVT_UI4;
constexpr CEPROPID kTextProp = (3u << 16) | CEVT_LPWSTR;

CEPROPVAL Ui4(CEPROPID id, ULONG v) {
  CEPROPVAL p{};
  p.propid = id;
  p.val.ulVal = v;
  return p;
}

CEPROPVAL Text(CEPROPID id, const char16_t* s) {
  CEPROPVAL p{};
  p.propid = id;
  p.val.lpwstr = const_cast<LPWSTR>(s);
  return p;
}

CEPROPVAL Blob(CEPROPID id, std::string& bytes) {
  CEPROPVAL p{};
  p.propid = id;
  p.val.blob.dwCount = static_cast<DWORD>(bytes.size());
  p.val.blob.lpb = reinterpret_cast<LPBYTE>(bytes.data());
  return p;
}

CEPROPVAL Deleted(CEPROPID id) {
  CEPROPVAL p{};
  p.propid = id;
  p.wFlags = CEDB_PROPDELETE;
  return p;
}

CEOID Append(HANDLE db, ULONG number) {
  CEPROPVAL p = Ui4(kNumberProp, number);
  return CeWriteRecordProps(db, 0, 1, &p);
}

// A record as read back: identifier and properties by id.
struct ReadRecord {
  CEOID oid = 0;
  DWORD error = 0;
  std::vector<CEPROPVAL> props;
  std::vector<std::u16string> texts;
  std::vector<std::string> blobs;
  const CEPROPVAL* Find(CEPROPID id) const {
    for (const auto& p : props) {
      if (p.propid == id) return &p;
    }
    return nullptr;
  }
};

ReadRecord Read(HANDLE db, std::vector<CEPROPID> ids = {}) {
  ReadRecord r;
  LPBYTE buffer = nullptr;
  DWORD size = 0;
  WORD count = static_cast<WORD>(ids.size());
  r.oid = CeReadRecordProps(db, CEDB_ALLOWREALLOC, &count, ids.empty() ? nullptr : ids.data(),
                            &buffer, &size);
  if (r.oid == 0) {
    r.error = GetLastError();
    return r;
  }
  EXPECT_LE(size, LocalSize(buffer));
  auto* vals = reinterpret_cast<CEPROPVAL*>(buffer);
  for (WORD i = 0; i < count; ++i) {
    r.props.push_back(vals[i]);
    WORD type = TypeFromPropId(vals[i].propid);
    if (vals[i].wFlags & CEDB_PROPNOTFOUND) continue;
    if (type == CEVT_LPWSTR) r.texts.emplace_back(vals[i].val.lpwstr);
    if (type == CEVT_BLOB) {
      // Strings and blobs must lie inside the buffer the caller frees.
      EXPECT_GE(vals[i].val.blob.lpb + vals[i].val.blob.dwCount, buffer);
      EXPECT_LE(vals[i].val.blob.lpb + vals[i].val.blob.dwCount, buffer + size);
      r.blobs.emplace_back(reinterpret_cast<char*>(vals[i].val.blob.lpb), vals[i].val.blob.dwCount);
    }
  }
  LocalFree(buffer);
  return r;
}

class ObjectStoreTest : public ::testing::Test {
 protected:
  HANDLE Create(const char16_t* name, DWORD type = 24, DWORD flags = CEDB_AUTOINCREMENT) {
    CEOID oid = CeCreateDatabase(name, type, 0, nullptr);
    EXPECT_NE(oid, 0u) << "error " << GetLastError();
    HANDLE h = CeOpenDatabase(&oid, nullptr, 0, flags, 0);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    return h;
  }
  hmtest::TempDevice device_;
};

TEST_F(ObjectStoreTest, DatabaseNamesAreUniqueWithoutRegardToCase) {
  struct Case {
    const char* name;
    const char16_t* db_name;
    DWORD error;  // 0: created
  } cases[] = {
      {"first", u"\\Hollowmarch Change Log 280", 0},
      {"same name", u"\\Hollowmarch Change Log 280", ERROR_ALREADY_EXISTS},
      {"other case", u"\\HOLLOWMARCH change log 280", ERROR_ALREADY_EXISTS},
      {"no backslash is another name", u"Hollowmarch Change Log 280", 0},
      {"31 characters", u"abcdefghijklmnopqrstuvwxyz01234", 0},
      {"32 characters", u"abcdefghijklmnopqrstuvwxyz012345", ERROR_INVALID_PARAMETER},
      {"empty", u"", ERROR_INVALID_PARAMETER},
      {"null", nullptr, ERROR_INVALID_PARAMETER},
      {"lone surrogate", u"bad\xD800", ERROR_INVALID_PARAMETER},
      {"non-ASCII letters keep their case", u"\u00C9t\u00E9", 0},
      {"non-ASCII other case is another name", u"\u00E9t\u00E9", 0},
  };
  for (const Case& c : cases) {
    SetLastError(0);
    CEOID oid = CeCreateDatabase(c.db_name, 7, 0, nullptr);
    if (c.error == 0) {
      EXPECT_NE(oid, 0u) << "case " << c.name << " error " << GetLastError();
    } else {
      EXPECT_EQ(oid, 0u) << "case " << c.name;
      EXPECT_EQ(GetLastError(), c.error) << "case " << c.name;
    }
  }
  // Opening by name in any ASCII case finds the database and writes its id.
  CEOID by_name = 0;
  HANDLE h = CeOpenDatabase(&by_name, u"\\hollowmarch CHANGE log 280", 0, 0, 0);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CEOIDINFO info;
  ASSERT_TRUE(CeOidGetInfo(by_name, &info));
  EXPECT_EQ(std::u16string(info.infDatabase.szDbaseName), u"\\Hollowmarch Change Log 280");
  CloseHandle(h);
}

TEST_F(ObjectStoreTest, OpenFailures) {
  CEOID record_db = CeCreateDatabase(u"db", 1, 0, nullptr);
  HANDLE h = CeOpenDatabase(&record_db, nullptr, 0, 0, 0);
  CEOID record = Append(h, 1);
  SORTORDERSPEC sort{kNumberProp, 0};
  struct Case {
    const char* name;
    CEOID oid;
    const char16_t* db_name;
    CEPROPID sort;
    DWORD error;
  } cases[] = {
      {"missing name", 0, u"nothing", 0, ERROR_FILE_NOT_FOUND},
      {"missing id", 0x7FFFFFF0u, nullptr, 0, ERROR_FILE_NOT_FOUND},
      {"a record's id", record, nullptr, 0, ERROR_FILE_NOT_FOUND},
      {"sort order", record_db, nullptr, kNumberProp, ERROR_NOT_SUPPORTED},
  };
  for (const Case& c : cases) {
    CEOID oid = c.oid;
    EXPECT_EQ(CeOpenDatabase(&oid, c.db_name, c.sort, 0, 0), INVALID_HANDLE_VALUE)
        << "case " << c.name;
    EXPECT_EQ(GetLastError(), c.error) << "case " << c.name;
  }
  EXPECT_EQ(CeCreateDatabase(u"sorted", 1, 1, &sort), 0u);
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
}

TEST_F(ObjectStoreTest, RecordsComeBackInWriteOrderAndReadsStopAtTheEnd) {
  HANDLE db = Create(u"ordered");
  std::vector<CEOID> written;
  for (ULONG i = 0; i < 600; ++i) written.push_back(Append(db, i));  // past one read-ahead
  // Rewriting an early record must not move it.
  CEPROPVAL changed = Ui4(kNumberProp, 1000);
  ASSERT_EQ(CeWriteRecordProps(db, written[3], 1, &changed), written[3]);
  ASSERT_EQ(CeSeekDatabase(db, CEDB_SEEK_BEGINNING, 0, nullptr), written[0]);
  for (ULONG i = 0; i < written.size(); ++i) {
    ReadRecord r = Read(db);
    ASSERT_EQ(r.oid, written[i]) << "record " << i;
    ASSERT_EQ(r.props.size(), 1u);
    EXPECT_EQ(r.props[0].val.ulVal, i == 3 ? 1000 : i);
  }
  ReadRecord end = Read(db);
  EXPECT_EQ(end.oid, 0u);
  EXPECT_EQ(end.error, ERROR_NO_MORE_ITEMS);
  // A record appended after the end was reached is the next one read.
  CEOID late = Append(db, 9);
  EXPECT_EQ(Read(db).oid, late);
  CloseHandle(db);
}

TEST_F(ObjectStoreTest, WithoutAutoIncrementReadsStayOnTheRecord) {
  HANDLE db = Create(u"still", 24, 0);
  CEOID a = Append(db, 1);
  Append(db, 2);
  EXPECT_EQ(Read(db).oid, a);
  EXPECT_EQ(Read(db).oid, a);
}

// The bulk read gives of each record what a read of all its properties
// would put first, batch after batch from the position on, and stops where
// a single read would: at the end, or at a record whose read fails (left
// for the next read).
TEST_F(ObjectStoreTest, ReadFirstPropsGivesEachRecordsFirstBlob) {
  HANDLE db = Create(u"firsts");
  std::string change = "0123456789abcdefghijklmnopqrstuvwxyz";  // longer than the copy
  std::string small = "abc";
  CEPROPVAL blobThenNumber[] = {Blob(kBlobProp, change), Ui4(kNumberProp, 5)};
  CEPROPVAL numberThenBlob[] = {Ui4(kNumberProp, 5), Blob(kBlobProp, change)};
  CEPROPVAL smallBlob = Blob(kBlobProp, small);
  struct Case {
    const char* name;
    CEOID oid;
    WORD props;
    CEPROPID first;
    DWORD cbBlob;
  };
  std::vector<Case> cases = {
      {"a blob first", CeWriteRecordProps(db, 0, 2, blobThenNumber), 2, kBlobProp,
       static_cast<DWORD>(change.size())},
      {"a number first", CeWriteRecordProps(db, 0, 2, numberThenBlob), 2, kNumberProp, 0},
      {"a small blob", CeWriteRecordProps(db, 0, 1, &smallBlob), 1, kBlobProp, 3},
      {"no properties", CeWriteRecordProps(db, 0, 0, nullptr), 0, 0, 0},
  };
  for (ULONG i = 0; i < 5; ++i) {
    cases.push_back({"more", Append(db, i), 1, kNumberProp, 0});
  }
  ASSERT_NE(CeSeekDatabase(db, CEDB_SEEK_BEGINNING, 0, nullptr), 0u);
  std::vector<CEFIRSTPROP> got(3);
  std::vector<CEFIRSTPROP> all;
  for (;;) {
    const DWORD n = CeReadFirstProps(db, 3, got.data());
    all.insert(all.end(), got.begin(), got.begin() + n);
    if (n < 3) break;
  }
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
  ASSERT_EQ(all.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    EXPECT_EQ(all[i].oid, cases[i].oid);
    EXPECT_EQ(all[i].wNumProps, cases[i].props);
    EXPECT_EQ(all[i].propid, cases[i].first);
    EXPECT_EQ(all[i].cbBlob, cases[i].cbBlob);
  }
  EXPECT_EQ(std::string(reinterpret_cast<char*>(all[0].abBlob), CEFIRSTPROP_MAXBYTES),
            change.substr(0, CEFIRSTPROP_MAXBYTES));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(all[2].abBlob), 3), small);

  // A record appended after the end is the next one read, by either read.
  CEOID late = Append(db, 9);
  EXPECT_EQ(CeReadFirstProps(db, 3, got.data()), 1u);
  EXPECT_EQ(got[0].oid, late);

  // A failed read stops the batch before that record, which a read then gets.
  ASSERT_NE(CeSeekDatabase(db, CEDB_SEEK_BEGINNING, 0, nullptr), 0u);
  platform::fault::FailNext(platform::fault::Call::kCeReadRecordProps, ERROR_NOT_ENOUGH_MEMORY, 1,
                            /*skip=*/2);
  EXPECT_EQ(CeReadFirstProps(db, 3, got.data()), 2u);
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(Read(db).oid, cases[2].oid);

  HANDLE still = Create(u"still", 24, 0);
  EXPECT_EQ(CeReadFirstProps(still, 3, got.data()), 0u);
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(CeReadFirstProps(HANDLE{0x7FFF0000}, 3, got.data()), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(ObjectStoreTest, SeekKinds) {
  HANDLE db = Create(u"seek");
  std::vector<CEOID> r;
  for (ULONG i = 0; i < 5; ++i) r.push_back(Append(db, i));
  struct Case {
    const char* name;
    DWORD type;
    DWORD value;
    CEOID expect;  // 0: fails
    DWORD index;
    DWORD error;
  } cases[] = {
      {"ceoid", CEDB_SEEK_CEOID, r[2], r[2], 2, 0},
      {"current +1", CEDB_SEEK_CURRENT, 1, r[3], 3, 0},
      {"current -3", CEDB_SEEK_CURRENT, static_cast<DWORD>(-3), r[0], 0, 0},
      {"current -1 before the first", CEDB_SEEK_CURRENT, static_cast<DWORD>(-1), 0, 0,
       ERROR_NO_MORE_ITEMS},
      {"beginning 0", CEDB_SEEK_BEGINNING, 0, r[0], 0, 0},
      {"beginning 4", CEDB_SEEK_BEGINNING, 4, r[4], 4, 0},
      {"beginning past the end", CEDB_SEEK_BEGINNING, 5, 0, 0, ERROR_NO_MORE_ITEMS},
      {"end 0", CEDB_SEEK_END, 0, r[4], 4, 0},
      {"end 4", CEDB_SEEK_END, 4, r[0], 0, 0},
      {"end past the start", CEDB_SEEK_END, 5, 0, 0, ERROR_NO_MORE_ITEMS},
      {"current 0", CEDB_SEEK_CURRENT, 0, r[0], 0, 0},
      {"ceoid of no record", CEDB_SEEK_CEOID, 0x7FFFFFF0u, 0, 0, ERROR_NO_MORE_ITEMS},
      {"ceoid of the database", CEDB_SEEK_CEOID, 1, 0, 0, ERROR_NO_MORE_ITEMS},
      {"value seek", CEDB_SEEK_VALUEFIRSTEQUAL, 0, 0, 0, ERROR_NOT_SUPPORTED},
      {"unknown kind", 0x1000, 0, 0, 0, ERROR_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    DWORD index = 0xFFFFFFFF;
    CEOID before = Read(db).oid;  // autoincrement: re-seek to where we were
    if (before != 0) CeSeekDatabase(db, CEDB_SEEK_CEOID, before, nullptr);
    CEOID got = CeSeekDatabase(db, c.type, c.value, &index);
    EXPECT_EQ(got, c.expect) << "case " << c.name;
    if (c.expect != 0) {
      EXPECT_EQ(index, c.index) << "case " << c.name;
      EXPECT_EQ(Read(db).oid, c.expect) << "case " << c.name << ": read after the seek";
      CeSeekDatabase(db, CEDB_SEEK_CEOID, c.expect, nullptr);
    } else {
      EXPECT_EQ(GetLastError(), c.error) << "case " << c.name;
      EXPECT_EQ(index, 0xFFFFFFFFu) << "case " << c.name << ": index left alone";
      EXPECT_EQ(Read(db).oid, before) << "case " << c.name << ": position unchanged";
      if (before != 0) CeSeekDatabase(db, CEDB_SEEK_CEOID, before, nullptr);
    }
  }
}

TEST_F(ObjectStoreTest, HandlesHaveTheirOwnPositionAndSeeOthersChanges) {
  HANDLE a = Create(u"shared");
  CEOID oid = 0;
  HANDLE b = CeOpenDatabase(&oid, u"shared", 0, CEDB_AUTOINCREMENT, 0);
  CEOID r1 = Append(a, 1), r2 = Append(a, 2), r3 = Append(a, 3);
  EXPECT_EQ(Read(a).oid, r1);
  EXPECT_EQ(Read(a).oid, r2);
  EXPECT_EQ(Read(b).oid, r1);
  // b changes r3 and deletes r2's successor position's record... a sees it.
  CEPROPVAL v = Ui4(kNumberProp, 33);
  ASSERT_EQ(CeWriteRecordProps(b, r3, 1, &v), r3);
  ReadRecord third = Read(a);
  EXPECT_EQ(third.oid, r3);
  EXPECT_EQ(third.props[0].val.ulVal, 33u);
  // A deleted current record: the position moves to the next one.
  ASSERT_TRUE(CeDeleteRecord(a, r2));
  EXPECT_EQ(Read(b).oid, r3);
  CloseHandle(a);
  CloseHandle(b);
}

TEST_F(ObjectStoreTest, EveryPropertyTypeRoundTrips) {
  HANDLE db = Create(u"types");
  std::string blob("\x00\x01\xFF\x7F", 4), empty_blob;
  FILETIME ft{0x89ABCDEF, 0x01234567};
  std::vector<CEPROPVAL> props(9);
  props[0].propid = (10u << 16) | CEVT_I2, props[0].val.iVal = -2;
  props[1].propid = (11u << 16) | CEVT_UI2, props[1].val.uiVal = 0xFFFE;
  props[2].propid = (12u << 16) | CEVT_I4, props[2].val.lVal = -70000;
  props[3] = Ui4((13u << 16) | CEVT_UI4, 0xFFFFFFF0);
  props[4] = Text(kTextProp, u"gr\u00FC\u00DF \U0001F600");
  props[5] = Blob(kBlobProp, blob);
  props[6].propid = (14u << 16) | CEVT_BOOL, props[6].val.boolVal = TRUE;
  props[7].propid = (15u << 16) | CEVT_R8, props[7].val.dblVal = 2.5;
  props[8].propid = (16u << 16) | CEVT_FILETIME, props[8].val.filetime = ft;
  CEOID oid = CeWriteRecordProps(db, 0, static_cast<WORD>(props.size()), props.data());
  ASSERT_NE(oid, 0u);
  CEPROPVAL empty = Blob((17u << 16) | CEVT_BLOB, empty_blob);
  ASSERT_EQ(CeWriteRecordProps(db, oid, 1, &empty), oid);
  ReadRecord r = Read(db);
  ASSERT_EQ(r.props.size(), 10u);
  for (size_t i = 0; i < props.size(); ++i) EXPECT_EQ(r.props[i].propid, props[i].propid);
  EXPECT_EQ(r.props[0].val.iVal, -2);
  EXPECT_EQ(r.props[1].val.uiVal, 0xFFFE);
  EXPECT_EQ(r.props[2].val.lVal, -70000);
  EXPECT_EQ(r.props[3].val.ulVal, 0xFFFFFFF0u);
  EXPECT_EQ(r.texts, std::vector<std::u16string>{u"gr\u00FC\u00DF \U0001F600"});
  EXPECT_EQ(r.blobs, (std::vector<std::string>{blob, ""}));
  EXPECT_EQ(r.props[6].val.boolVal, TRUE);
  EXPECT_EQ(r.props[7].val.dblVal, 2.5);
  EXPECT_EQ(r.props[8].val.filetime.dwHighDateTime, ft.dwHighDateTime);
  EXPECT_EQ(r.props[8].val.filetime.dwLowDateTime, ft.dwLowDateTime);
}

TEST_F(ObjectStoreTest, WritesReplaceAddAndDeleteProperties) {
  HANDLE db = Create(u"edit", 24, 0);
  CEPROPVAL first[] = {Ui4(kNumberProp, 1), Text(kTextProp, u"one")};
  CEOID oid = CeWriteRecordProps(db, 0, 2, first);
  std::string bytes = "blob";
  CEPROPVAL second[] = {Text(kTextProp, u"two"), Blob(kBlobProp, bytes), Deleted(kNumberProp),
                        Deleted((99u << 16) | CEVT_I4)};
  ASSERT_EQ(CeWriteRecordProps(db, oid, 4, second), oid);
  ReadRecord r = Read(db);
  ASSERT_EQ(r.props.size(), 2u);
  EXPECT_EQ(r.props[0].propid, kTextProp);
  EXPECT_EQ(r.texts[0], u"two");
  EXPECT_EQ(r.props[1].propid, kBlobProp);
  // Asking for listed properties: missing ones are flagged, in the order asked.
  ReadRecord listed = Read(db, {kBlobProp, kNumberProp});
  ASSERT_EQ(listed.props.size(), 2u);
  EXPECT_EQ(listed.props[0].propid, kBlobProp);
  EXPECT_EQ(listed.blobs[0], "blob");
  EXPECT_EQ(listed.props[1].propid, kNumberProp);
  EXPECT_TRUE(listed.props[1].wFlags & CEDB_PROPNOTFOUND);
}

TEST_F(ObjectStoreTest, BadWritesFailAndChangeNothing) {
  HANDLE db = Create(u"bad", 24, 0);
  CEOID oid = Append(db, 5);
  CEPROPVAL null_text = Text(kTextProp, nullptr);
  CEPROPVAL null_blob{};
  null_blob.propid = kBlobProp;
  null_blob.val.blob.dwCount = 3;
  CEPROPVAL unknown_type = Ui4((1u << 16) | 77, 1);
  CEPROPVAL fine = Ui4(kNumberProp, 6);
  CEPROPVAL null_text_after_fine[] = {fine, null_text};
  struct Case {
    const char* name;
    CEOID record;
    WORD count;
    CEPROPVAL* props;
    DWORD error;
  } cases[] = {
      {"null string", oid, 1, &null_text, ERROR_INVALID_PARAMETER},
      {"blob without bytes", oid, 1, &null_blob, ERROR_INVALID_PARAMETER},
      {"unknown type", oid, 1, &unknown_type, ERROR_INVALID_PARAMETER},
      {"good then bad", oid, 2, null_text_after_fine, ERROR_INVALID_PARAMETER},
      {"no array", oid, 1, nullptr, ERROR_INVALID_PARAMETER},
      {"missing record", 0x7FFFFFF0u, 1, &fine, ERROR_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CeWriteRecordProps(db, c.record, c.count, c.props), 0u) << "case " << c.name;
    EXPECT_EQ(GetLastError(), c.error) << "case " << c.name;
    ReadRecord r = Read(db);
    ASSERT_EQ(r.props.size(), 1u) << "case " << c.name;
    EXPECT_EQ(r.props[0].val.ulVal, 5u) << "case " << c.name;
  }
  CEOIDINFO info;
  ASSERT_TRUE(CeOidGetInfo(CeSeekDatabase(db, CEDB_SEEK_BEGINNING, 0, nullptr), &info));
  EXPECT_EQ(info.wObjType, OBJTYPE_RECORD);
}

TEST_F(ObjectStoreTest, ReadBuffers) {
  HANDLE db = Create(u"buffers", 24, 0);
  std::string big(5000, 'x');
  CEPROPVAL small = Ui4(kNumberProp, 1);
  CEPROPVAL large = Blob(kBlobProp, big);
  CEOID a = CeWriteRecordProps(db, 0, 1, &small);
  CEOID b = CeWriteRecordProps(db, 0, 1, &large);
  // One buffer reused across reads with the size reset to 0, as a reader
  // that keeps its buffer does: it is grown in place, not leaked.
  LPBYTE buffer = nullptr;
  for (CEOID oid : {a, b, a}) {
    CeSeekDatabase(db, CEDB_SEEK_CEOID, oid, nullptr);
    DWORD size = 0;
    WORD count = 0;
    ASSERT_EQ(CeReadRecordProps(db, CEDB_ALLOWREALLOC, &count, nullptr, &buffer, &size), oid);
    EXPECT_EQ(count, 1);
    EXPECT_GE(LocalSize(buffer), size);
  }
  LocalFree(buffer);
  // Without CEDB_ALLOWREALLOC a small buffer fails and names the size needed.
  CeSeekDatabase(db, CEDB_SEEK_CEOID, b, nullptr);
  BYTE fixed[64];
  LPBYTE p = fixed;
  DWORD size = sizeof fixed;
  WORD count = 0;
  EXPECT_EQ(CeReadRecordProps(db, 0, &count, nullptr, &p, &size), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_GE(size, 5000u);
  std::vector<BYTE> enough(size);
  p = enough.data();
  EXPECT_EQ(CeReadRecordProps(db, 0, &count, nullptr, &p, &size), b);
  // A failed allocation fails the read and leaves the position.
  platform::fault::FailNext(platform::fault::Call::kLocalAlloc, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(Read(db).error, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(Read(db).oid, b);
}

TEST_F(ObjectStoreTest, InvalidHandles) {
  HANDLE db = Create(u"handles");
  HANDLE closed = Create(u"closed");
  ASSERT_TRUE(CloseHandle(closed));
  HANDLE enumeration = CeFindFirstDatabase(0);
  CEOID doomed_oid = CeCreateDatabase(u"doomed", 1, 0, nullptr);
  HANDLE doomed = CeOpenDatabase(&doomed_oid, nullptr, 0, 0, 0);
  ASSERT_TRUE(CeDeleteDatabase(doomed_oid));
  CEOID record = Append(db, 1);
  for (HANDLE h : {HANDLE{0}, INVALID_HANDLE_VALUE, HANDLE{0x7FFF0000}, closed, enumeration,
                   doomed}) {
    CEPROPVAL v = Ui4(kNumberProp, 1);
    LPBYTE buffer = nullptr;
    DWORD size = 0;
    WORD count = 0;
    EXPECT_EQ(CeWriteRecordProps(h, 0, 1, &v), 0u) << "handle " << h;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE) << "handle " << h;
    EXPECT_EQ(CeReadRecordProps(h, CEDB_ALLOWREALLOC, &count, nullptr, &buffer, &size), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE) << "handle " << h;
    EXPECT_EQ(CeSeekDatabase(h, CEDB_SEEK_BEGINNING, 0, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE) << "handle " << h;
    EXPECT_FALSE(CeDeleteRecord(h, record));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE) << "handle " << h;
  }
  EXPECT_EQ(CeFindNextDatabase(db), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(CloseHandle(closed));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(ObjectStoreTest, IdentifiersAreUniqueAndNeverReused) {
  HANDLE a = Create(u"a");
  CEOID r1 = Append(a, 1);
  ASSERT_TRUE(CeDeleteRecord(a, r1));
  EXPECT_FALSE(CeDeleteRecord(a, r1));
  CEOID db2 = CeCreateDatabase(u"b", 1, 0, nullptr);
  CEOID r2 = Append(a, 2);
  EXPECT_NE(r1, 0u);
  EXPECT_LT(r1, db2);
  EXPECT_LT(db2, r2);
  // Identifiers survive reopening the device.
  std::string root = device_.root();
  platform::CloseDevice();
  ASSERT_TRUE(platform::OpenDevice(root).ok());
  CEOID db3 = CeCreateDatabase(u"c", 1, 0, nullptr);
  EXPECT_GT(db3, r2);
}

// Whatever held the greatest identifier given so far is deleted before the
// device is closed: the identifier is still not given again.
TEST_F(ObjectStoreTest, TheGreatestIdentifierIsNotGivenAgainAfterItsDeletion) {
  struct Case {
    const char* name;
    bool in_transaction;
    // Deletes what holds `greatest` (a record of `db`, the database `dbid`).
    bool (*remove)(HANDLE db, CEOID dbid, CEOID greatest);
  };
  const Case cases[] = {
      {"the record", false, [](HANDLE db, CEOID, CEOID r) { return CeDeleteRecord(db, r) != FALSE; }},
      {"the record, in the transaction that wrote it", true,
       [](HANDLE db, CEOID, CEOID r) { return CeDeleteRecord(db, r) != FALSE; }},
      {"its database", false, [](HANDLE, CEOID dbid, CEOID) { return CeDeleteDatabase(dbid) != FALSE; }},
  };
  const std::string root = device_.root();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CEOID dbid = CeCreateDatabase(u"gone", 24, 0, nullptr);
    HANDLE db = CeOpenDatabase(&dbid, nullptr, 0, 0, 0);
    ASSERT_NE(db, INVALID_HANDLE_VALUE);
    Append(db, 1);
    if (c.in_transaction) {
      ASSERT_TRUE(CeBeginTransaction());
    }
    CEOID greatest = Append(db, 2);
    ASSERT_NE(greatest, 0u);
    ASSERT_TRUE(c.remove(db, dbid, greatest));
    if (c.in_transaction) {
      ASSERT_TRUE(CeEndTransaction(TRUE));
    }
    CloseHandle(db);
    platform::CloseDevice();
    ASSERT_TRUE(platform::OpenDevice(root).ok());
    CEOID next = CeCreateDatabase(u"next", 1, 0, nullptr);
    EXPECT_GT(next, greatest);
    ASSERT_TRUE(CeDeleteDatabase(next));
    if (dbid != 0) CeDeleteDatabase(dbid);
  }
}

TEST_F(ObjectStoreTest, FindDatabasesByType) {
  CEOID a = CeCreateDatabase(u"a", 24, 0, nullptr);
  CEOID b = CeCreateDatabase(u"b", 25, 0, nullptr);
  CEOID c = CeCreateDatabase(u"c", 24, 0, nullptr);
  ASSERT_TRUE(CeDeleteDatabase(b));
  CEOID d = CeCreateDatabase(u"d", 25, 0, nullptr);
  auto all = [](DWORD type) {
    std::vector<CEOID> found;
    HANDLE e = CeFindFirstDatabase(type);
    EXPECT_NE(e, INVALID_HANDLE_VALUE);
    while (CEOID oid = CeFindNextDatabase(e)) found.push_back(oid);
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    CloseHandle(e);
    return found;
  };
  EXPECT_EQ(all(24), (std::vector<CEOID>{a, c}));
  EXPECT_EQ(all(25), (std::vector<CEOID>{d}));
  EXPECT_EQ(all(0), (std::vector<CEOID>{a, c, d}));
  EXPECT_EQ(all(26), (std::vector<CEOID>{}));
}

TEST_F(ObjectStoreTest, OidInfo) {
  HANDLE db = Create(u"Info", 291);
  CEOID oid = CeSeekDatabase(db, CEDB_SEEK_BEGINNING, 0, nullptr);
  EXPECT_EQ(oid, 0u);
  CEOID r = Append(db, 1);
  Append(db, 2);
  CEOIDINFO info;
  CEOID db_oid = 0;
  ASSERT_TRUE(CeOidGetInfo(r, &info));
  EXPECT_EQ(info.wObjType, OBJTYPE_RECORD);
  db_oid = info.infRecord.oidParent;
  ASSERT_TRUE(CeOidGetInfo(db_oid, &info));
  EXPECT_EQ(info.wObjType, OBJTYPE_DATABASE);
  EXPECT_EQ(info.infDatabase.dwDbaseType, 291u);
  EXPECT_EQ(info.infDatabase.wNumRecords, 2);
  EXPECT_GT(info.infDatabase.dwSize, 0u);
  EXPECT_EQ(std::u16string(info.infDatabase.szDbaseName), u"Info");
  EXPECT_FALSE(CeOidGetInfo(0x7FFFFFF0u, &info));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  ASSERT_TRUE(CeDeleteRecord(db, r));
  ASSERT_TRUE(CeOidGetInfo(db_oid, &info));
  EXPECT_EQ(info.infDatabase.wNumRecords, 1);
}

// The records of one CeAppendRecords come back in order after what was
// there, with the totals that single appends of them would leave.
TEST_F(ObjectStoreTest, AppendRecordsAddsThemInOrder) {
  HANDLE many = Create(u"many");
  HANDLE single = Create(u"single");
  std::string bytes = "a blob";
  CEPROPVAL first[] = {Ui4(kNumberProp, 2), Text(kTextProp, u"two")};
  CEPROPVAL second[] = {Blob(kBlobProp, bytes)};
  CEPROPVAL third[] = {Ui4(kNumberProp, 4)};
  const CEAPPENDRECORD records[] = {{2, first}, {1, second}, {1, third}};
  CEOID before = Append(many, 1);
  Append(single, 1);
  for (const CEAPPENDRECORD& r : records) ASSERT_NE(CeWriteRecordProps(single, 0, r.wNumProps, r.rgPropVal), 0u);
  CEOID oids[3] = {};
  ASSERT_TRUE(CeAppendRecords(many, 3, records, oids));
  EXPECT_LT(before, oids[0]);
  EXPECT_LT(oids[0], oids[1]);
  EXPECT_LT(oids[1], oids[2]);
  EXPECT_EQ(Read(many).oid, before);
  for (CEOID oid : oids) EXPECT_EQ(Read(many).oid, oid);
  CeSeekDatabase(many, CEDB_SEEK_CEOID, oids[1], nullptr);
  EXPECT_EQ(Read(many).blobs, std::vector<std::string>{bytes});
  CEOIDINFO mine, theirs;
  CEOIDINFO record;
  ASSERT_TRUE(CeOidGetInfo(before, &record));
  ASSERT_TRUE(CeOidGetInfo(record.infRecord.oidParent, &mine));
  CEOID single_oid = 0;
  HANDLE by_name = CeOpenDatabase(&single_oid, u"single", 0, 0, 0);
  ASSERT_TRUE(CeOidGetInfo(single_oid, &theirs));
  EXPECT_EQ(mine.infDatabase.wNumRecords, 4);
  EXPECT_EQ(mine.infDatabase.dwSize, theirs.infDatabase.dwSize);
  EXPECT_TRUE(CeAppendRecords(many, 0, nullptr, nullptr));
  CloseHandle(by_name);
}

// A CeAppendRecords that fails writes none of its records and gives their
// identifiers back.
TEST_F(ObjectStoreTest, AppendRecordsThatFailsWritesNone) {
  HANDLE db = Create(u"none");
  CEOID last = Append(db, 1);
  std::string kb(1024, 'k');
  CEPROPVAL fine = Ui4(kNumberProp, 2);
  CEPROPVAL unknown_type = Ui4((1u << 16) | 77, 1);
  CEPROPVAL big = Blob(kBlobProp, kb);
  struct Case {
    const char* name;
    CEAPPENDRECORD second;
    void (*before)();
    void (*after)();
    DWORD error;
  } cases[] = {
      {"a property of an unknown type in the second record", {1, &unknown_type}, [] {}, [] {},
       ERROR_INVALID_PARAMETER},
      {"past the capacity", {1, &big},
       [] { ASSERT_TRUE(platform::SetDeviceSetting("store-capacity", "1000").ok()); },
       [] { ASSERT_TRUE(platform::SetDeviceSetting("store-capacity", "0").ok()); }, ERROR_DISK_FULL},
      {"the failure seam at the second record", {1, &fine},
       [] { platform::fault::FailNext(platform::fault::Call::kCeWriteRecordProps, ERROR_DISK_FULL, 1, 1); },
       [] {}, ERROR_DISK_FULL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.before();
    const CEAPPENDRECORD records[] = {{1, &fine}, c.second, {1, &fine}};
    CEOID oids[3] = {7, 7, 7};
    EXPECT_FALSE(CeAppendRecords(db, 3, records, oids));
    EXPECT_EQ(GetLastError(), c.error);
    c.after();
    EXPECT_EQ(oids[0], 7u);
    CeSeekDatabase(db, CEDB_SEEK_BEGINNING, 0, nullptr);
    EXPECT_EQ(Read(db).oid, last);
    EXPECT_EQ(Read(db).error, static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    CEOID next = Append(db, 3);
    EXPECT_EQ(next, last + 1);
    ASSERT_TRUE(CeDeleteRecord(db, last));
    last = next;
  }
}

TEST_F(ObjectStoreTest, RecordCountSaturatesAt65535) {
  HANDLE db = Create(u"many");
  for (int i = 0; i < 65536; ++i) ASSERT_NE(Append(db, i), 0u) << i;
  CEOID db_oid = 0;
  CEOIDINFO info;
  CEOID last = CeSeekDatabase(db, CEDB_SEEK_END, 0, nullptr);
  ASSERT_TRUE(CeOidGetInfo(last, &info));
  db_oid = info.infRecord.oidParent;
  ASSERT_TRUE(CeOidGetInfo(db_oid, &info));
  EXPECT_EQ(info.infDatabase.wNumRecords, 0xFFFF);  // 65,536 does not wrap to 0
  ASSERT_NE(Append(db, 1), 0u);
  ASSERT_TRUE(CeOidGetInfo(db_oid, &info));
  EXPECT_EQ(info.infDatabase.wNumRecords, 0xFFFF);
  // The full count still drives the seeks.
  DWORD index = 0;
  EXPECT_NE(CeSeekDatabase(db, CEDB_SEEK_END, 0, &index), 0u);
  EXPECT_EQ(index, 65536u);
}

TEST_F(ObjectStoreTest, CapacityRefusesGrowthAndChangesNothing) {
  HANDLE db = Create(u"full", 24, 0);
  std::string kb(1024, 'k');
  CEPROPVAL one_kb = Blob(kBlobProp, kb);
  CEOID first = CeWriteRecordProps(db, 0, 1, &one_kb);
  ASSERT_NE(first, 0u);
  ASSERT_TRUE(platform::SetDeviceSetting("store-capacity", "4000").ok());
  int written = 0;
  while (CeWriteRecordProps(db, 0, 1, &one_kb) != 0) ++written;
  EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
  EXPECT_GE(written, 1);
  EXPECT_LE(written, 3);
  CEOIDINFO info;
  CEOID db_oid = 0;
  ASSERT_TRUE(CeOidGetInfo(first, &info));
  db_oid = info.infRecord.oidParent;
  ASSERT_TRUE(CeOidGetInfo(db_oid, &info));
  EXPECT_EQ(info.infDatabase.wNumRecords, written + 1);
  // Growing an existing record fails too and leaves it as it was.
  std::string more(2048, 'm');
  CEPROPVAL bigger = Blob(kBlobProp, more);
  EXPECT_EQ(CeWriteRecordProps(db, first, 1, &bigger), 0u);
  EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
  EXPECT_EQ(Read(db).blobs[0], kb);
  EXPECT_EQ(CeCreateDatabase(u"another", 1, 0, nullptr) == 0, written == 3);
  // Shrinking and deleting always work, and free room for new writes.
  CEPROPVAL smaller = Ui4(kNumberProp, 1);
  CEPROPVAL shrink[] = {Deleted(kBlobProp), smaller};
  EXPECT_EQ(CeWriteRecordProps(db, first, 2, shrink), first);
  EXPECT_NE(CeWriteRecordProps(db, 0, 1, &one_kb), 0u);
  // Capacity 0 means no limit of the store's own.
  ASSERT_TRUE(platform::SetDeviceSetting("store-capacity", "0").ok());
  for (int i = 0; i < 8; ++i) EXPECT_NE(CeWriteRecordProps(db, 0, 1, &one_kb), 0u);
}

TEST_F(ObjectStoreTest, TheFailureSeamFailsChosenCallsWithoutSideEffects) {
  HANDLE db = Create(u"seam");
  Append(db, 1);
  using platform::fault::Call;
  platform::fault::FailNext(Call::kCeWriteRecordProps, ERROR_DISK_FULL);
  EXPECT_EQ(Append(db, 2), 0u);
  EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
  platform::fault::FailNext(Call::kCeOpenDatabase, ERROR_NOT_ENOUGH_MEMORY, 1, 1);
  CEOID oid = 0;
  HANDLE second = CeOpenDatabase(&oid, u"seam", 0, 0, 0);
  EXPECT_NE(second, INVALID_HANDLE_VALUE);  // skipped
  EXPECT_EQ(CeOpenDatabase(&oid, u"seam", 0, 0, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
  CEOIDINFO info;
  ASSERT_TRUE(CeOidGetInfo(oid, &info));
  EXPECT_EQ(info.infDatabase.wNumRecords, 1);
  platform::fault::FailNext(Call::kCeCreateDatabase, ERROR_DISK_FULL);
  EXPECT_EQ(CeCreateDatabase(u"nope", 1, 0, nullptr), 0u);
  CEOID missing = 0;
  EXPECT_EQ(CeOpenDatabase(&missing, u"nope", 0, 0, 0), INVALID_HANDLE_VALUE);
}

// The number of records of a database as another thread sees it.
WORD RecordsSeenElsewhere(CEOID db) {
  WORD seen = 0xFFFF;
  std::thread([&] {
    CEOIDINFO info;
    if (CeOidGetInfo(db, &info)) seen = info.infDatabase.wNumRecords;
  }).join();
  return seen;
}

DWORD RegistryNumber(LPCWSTR name) {
  HKEY key = 0;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Test", 0, 0, &key) != ERROR_SUCCESS) return 0;
  DWORD value = 0, size = sizeof value, type = 0;
  LONG rc = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(&value), &size);
  RegCloseKey(key);
  return rc == ERROR_SUCCESS ? value : 0;
}

void SetRegistryNumber(LPCWSTR name, DWORD value) {
  HKEY key = 0;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Test", 0, nullptr, 0, 0, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

TEST_F(ObjectStoreTest, ATransactionLandsWholeOrNotAtAll) {
  HANDLE db = Create(u"together");
  CEOIDINFO info;
  for (BOOL commit : {TRUE, FALSE}) {
    SCOPED_TRACE(commit ? "committed" : "rolled back");
    ASSERT_TRUE(CeBeginTransaction());
    CEOID record = Append(db, 7);
    ASSERT_NE(record, 0u);
    SetRegistryNumber(u"Value", commit ? 1 : 2);
    // This thread sees its own work; others see none of it before the end.
    ASSERT_TRUE(CeOidGetInfo(record, &info));
    EXPECT_EQ(RecordsSeenElsewhere(info.infRecord.oidParent), commit ? 0 : 1);
    EXPECT_EQ(CeEndTransaction(commit), commit);
    EXPECT_EQ(CeOidGetInfo(record, &info), commit);
    EXPECT_EQ(RegistryNumber(u"Value"), 1u);
  }
}

TEST_F(ObjectStoreTest, ACallThatFailsInsideATransactionUndoesOnlyItself) {
  HANDLE db = Create(u"partly", 24, 0);
  std::string kb(1024, 'k');
  CEPROPVAL one_kb = Blob(kBlobProp, kb);
  ASSERT_NE(CeWriteRecordProps(db, 0, 1, &one_kb), 0u);
  ASSERT_TRUE(platform::SetDeviceSetting("store-capacity", "1500").ok());
  ASSERT_TRUE(CeBeginTransaction());
  CEOID small = Append(db, 1);
  ASSERT_NE(small, 0u);
  EXPECT_EQ(CeWriteRecordProps(db, 0, 1, &one_kb), 0u);  // past the capacity
  EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
  CEOID after = Append(db, 2);
  ASSERT_NE(after, 0u);
  ASSERT_TRUE(CeEndTransaction(TRUE));
  CEOIDINFO info;
  ASSERT_TRUE(CeOidGetInfo(small, &info));
  ASSERT_TRUE(CeOidGetInfo(info.infRecord.oidParent, &info));
  EXPECT_EQ(info.infDatabase.wNumRecords, 3);
  // The identifier the failed write took was given back with it.
  EXPECT_EQ(after, small + 1);
}

TEST_F(ObjectStoreTest, ReadsInsideATransactionSeeItsWritesAndNotWhatItUndid) {
  HANDLE reader = Create(u"seen");
  CEOID oid = 0;
  HANDLE writer = CeOpenDatabase(&oid, u"seen", 0, 0, 0);
  CEOID first = Append(writer, 1);
  auto ReadAll = [&] {
    std::vector<CEOID> oids;
    CeSeekDatabase(reader, CEDB_SEEK_BEGINNING, 0, nullptr);
    for (ReadRecord r = Read(reader); r.oid != 0; r = Read(reader)) oids.push_back(r.oid);
    return oids;
  };
  EXPECT_EQ(ReadAll(), std::vector<CEOID>{first});  // the reader's batch is filled
  ASSERT_TRUE(CeBeginTransaction());
  CEOID second = Append(writer, 2);
  EXPECT_EQ(ReadAll(), (std::vector<CEOID>{first, second}));
  ASSERT_FALSE(CeEndTransaction(FALSE));
  EXPECT_EQ(ReadAll(), std::vector<CEOID>{first});
}

TEST_F(ObjectStoreTest, TransactionsDoNotNestAndEndOnlyWhenBegun) {
  EXPECT_FALSE(CeEndTransaction(TRUE));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  ASSERT_TRUE(CeBeginTransaction());
  EXPECT_FALSE(CeBeginTransaction());
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_TRUE(CeEndTransaction(TRUE));
}

TEST(ObjectStoreClosedTest, CallsWithoutADeviceFail) {
  platform::CloseDevice();
  EXPECT_EQ(CeCreateDatabase(u"x", 1, 0, nullptr), 0u);
  EXPECT_NE(GetLastError(), ERROR_SUCCESS);
  EXPECT_EQ(CeFindFirstDatabase(0), INVALID_HANDLE_VALUE);
}

}  // namespace
