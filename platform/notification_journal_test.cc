// HM_THREADING_TEST
#include "platform/notification_journal.h"

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/device.h"
#include "platform/kernel.h"
#include "platform/object_store.h"
#include "platform/registry.h"
#include "platform/store_db.h"
#include "platform/window.h"
#include "tests/support/process.h"
#include "tests/support/temp_device.h"

namespace {

constexpr CEPROPID kProp = (1u << 16) | CEVT_UI4;
constexpr char16_t kJournal[] = u"test journal";

LRESULT Proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  return DefWindowProcW(hwnd, message, wparam, lparam);
}

HWND MakeWindow() {
  static bool registered = false;
  if (!registered) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = Proc;
    wc.lpszClassName = u"JournalTestWindow";
    RegisterClassW(&wc);
    registered = true;
  }
  return CreateWindowExW(0, u"JournalTestWindow", u"", 0, 0, 0, 0, 0, 0, 0, 0, nullptr);
}

CEOID Append(HANDLE db, ULONG v) {
  CEPROPVAL p{};
  p.propid = kProp;
  p.val.ulVal = v;
  return CeWriteRecordProps(db, 0, 1, &p);
}

HANDLE Open(LPCWSTR name, HWND notify = 0) {
  CEOID oid = 0;
  return CeOpenDatabase(&oid, name, 0, 0, notify);
}

int64_t Count(const char* sql) {
  DWORD error = 0;
  platform::store::Connection* conn = platform::store::ThreadConnection(&error);
  platform::store::Query q(conn, sql);
  return q.Step() ? q.Int(0) : -1;
}

int64_t LoggedNotifications() {
  static const char kSql[] = "SELECT count(*) FROM notifications";
  return Count(kSql);
}

// The records named by the notifications waiting in this thread's queue for
// `hwnd`, taken in order after every pending one was posted.
std::vector<CEOID> TakeNotifications(HWND hwnd, std::vector<UINT>* messages = nullptr) {
  EXPECT_TRUE(CeFlushNotifications());
  std::vector<CEOID> records;
  MSG msg;
  while (PeekMessageW(&msg, hwnd, DB_CEOID_CREATED, DB_CEOID_CHANGED, PM_REMOVE)) {
    records.push_back(static_cast<CEOID>(msg.wParam));
    if (messages != nullptr) messages->push_back(msg.message);
  }
  return records;
}

// What a child does, chosen by the parent through the environment.
std::string ChildRoot() { return std::getenv("HM_JOURNAL_ROOT"); }
std::string ChildStep() { return std::getenv("HM_JOURNAL_STEP"); }

hmtest::RunResult RunChild(const std::string& root, const std::string& step) {
  setenv("HM_JOURNAL_ROOT", root.c_str(), 1);
  setenv("HM_JOURNAL_STEP", step.c_str(), 1);
  return hmtest::Run({"/proc/self/exe", "--gtest_also_run_disabled_tests",
                      "--gtest_filter=JournalChild.DISABLED_Holder"});
}

// A holder that takes the notifications of the records already written to
// "watched", handles them as the step says and dies without closing:
//   "ack-in-txn N": acknowledges the N-th inside a transaction that also
//                   writes a record to "work";
//   "rollback N":   the same, but the transaction is rolled back;
//   "lazy-wait N":  acknowledges the N-th outside a transaction and waits
//                   for it to be written;
//   "none":         acknowledges nothing.
TEST(JournalChild, DISABLED_Holder) {
  ASSERT_TRUE(platform::OpenDevice(ChildRoot()).ok());
  HWND hwnd = MakeWindow();
  ASSERT_TRUE(CeOpenNotificationJournal(kJournal, nullptr));
  HANDLE watched = Open(u"watched", hwnd);
  ASSERT_NE(watched, INVALID_HANDLE_VALUE);
  HANDLE work = Open(u"work");
  std::string step = ChildStep();
  size_t space = step.find(' ');
  std::string what = step.substr(0, space);
  int n = space == std::string::npos ? 0 : std::atoi(step.c_str() + space + 1);
  ASSERT_TRUE(CeFlushNotifications());
  MSG msg;
  for (int i = 1; i <= n; ++i) {
    ASSERT_TRUE(PeekMessageW(&msg, hwnd, DB_CEOID_CREATED, DB_CEOID_CHANGED, PM_REMOVE));
  }
  if (what == "ack-in-txn" || what == "rollback") {
    ASSERT_TRUE(CeBeginTransaction());
    ASSERT_NE(Append(work, static_cast<ULONG>(msg.wParam)), 0u);
    ASSERT_TRUE(CeAcknowledgeNotification());
    ASSERT_EQ(CeEndTransaction(what == "ack-in-txn"), what == "ack-in-txn" ? TRUE : FALSE);
  } else if (what == "lazy-wait") {
    ASSERT_TRUE(CeAcknowledgeNotification());
    Sleep(2500);
  }
  _exit(0);
}

class JournalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(CeCreateDatabase(u"watched", 24, 0, nullptr), 0u);
    ASSERT_NE(CeCreateDatabase(u"work", 24, 0, nullptr), 0u);
    writer_ = Open(u"watched");
  }
  // Writes `count` records into "watched"; their identifiers.
  std::vector<CEOID> Write(int count) {
    std::vector<CEOID> oids;
    for (int i = 0; i < count; ++i) oids.push_back(Append(writer_, static_cast<ULONG>(i)));
    return oids;
  }
  std::vector<CEOID> Tail(const std::vector<CEOID>& all, size_t from) {
    return std::vector<CEOID>(all.begin() + static_cast<long>(from), all.end());
  }

  hmtest::TempDevice device_;
  HANDLE writer_ = INVALID_HANDLE_VALUE;
};

TEST_F(JournalTest, ANewHolderIsPostedWhatADeadOneLeftUnacknowledged) {
  struct Case {
    std::string step;
    size_t first_pending;  // index of the first record still pending
  };
  const std::vector<Case> cases = {
      {"none", 0}, {"ack-in-txn 3", 3}, {"rollback 3", 0}, {"lazy-wait 4", 4}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.step);
    // The holder must be in place before the writes it is to be told of.
    ASSERT_EQ(RunChild(device_.root(), "none").exit_code, 0);
    std::vector<CEOID> written = Write(5);
    hmtest::RunResult child = RunChild(device_.root(), c.step);
    ASSERT_EQ(child.exit_code, 0) << child.out << child.err;
    // Written while nobody watched: still told, after the others.
    std::vector<CEOID> later = Write(2);
    written.insert(written.end(), later.begin(), later.end());

    HWND hwnd = MakeWindow();
    BOOL taken_over = FALSE;
    ASSERT_TRUE(CeOpenNotificationJournal(kJournal, &taken_over));
    EXPECT_TRUE(taken_over);
    HANDLE watched = Open(u"watched", hwnd);
    ASSERT_NE(watched, INVALID_HANDLE_VALUE);
    EXPECT_EQ(TakeNotifications(hwnd), Tail(written, c.first_pending));
    // Ready for the next case: everything handled, the journal closed.
    ASSERT_TRUE(CeCloseNotificationJournal());
    CloseHandle(watched);
    DestroyWindow(hwnd);
  }
}

TEST_F(JournalTest, AcknowledgedWorkAndItsNotificationAreDurableTogether) {
  ASSERT_EQ(RunChild(device_.root(), "none").exit_code, 0);
  std::vector<CEOID> written = Write(3);
  ASSERT_EQ(RunChild(device_.root(), "ack-in-txn 2").exit_code, 0);
  // The holder's work record is there, and what it acknowledged is not
  // told again.
  static const char kWork[] =
      "SELECT count(*) FROM records WHERE db = (SELECT oid FROM databases WHERE name = 'work')";
  EXPECT_EQ(Count(kWork), 1);
  ASSERT_EQ(RunChild(device_.root(), "rollback 1").exit_code, 0);
  EXPECT_EQ(Count(kWork), 1);

  HWND hwnd = MakeWindow();
  ASSERT_TRUE(CeOpenNotificationJournal(kJournal, nullptr));
  HANDLE watched = Open(u"watched", hwnd);
  EXPECT_EQ(TakeNotifications(hwnd), Tail(written, 2));
  CloseHandle(watched);
  DestroyWindow(hwnd);
}

TEST_F(JournalTest, PendingNotificationsOfSeveralDatabasesKeepTheirOrder) {
  ASSERT_NE(CeCreateDatabase(u"second", 24, 0, nullptr), 0u);
  HANDLE second_writer = Open(u"second");
  // A holder watching both, then interleaved writes while it is gone.
  {
    HWND hwnd = MakeWindow();
    ASSERT_TRUE(CeOpenNotificationJournal(kJournal, nullptr));
    HANDLE a = Open(u"watched", hwnd);
    HANDLE b = Open(u"second", hwnd);
    ASSERT_TRUE(CeFlushNotifications());
    // The device closing here stands for the holder dying: the journal
    // stays.
    CloseHandle(a);
    CloseHandle(b);
    DestroyWindow(hwnd);
    std::string root = device_.root();
    platform::CloseDevice();
    ASSERT_TRUE(platform::OpenDevice(root).ok());
    writer_ = Open(u"watched");
    second_writer = Open(u"second");
  }
  std::vector<CEOID> order;
  for (int i = 0; i < 4; ++i) {
    order.push_back(Append(writer_, 1));
    order.push_back(Append(second_writer, 2));
  }
  HWND hwnd = MakeWindow();
  ASSERT_TRUE(CeOpenNotificationJournal(kJournal, nullptr));
  HANDLE a = Open(u"watched", hwnd);
  Sleep(50);  // time for a delivery between the two opens, were it allowed
  HANDLE b = Open(u"second", hwnd);
  EXPECT_EQ(TakeNotifications(hwnd), order);
  CloseHandle(a);
  CloseHandle(b);
  DestroyWindow(hwnd);
}

TEST_F(JournalTest, ALiveHolderKeepsItsJournal) {
  ASSERT_TRUE(CeOpenNotificationJournal(kJournal, nullptr));
  EXPECT_FALSE(CeOpenNotificationJournal(u"another", nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  // A second process cannot take it: the child's claim is refused.
  setenv("HM_JOURNAL_ROOT", device_.root().c_str(), 1);
  hmtest::RunResult child = hmtest::Run({"/proc/self/exe", "--gtest_also_run_disabled_tests",
                                         "--gtest_filter=JournalChild.DISABLED_ClaimRefused"});
  EXPECT_EQ(child.exit_code, 0) << child.out << child.err;
  ASSERT_TRUE(CeCloseNotificationJournal());
  EXPECT_FALSE(CeCloseNotificationJournal());
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(JournalChild, DISABLED_ClaimRefused) {
  ASSERT_TRUE(platform::OpenDevice(ChildRoot()).ok());
  EXPECT_FALSE(CeOpenNotificationJournal(kJournal, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
}

// A released journal passes on while its holder still runs: the next claim
// takes it over and is posted what came after the last acknowledgement
// (made outside a transaction, and written by the release).
TEST_F(JournalTest, AReleasedJournalPassesOnWhileItsHolderRuns) {
  HWND hwnd = MakeWindow();
  ASSERT_TRUE(CeOpenNotificationJournal(kJournal, nullptr));
  HANDLE watched = Open(u"watched", hwnd);
  ASSERT_NE(watched, INVALID_HANDLE_VALUE);
  const std::vector<CEOID> written = Write(3);
  ASSERT_EQ(TakeNotifications(hwnd), written);
  ASSERT_TRUE(CeAcknowledgeNotification());
  ASSERT_TRUE(CeReleaseNotificationJournal());
  EXPECT_FALSE(CeReleaseNotificationJournal());
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  CloseHandle(watched);
  Write(2);
  setenv("HM_JOURNAL_ROOT", device_.root().c_str(), 1);
  hmtest::RunResult child = hmtest::Run({"/proc/self/exe", "--gtest_also_run_disabled_tests",
                                         "--gtest_filter=JournalChild.DISABLED_TakesOverTwo"});
  EXPECT_EQ(child.exit_code, 0) << child.out << child.err;
  DestroyWindow(hwnd);
}

TEST(JournalChild, DISABLED_TakesOverTwo) {
  ASSERT_TRUE(platform::OpenDevice(ChildRoot()).ok());
  HWND hwnd = MakeWindow();
  BOOL taken_over = FALSE;
  ASSERT_TRUE(CeOpenNotificationJournal(kJournal, &taken_over));
  EXPECT_TRUE(taken_over);
  HANDLE watched = Open(u"watched", hwnd);
  ASSERT_NE(watched, INVALID_HANDLE_VALUE);
  EXPECT_EQ(TakeNotifications(hwnd).size(), 2u);
}

TEST_F(JournalTest, AClosedJournalRecordsNothingMoreAndStartsAfresh) {
  ASSERT_EQ(RunChild(device_.root(), "none").exit_code, 0);
  Write(3);
  EXPECT_EQ(LoggedNotifications(), 3);  // kept for the dead holder
  ASSERT_TRUE(CeOpenNotificationJournal(kJournal, nullptr));
  ASSERT_TRUE(CeCloseNotificationJournal());
  EXPECT_EQ(LoggedNotifications(), 0);
  Write(2);
  EXPECT_EQ(LoggedNotifications(), 0);
  BOOL taken_over = TRUE;
  ASSERT_TRUE(CeOpenNotificationJournal(kJournal, &taken_over));
  EXPECT_FALSE(taken_over);
  ASSERT_TRUE(CeCloseNotificationJournal());
}

TEST_F(JournalTest, AcknowledgedRowsArePruned) {
  HWND hwnd = MakeWindow();
  ASSERT_TRUE(CeOpenNotificationJournal(kJournal, nullptr));
  HANDLE watched = Open(u"watched", hwnd);
  ASSERT_TRUE(CeFlushNotifications());
  Write(10);
  ASSERT_TRUE(CeFlushNotifications());
  MSG msg;
  int taken = 0;
  while (PeekMessageW(&msg, hwnd, DB_CEOID_CREATED, DB_CEOID_CHANGED, PM_REMOVE)) ++taken;
  EXPECT_EQ(taken, 10);
  EXPECT_TRUE(CeAcknowledgeNotification());
  // A message that is no notification of the journal cannot be
  // acknowledged.
  PostMessageW(hwnd, WM_APP, 0, 0);
  ASSERT_TRUE(PeekMessageW(&msg, hwnd, 0, 0, PM_REMOVE));
  EXPECT_FALSE(CeAcknowledgeNotification());
  EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);
  // Housekeeping writes the acknowledgement and prunes within a second or
  // two.
  for (int i = 0; i < 40 && LoggedNotifications() != 0; ++i) Sleep(100);
  EXPECT_EQ(LoggedNotifications(), 0);
  CloseHandle(watched);
  ASSERT_TRUE(CeCloseNotificationJournal());
  DestroyWindow(hwnd);
}

TEST(PeekMessageTest, TakesOnlyMatchingPostedMessagesWithoutWaiting) {
  hmtest::TempDevice device;
  HWND a = MakeWindow();
  HWND b = MakeWindow();
  PostMessageW(a, WM_APP + 1, 1, 0);
  PostMessageW(b, WM_APP + 2, 2, 0);
  PostMessageW(a, WM_APP + 3, 3, 0);
  MSG msg;
  ASSERT_TRUE(PeekMessageW(&msg, b, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.wParam, 2u);
  ASSERT_TRUE(PeekMessageW(&msg, 0, WM_APP + 3, WM_APP + 3, PM_REMOVE));
  EXPECT_EQ(msg.wParam, 3u);
  EXPECT_FALSE(PeekMessageW(&msg, a, WM_APP + 2, WM_APP + 3, PM_REMOVE));
  EXPECT_FALSE(PeekMessageW(&msg, a, 0, 0, 0));  // only PM_REMOVE
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  ASSERT_TRUE(PeekMessageW(&msg, 0, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.wParam, 1u);
  EXPECT_FALSE(PeekMessageW(&msg, 0, 0, 0, PM_REMOVE));
  DestroyWindow(a);
  DestroyWindow(b);
}

}  // namespace
