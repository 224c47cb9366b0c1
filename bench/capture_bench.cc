// Change capture: notifications handled per second from the window's
// message queue into the change log of an ordinary class, and the time of
// one mail notification whose folder record is the last one searched.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "platform/fault.h"
#include "platform/notification_journal.h"
#include "platform/object_store.h"
#include "platform/window.h"
#include "settings/registry_store.h"
#include "tests/support/temp_device.h"
#include "tracking/change_capture.h"
#include "tracking/mail_tracking.h"
#include "tracking/store_fixture.h"
#include "tracking/tracking_state.h"
#include "tracking/tracked_db.h"

namespace {

TrackingState* gTracking = nullptr;

LRESULT CaptureWindowProc(HWND hwnd, UINT message, WPARAM wParam,
                          LPARAM lParam) {
  if (message == DB_CEOID_CHANGED || message == DB_CEOID_CREATED ||
      message == DB_CEOID_RECORD_DELETED) {
    // Under the lock, as the program's window procedure captures.
    platform::MutexLock locked(&TrackingState::systemLock);
    return static_cast<LRESULT>(LogDbChange(*gTracking, message, wParam,
                                            static_cast<CEOID>(lParam)));
  }
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

HWND MakeWindow() {
  static bool registered = false;
  if (!registered) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = CaptureWindowProc;
    wc.lpszClassName = u"CaptureBench";
    RegisterClassW(&wc);
    registered = true;
  }
  return CreateWindowExW(0, u"CaptureBench", u"capture", 0, 0, 0, 0, 0, 0, 0,
                         0, nullptr);
}

// Each iteration posts a batch of notifications for distinct records of a
// tracked class-24 database and handles them through GetMessageW and
// DispatchMessageW, each appended to the class's change log.
// With `append` false the class is not being tracked: the same path up to
// the sync-state gate, without the change log's write, to show what capture
// itself costs.
void CaptureFromQueue(benchmark::State& state, bool append) {
  hmtest::TempDevice device;
  platform::fault::SetUptimeMs(120'000);
  HWND hwnd = MakeWindow();
  CEOID db = fixture::CreateDb(u"Contacts", 24);
  TrackingState t(hwnd);
  gTracking = &t;
  {
    platform::MutexLock locked(&TrackingState::systemLock);
    t.trackedDbs.DiscoverClassDbs(24, false, 0);
    SetSyncState(t.syncStates, 24, append ? SyncStateTracking : SyncStateNone);
  }

  const int batch = static_cast<int>(state.range(0));
  CEOID oid = 0x10000;
  for (auto _ : state) {
    for (int i = 0; i < batch; ++i) {
      PostMessageW(hwnd, DB_CEOID_CHANGED, ++oid, static_cast<LPARAM>(db));
    }
    for (int i = 0; i < batch; ++i) {
      MSG msg;
      GetMessageW(&msg, 0, 0, 0);
      if (DispatchMessageW(&msg) != 0) state.SkipWithError("append failed");
    }
  }
  state.SetItemsProcessed(state.iterations() * batch);
  {
    platform::MutexLock locked(&TrackingState::systemLock);
    t.trackedDbs.CloseAllTracked();
  }
  DestroyWindow(hwnd);
  gTracking = nullptr;
}
void BM_CaptureFromQueue(benchmark::State& state) { CaptureFromQueue(state, true); }
void BM_CaptureFromQueueUntracked(benchmark::State& state) {
  CaptureFromQueue(state, false);
}
BENCHMARK(BM_CaptureFromQueue)->Arg(100)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CaptureFromQueueUntracked)->Arg(100)->Unit(benchmark::kMillisecond);

// The program's own path: the notifications come from real writes through
// the notification journal (each carries its sequence), and are captured as
// the window does, in groups of up to kCaptureGroupMax sharing one store
// commit with the acknowledgement of the last. Each iteration writes
// `batch` records (not timed) and captures them.
void BM_CaptureGroupsFromJournal(benchmark::State& state) {
  hmtest::TempDevice device;
  platform::fault::SetUptimeMs(120'000);
  HWND hwnd = MakeWindow();
  CEOID db = fixture::CreateDb(u"Contacts", 24);
  TrackingState t(hwnd);
  gTracking = &t;
  if (!CeOpenNotificationJournal(u"capture bench", nullptr)) state.SkipWithError("no journal");
  {
    platform::MutexLock locked(&TrackingState::systemLock);
    t.trackedDbs.DiscoverClassDbs(24, false, hwnd);
    SetSyncState(t.syncStates, 24, SyncStateTracking);
  }
  CEOID oid = db;
  HANDLE writer = CeOpenDatabase(&oid, nullptr, 0, 0, 0);
  const int batch = static_cast<int>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    for (int i = 0; i < batch; ++i) {
      CEPROPVAL p = fixture::Ui4(0x10013, static_cast<DWORD>(i));
      CeWriteRecordProps(writer, 0, 1, &p);
    }
    CeFlushNotifications();
    state.ResumeTiming();
    WindowNotificationQueue queue(hwnd);
    Notification first;
    while (queue.Next(&first)) {
      if (CaptureNotifications(t, {first}, queue, nullptr) != 0) {
        state.SkipWithError("capture failed");
      }
    }
  }
  state.SetItemsProcessed(state.iterations() * batch);
  CloseHandle(writer);
  {
    platform::MutexLock locked(&TrackingState::systemLock);
    t.trackedDbs.CloseAllTracked();
  }
  CeCloseNotificationJournal();
  DestroyWindow(hwnd);
  gTracking = nullptr;
}
BENCHMARK(BM_CaptureGroupsFromJournal)->Arg(1000)->Unit(benchmark::kMillisecond);

// 5,000 messages filed in 10 folders of 500; the notification is on
// pmailMsgs for the message of the last record of the last folder, so the
// search reads every folder record before it finds it.
void BM_MailNotificationLastRecord(benchmark::State& state) {
  hmtest::TempDevice device;
  platform::fault::SetUptimeMs(120'000);
  TrackingState t;
  fixture::MailStore store = fixture::MakeMailStore();
  CEOID last = 0;
  for (int f = 0; f < 10; ++f) {
    std::u16string name = u"Folder " + std::u16string(1, u'0' + f);
    std::vector<fixture::Filed> filed;
    for (int m = 0; m < 500; ++m) {
      last = fixture::AddMessage(store);
      filed.push_back({last, static_cast<DWORD>(f * 1000 + m)});
    }
    fixture::MakeFolderDb(name, filed);
    fixture::NameFolders(store, {name});
  }
  platform::MutexLock locked(&TrackingState::systemLock);
  SetUpMailTracking(t, true);
  SetSyncState(t.syncStates, kMailDataClass, SyncStateTracking);
  t.messageUids.FreeAllMessageUids();  // no shortcut through the map

  UINT message = DB_CEOID_CHANGED;
  for (auto _ : state) {
    // Alternate the type so that no call is filtered as a repeat.
    message = message == DB_CEOID_CHANGED ? DB_CEOID_CREATED : DB_CEOID_CHANGED;
    if (LogDbChange(t, message, last, store.oidMsgs) != 0) {
      state.SkipWithError("append failed");
    }
  }
  t.trackedDbs.CloseAllTracked();
}
BENCHMARK(BM_MailNotificationLastRecord)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
