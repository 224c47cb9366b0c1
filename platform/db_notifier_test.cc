// HM_THREADING_TEST
#include "platform/db_notifier.h"

#include <unistd.h>

#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "platform/device.h"
#include "platform/kernel.h"
#include "platform/object_store.h"
#include "platform/window.h"
#include "tests/support/process.h"
#include "tests/support/temp_device.h"

namespace {

constexpr CEPROPID kProp = (1u << 16) | CEVT_UI4;
constexpr UINT kWatchdogTimer = 77;
constexpr UINT kWatchdogMs = 5000;

LRESULT Proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  return DefWindowProcW(hwnd, message, wparam, lparam);
}

HWND MakeWindow() {
  static bool registered = false;
  if (!registered) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = Proc;
    wc.lpszClassName = u"NotifierTestWindow";
    RegisterClassW(&wc);
    registered = true;
  }
  return CreateWindowExW(0, u"NotifierTestWindow", u"", 0, 0, 0, 0, 0, 0, 0, 0, nullptr);
}

struct Note {
  HWND hwnd;
  UINT message;
  WPARAM record;
  LPARAM db;
  bool operator==(const Note&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Note& n) {
  return os << "{hwnd " << n.hwnd << " msg " << n.message << " rec " << n.record << " db " << n.db
            << "}";
}

// The next `count` database notifications of this thread's queue; fewer if
// the watchdog timer fires first.
std::vector<Note> Collect(HWND timer_window, size_t count) {
  std::vector<Note> notes;
  SetTimer(timer_window, kWatchdogTimer, kWatchdogMs, nullptr);
  MSG msg;
  while (notes.size() < count && GetMessageW(&msg, 0, 0, 0) > 0) {
    if (msg.message == WM_TIMER && msg.wParam == kWatchdogTimer) break;
    if (msg.message >= DB_CEOID_CREATED && msg.message <= DB_CEOID_CHANGED) {
      notes.push_back({msg.hwnd, msg.message, msg.wParam, msg.lParam});
    }
  }
  KillTimer(timer_window, kWatchdogTimer);
  return notes;
}

// Nothing more arrives within a short while (a marker posted after it comes
// first).
bool QueueHoldsNoNotification(HWND hwnd) {
  Sleep(100);
  PostMessageW(hwnd, WM_APP, 0, 0);
  MSG msg;
  while (GetMessageW(&msg, 0, 0, 0) > 0) {
    if (msg.message == WM_APP) return true;
    if (msg.message >= DB_CEOID_CREATED && msg.message <= DB_CEOID_CHANGED) return false;
  }
  return false;
}

CEOID Append(HANDLE db, ULONG v) {
  CEPROPVAL p{};
  p.propid = kProp;
  p.val.ulVal = v;
  return CeWriteRecordProps(db, 0, 1, &p);
}

TEST(DbNotifierTest, DeliversAddChangeDeleteInCommitOrder) {
  hmtest::TempDevice device;
  HWND hwnd = MakeWindow();
  ASSERT_NE(hwnd, 0u);
  CEOID db = CeCreateDatabase(u"watched", 24, 0, nullptr);
  CEOID other = CeCreateDatabase(u"other", 24, 0, nullptr);
  HANDLE writer = CeOpenDatabase(&db, nullptr, 0, 0, 0);
  CEOID before = Append(writer, 0);  // before the watch: not reported
  HANDLE watched = CeOpenDatabase(&db, nullptr, 0, 0, hwnd);
  ASSERT_NE(watched, INVALID_HANDLE_VALUE);
  HANDLE other_writer = CeOpenDatabase(&other, nullptr, 0, 0, 0);

  CEOID a = Append(writer, 1);
  Append(other_writer, 1);  // another database: not reported
  CEPROPVAL change{};
  change.propid = kProp;
  ASSERT_EQ(CeWriteRecordProps(writer, before, 1, &change), before);
  ASSERT_TRUE(CeDeleteRecord(writer, a));
  CEOID b = Append(watched, 2);  // the watching handle's own writes count too

  LPARAM l = static_cast<LPARAM>(db);
  std::vector<Note> expected = {
      {hwnd, DB_CEOID_CREATED, a, l},
      {hwnd, DB_CEOID_CHANGED, before, l},
      {hwnd, DB_CEOID_RECORD_DELETED, a, l},
      {hwnd, DB_CEOID_CREATED, b, l},
  };
  EXPECT_EQ(Collect(hwnd, expected.size()), expected);
  EXPECT_TRUE(QueueHoldsNoNotification(hwnd));

  // Closed: nothing more.
  ASSERT_TRUE(CloseHandle(watched));
  Append(writer, 3);
  EXPECT_TRUE(QueueHoldsNoNotification(hwnd));
  DestroyWindow(hwnd);
}

TEST(DbNotifierTest, EachWatchingHandleGetsEachChangeOnce) {
  hmtest::TempDevice device;
  HWND first = MakeWindow();
  HWND second = MakeWindow();
  CEOID db = CeCreateDatabase(u"twice", 24, 0, nullptr);
  HANDLE h1 = CeOpenDatabase(&db, nullptr, 0, 0, first);
  HANDLE h2 = CeOpenDatabase(&db, nullptr, 0, 0, second);
  ASSERT_NE(h2, INVALID_HANDLE_VALUE);
  std::vector<CEOID> written;
  // From another thread, many at once: the order must hold across batches.
  std::thread writer([&] {
    CEOID oid = db;
    HANDLE w = CeOpenDatabase(&oid, nullptr, 0, 0, 0);
    for (ULONG i = 0; i < 1200; ++i) written.push_back(Append(w, i));
    CloseHandle(w);
  });
  writer.join();
  std::vector<Note> notes = Collect(first, 2 * written.size());
  ASSERT_EQ(notes.size(), 2 * written.size());
  size_t next_first = 0, next_second = 0;
  for (const Note& n : notes) {
    size_t& next = n.hwnd == first ? next_first : next_second;
    ASSERT_LT(next, written.size());
    EXPECT_EQ(n.record, written[next]) << "window " << n.hwnd;
    ++next;
  }
  EXPECT_TRUE(QueueHoldsNoNotification(first));
  CloseHandle(h1);
  CloseHandle(h2);
}

// Watches opened one after another while delivery has just started (its
// first housekeeping runs at once): a change to each database made right
// after the opens is reported, whatever housekeeping did meanwhile.
TEST(DbNotifierTest, EveryWatchOpenedDuringHousekeepingIsTold) {
  hmtest::TempDevice device;
  HWND hwnd = MakeWindow();
  ASSERT_NE(hwnd, 0u);
  constexpr int kDbs = 40;
  std::vector<CEOID> dbs;
  for (int i = 0; i < kDbs; ++i) {
    std::u16string name = u"db";
    for (char c : std::to_string(i)) name.push_back(char16_t(c));
    dbs.push_back(CeCreateDatabase(name.c_str(), 24, 0, nullptr));
    ASSERT_NE(dbs.back(), 0u);
  }
  std::vector<HANDLE> watched;
  std::vector<Note> expected;
  for (CEOID& db : dbs) {
    watched.push_back(CeOpenDatabase(&db, nullptr, 0, 0, hwnd));
    ASSERT_NE(watched.back(), INVALID_HANDLE_VALUE);
  }
  for (size_t i = 0; i < dbs.size(); ++i) {
    CEOID rec = Append(watched[i], 1);
    expected.push_back({hwnd, DB_CEOID_CREATED, rec, static_cast<LPARAM>(dbs[i])});
  }
  EXPECT_EQ(Collect(hwnd, expected.size()), expected);
  for (HANDLE h : watched) CloseHandle(h);
  DestroyWindow(hwnd);
}

// Run only as the child of the test below: writes records into the device
// and database the parent names.
TEST(DbNotifierChild, DISABLED_WriteRecords) {
  const char* root = std::getenv("HM_NOTIFY_CHILD_ROOT");
  ASSERT_NE(root, nullptr);
  ASSERT_TRUE(platform::OpenDevice(root).ok());
  CEOID db = 0;
  HANDLE h = CeOpenDatabase(&db, u"shared", 0, 0, 0);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  for (ULONG i = 0; i < 20; ++i) ASSERT_NE(Append(h, i), 0u);
  platform::CloseDevice();
}

TEST(DbNotifierTest, DeliversAnotherProcessesChanges) {
  hmtest::TempDevice device;
  HWND hwnd = MakeWindow();
  CEOID db = CeCreateDatabase(u"shared", 24, 0, nullptr);
  HANDLE watched = CeOpenDatabase(&db, nullptr, 0, 0, hwnd);
  ASSERT_NE(watched, INVALID_HANDLE_VALUE);
  setenv("HM_NOTIFY_CHILD_ROOT", device.root().c_str(), 1);
  hmtest::RunResult child = hmtest::Run({"/proc/self/exe", "--gtest_also_run_disabled_tests",
                                         "--gtest_filter=DbNotifierChild.DISABLED_WriteRecords"});
  ASSERT_EQ(child.exit_code, 0) << child.out << child.err;
  std::vector<Note> notes = Collect(hwnd, 20);
  ASSERT_EQ(notes.size(), 20u);
  for (size_t i = 0; i < notes.size(); ++i) {
    EXPECT_EQ(notes[i].message, DB_CEOID_CREATED);
    EXPECT_EQ(notes[i].db, static_cast<LPARAM>(db));
    if (i > 0) {
      EXPECT_GT(notes[i].record, notes[i - 1].record) << "commit order";
    }
  }
  CloseHandle(watched);
}

// Run only as the child of the test below: watches a database and dies
// without closing anything.
TEST(DbNotifierChild, DISABLED_WatchAndDie) {
  const char* root = std::getenv("HM_NOTIFY_CHILD_ROOT");
  ASSERT_NE(root, nullptr);
  ASSERT_TRUE(platform::OpenDevice(root).ok());
  CEOID db = 0;
  HANDLE h = CeOpenDatabase(&db, u"shared", 0, 0, MakeWindow());
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  _exit(0);
}

int64_t LoggedNotifications() {
  DWORD error = 0;
  platform::store::Connection* conn = platform::store::ThreadConnection(&error);
  static const char kCount[] = "SELECT count(*) FROM notifications";
  platform::store::Query q(conn, kCount);
  return q.Step() ? q.Int(0) : -1;
}

TEST(DbNotifierTest, ADeadWatcherDoesNotKeepTheLogGrowing) {
  hmtest::TempDevice device;
  CEOID db = CeCreateDatabase(u"shared", 24, 0, nullptr);
  setenv("HM_NOTIFY_CHILD_ROOT", device.root().c_str(), 1);
  hmtest::RunResult child = hmtest::Run({"/proc/self/exe", "--gtest_also_run_disabled_tests",
                                         "--gtest_filter=DbNotifierChild.DISABLED_WatchAndDie"});
  ASSERT_EQ(child.exit_code, 0) << child.out << child.err;
  HANDLE writer = CeOpenDatabase(&db, nullptr, 0, 0, 0);
  Append(writer, 1);
  EXPECT_EQ(LoggedNotifications(), 1);  // the watch is still on record
  // The next process to open the device drops it and the rows it held.
  std::string root = device.root();
  platform::CloseDevice();
  ASSERT_TRUE(platform::OpenDevice(root).ok());
  EXPECT_EQ(LoggedNotifications(), 0);
  writer = CeOpenDatabase(&db, nullptr, 0, 0, 0);
  Append(writer, 2);
  EXPECT_EQ(LoggedNotifications(), 0);
}


// A writer keeps whether its database is watched between its writes: a
// watch opened since, by another connection or by the writer's own thread
// inside its transaction, is told of the next write.
TEST(DbNotifierTest, AWatchOpenedBetweenTwoWritesIsToldOfTheSecond) {
  hmtest::TempDevice device;
  HWND hwnd = MakeWindow();
  CEOID db = CeCreateDatabase(u"watched", 24, 0, nullptr);
  const LPARAM l = static_cast<LPARAM>(db);

  std::promise<void> wrote_once, watch_open;
  CEOID second = 0;
  std::thread writer([&] {
    CEOID oid = db;
    HANDLE h = CeOpenDatabase(&oid, nullptr, 0, 0, 0);
    Append(h, 1);
    wrote_once.set_value();
    watch_open.get_future().wait();
    second = Append(h, 2);
    CloseHandle(h);
  });
  wrote_once.get_future().wait();
  HANDLE watched = CeOpenDatabase(&db, nullptr, 0, 0, hwnd);
  ASSERT_NE(watched, INVALID_HANDLE_VALUE);
  watch_open.set_value();
  writer.join();
  EXPECT_EQ(Collect(hwnd, 1), (std::vector<Note>{{hwnd, DB_CEOID_CREATED, second, l}}));
  ASSERT_TRUE(CloseHandle(watched));

  HANDLE h = CeOpenDatabase(&db, nullptr, 0, 0, 0);
  ASSERT_TRUE(CeBeginTransaction());
  Append(h, 3);
  watched = CeOpenDatabase(&db, nullptr, 0, 0, hwnd);
  ASSERT_NE(watched, INVALID_HANDLE_VALUE);
  CEOID fourth = Append(h, 4);
  ASSERT_TRUE(CeEndTransaction(TRUE));
  EXPECT_EQ(Collect(hwnd, 1), (std::vector<Note>{{hwnd, DB_CEOID_CREATED, fourth, l}}));
  EXPECT_TRUE(QueueHoldsNoNotification(hwnd));
  CloseHandle(watched);
  CloseHandle(h);
  DestroyWindow(hwnd);
}

// The last number the notification log has handed out, whether its row is
// still there or has been pruned.
int64_t LastNumberGiven() {
  DWORD error = 0;
  platform::store::Connection* conn = platform::store::ThreadConnection(&error);
  platform::store::Query q(conn,
                           "SELECT max((SELECT value - 1 FROM meta WHERE key = 'next_notification'),"
                           " (SELECT coalesce(max(seq), 0) FROM notifications))");
  return q.Step() ? q.Int(0) : -1;
}

int64_t RowsInTheLog() {
  DWORD error = 0;
  platform::store::Connection* conn = platform::store::ThreadConnection(&error);
  platform::store::Query q(conn, "SELECT count(*) FROM notifications");
  return q.Step() ? q.Int(0) : -1;
}

// Once every watcher has passed them, the log's rows are pruned; the
// numbers they had are not handed out again, also after a restart (a
// journal's position may still name them).
TEST(DbNotifierTest, NumbersOfPrunedRowsAreNotHandedOutAgain) {
  hmtest::TempDevice device;
  const std::string root = device.root();
  HWND hwnd = MakeWindow();
  CEOID db = CeCreateDatabase(u"watched", 24, 0, nullptr);
  HANDLE watched = CeOpenDatabase(&db, nullptr, 0, 0, hwnd);
  Append(watched, 1);
  Append(watched, 2);
  ASSERT_EQ(Collect(hwnd, 2).size(), 2u);
  const int64_t before = LastNumberGiven();
  EXPECT_GE(before, 2);
  CloseHandle(watched);
  platform::CloseDevice();
  ASSERT_TRUE(platform::OpenDevice(root).ok());  // prunes what no watch needs
  ASSERT_EQ(RowsInTheLog(), 0);

  watched = CeOpenDatabase(&db, nullptr, 0, 0, hwnd);
  Append(watched, 3);
  EXPECT_EQ(LastNumberGiven(), before + 1);
  CloseHandle(watched);
  DestroyWindow(hwnd);
}

// A file of the schema before numbered its notifications with AUTOINCREMENT.
// Opened by this build, the numbering goes on after the greatest number it
// ever gave, also when that row has been pruned, so that no watcher's or
// journal's position is ever met by an old number again.
TEST(DbNotifierTest, AnOlderFileKeepsItsNumberingWhenMigrated) {
  hmtest::TempDevice device;
  const std::string root = device.root();
  CEOID db = CeCreateDatabase(u"watched", 24, 0, nullptr);
  {
    DWORD error = 0;
    platform::store::Connection* conn = platform::store::ThreadConnection(&error);
    ASSERT_NE(conn, nullptr);
    // Forty numbers given, the last two rows pruned since.
    const std::string script =
        "DROP TABLE notifications;"
        "CREATE TABLE notifications(seq INTEGER PRIMARY KEY AUTOINCREMENT,"
        " db INTEGER NOT NULL, record INTEGER NOT NULL, message INTEGER NOT NULL);"
        "INSERT INTO notifications VALUES(38, " + std::to_string(db) + ", 5, 1025);"
        "INSERT INTO notifications VALUES(40, " + std::to_string(db) + ", 6, 1025);"
        "DELETE FROM notifications WHERE seq >= 39;"
        "DELETE FROM meta WHERE key = 'next_notification';"
        "PRAGMA user_version = 2;";
    ASSERT_EQ(sqlite3_exec(conn->db(), script.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  }
  platform::CloseDevice();
  ASSERT_TRUE(platform::OpenDevice(root).ok());

  HWND hwnd = MakeWindow();
  HANDLE watched = CeOpenDatabase(&db, nullptr, 0, 0, hwnd);
  ASSERT_NE(watched, INVALID_HANDLE_VALUE);
  CEOID a = Append(watched, 1);
  EXPECT_EQ(Collect(hwnd, 1), (std::vector<Note>{{hwnd, DB_CEOID_CREATED, a, static_cast<LPARAM>(db)}}));
  // That write was numbered 41 (its row may be pruned by now: every watch
  // has passed it, and the numbering is then kept in meta).
  EXPECT_EQ(LastNumberGiven(), 41);
  CloseHandle(watched);
  DestroyWindow(hwnd);
}

}  // namespace
