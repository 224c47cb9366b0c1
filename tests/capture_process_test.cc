// Capture across processes: another process changes records with hmdevice;
// this process's window receives the object store's notifications through
// its message loop and records each change once, with its type, in the log
// of the database it happened in.
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/object_store.h"
#include "platform/window.h"
#include "settings/registry_store.h"
#include "tests/support/process.h"
#include "tests/support/temp_device.h"
#include "tracking/change_capture.h"
#include "tracking/change_log.h"
#include "tracking/record_reader.h"
#include "tracking/store_fixture.h"
#include "tracking/tracking_state.h"
#include "tracking/tracked_db.h"

namespace {

#ifdef HM_HMDEVICE_PATH

TrackingState* gTracking = nullptr;
int gNotifications = 0;
constexpr UINT kWakeTimer = 1;

LRESULT CaptureWindowProc(HWND hwnd, UINT message, WPARAM wParam,
                               LPARAM lParam) {
  switch (message) {
    case DB_CEOID_CREATED:
    case DB_CEOID_RECORD_DELETED:
    case DB_CEOID_CHANGED: {
      ++gNotifications;
      // Under the lock, as the program's window procedure captures.
      platform::MutexLock locked(&TrackingState::systemLock);
      return static_cast<LRESULT>(LogDbChange(*gTracking, message, wParam,
                                              static_cast<CEOID>(lParam)));
    }
    default:
      return DefWindowProcW(hwnd, message, wParam, lParam);
  }
}

// Runs hmdevice on the device; its standard output, trimmed.
std::string Hmdevice(const std::string& root, std::vector<std::string> args) {
  args.insert(args.begin(), {HM_HMDEVICE_PATH, "--root", root});
  hmtest::RunResult r = hmtest::Run(args);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  while (!r.out.empty() && (r.out.back() == '\n' || r.out.back() == '\r')) {
    r.out.pop_back();
  }
  return r.out;
}

// Pumps the window's messages until `count` notifications were handled (or
// twenty seconds passed: a sanitized build on a loaded machine is slow),
// then 100 ms more, so that a notification delivered
// twice would show. A timer wakes the loop to check.
void PumpNotifications(HWND hwnd, int count) {
  SetTimer(hwnd, kWakeTimer, 20, nullptr);
  int settleTicks = 0;
  for (int ticks = 0; ticks < 1000 && settleTicks < 5;) {
    MSG msg;
    if (GetMessageW(&msg, 0, 0, 0) <= 0) break;
    if (msg.message == WM_TIMER) {
      ++ticks;
      if (gNotifications >= count) ++settleTicks;
    }
    DispatchMessageW(&msg);
  }
  KillTimer(hwnd, kWakeTimer);
}

struct Change {
  BYTE type;
  CEOID oid;
  bool operator==(const Change&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Change& c) {
  return os << "{type " << int(c.type) << ", oid " << c.oid << "}";
}

// The records of a change log's database, in the order they were written
// (a load would fold the changes of one record into one entry).
std::vector<Change> LoggedChanges(const ChangeLog* log) REQUIRES(TrackingState::systemLock) {
  std::vector<Change> changes;
  ReadOnlyDb db(log->LogDbOid(), nullptr);
  if (!db.ok() || !db.SeekToStart()) return changes;
  RecordProps props;
  while (props.ReadNext(db.handle()) != 0) {
    const BYTE* b = props[0].val.blob.lpb;
    changes.push_back({b[0], CEOID(b[13]) | CEOID(b[14]) << 8 |
                                 CEOID(b[15]) << 16 | CEOID(b[16]) << 24});
  }
  return changes;
}

TEST(CaptureProcessTest, ChangesFromAnotherProcessAreLoggedOnceWithTheirType) {
  hmtest::TempDevice device;
  WNDCLASSW wc{};
  wc.lpfnWndProc = CaptureWindowProc;
  wc.lpszClassName = u"CaptureProcessTest";
  ASSERT_NE(RegisterClassW(&wc), 0);
  HWND hwnd = CreateWindowExW(0, u"CaptureProcessTest", u"capture", 0, 0, 0,
                              0, 0, 0, 0, 0, nullptr);
  ASSERT_NE(hwnd, 0u);

  // Two databases of one class: each change lands in its own database's log.
  CEOID contacts = fixture::CreateDb(u"Contacts", 24);
  CEOID archive = fixture::CreateDb(u"Archive", 24);
  TrackingState t(hwnd);
  gTracking = &t;
  gNotifications = 0;
  {
    platform::MutexLock locked(&TrackingState::systemLock);
    ASSERT_TRUE(t.trackedDbs.DiscoverClassDbs(24, false, hwnd));
    SetSyncState(t.syncStates, 24, SyncStateTracking);
  }

  const std::string root = device.root();
  CEOID rec = std::stoul(Hmdevice(root, {"rec", "add", "Contacts", "0x10013=1"}));
  Hmdevice(root, {"rec", "set", "Contacts", std::to_string(rec), "0x10013=2"});
  CEOID other = std::stoul(Hmdevice(root, {"rec", "add", "Archive", "0x10013=3"}));
  Hmdevice(root, {"rec", "delete", "Contacts", std::to_string(rec)});

  PumpNotifications(hwnd, 4);
  EXPECT_EQ(gNotifications, 4);

  platform::MutexLock locked(&TrackingState::systemLock);
  EXPECT_EQ(LoggedChanges(t.trackedDbs.FindTrackedByDb(contacts)->pLog),
            (std::vector<Change>{{ChangeTypeAdd, rec},
                                 {ChangeTypeModify, rec},
                                 {ChangeTypeDelete, rec}}));
  EXPECT_EQ(LoggedChanges(t.trackedDbs.FindTrackedByDb(archive)->pLog),
            (std::vector<Change>{{ChangeTypeAdd, other}}));

  t.trackedDbs.CloseAllTracked();
  DestroyWindow(hwnd);
  gTracking = nullptr;
}

#else

TEST(CaptureProcessTest, NeedsHmdevice) { GTEST_SKIP() << "hmdevice is not built"; }

#endif

}  // namespace
