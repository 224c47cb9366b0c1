#include "shell/window_proc.h"

#include <string>

#include "gtest/gtest.h"
#include "platform/device.h"
#include "platform/fault.h"
#include "platform/object_store.h"
#include "platform/window.h"
#include "platform/winsock.h"
#include "settings/registry_store.h"
#include "shell/process_objects.h"
#include "shell/string_table.h"
#include "tests/support/process.h"
#include "tests/support/temp_device.h"
#include "tracking/change_log.h"
#include "tracking/tracked_db.h"

namespace {

using platform::fault::Call;

// The hidden window of a program, in this process, on a fresh device.
class WindowProcTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterProgramStrings();
    hInstMain = 1;
    LoadStringW(hInstMain, IDS_APP_TITLE, szTitle, 256);
    static bool registered = false;
    if (!registered) {
      WNDCLASSW wc{};
      wc.lpfnWndProc = MainWindowProc;
      wc.lpszClassName = szTitle;
      registered = RegisterClassW(&wc) != 0;
    }
  }

  void TearDown() override {
    if (window_ != 0 && objects_ != nullptr) SendMessageW(window_, WM_CLOSE, 0, 0);
    pProcessObjects = nullptr;
    objects_.reset();
  }

  HWND Create() {
    objects_ = std::make_unique<ProcessObjects>(hmtest::FreePort());
    pProcessObjects = objects_.get();
    window_ = CreateWindowExW(0, szTitle, szTitle, WS_VISIBLE, CW_USEDEFAULT, CW_USEDEFAULT,
                              CW_USEDEFAULT, CW_USEDEFAULT, 0, 0, hInstMain, nullptr);
    return window_;
  }

  DWORD TrackedClasses() {
    platform::MutexLock locked(&TrackingState::systemLock);
    DWORD mask = 0;
    for (TrackedDb* n = objects_->tracking.trackedDbs.pHead; n != nullptr; n = n->pNext) {
      mask |= n->dwClass == 24 ? 1 : n->dwClass == 25 ? 2 : n->dwClass == 26 ? 4 : n->dwClass == 291 ? 8 : 16;
    }
    return mask;
  }

  hmtest::TempDevice device_;
  std::unique_ptr<ProcessObjects> objects_;
  HWND window_ = 0;
};

TEST_F(WindowProcTest, CreationTracksTheClassesOfThePlatformVersion) {
  struct Case {
    const char* version;
    DWORD classes;
  } cases[] = {{"1.0", 1 | 2 | 4}, {"3.0", 1 | 2 | 4 | 8 | 16}};
  const struct {
    const char16_t* name;
    DWORD type;
  } databases[] = {{u"Contacts", 24}, {u"Calendar", 25}, {u"Tasks", 26}, {u"Notes", 291}};
  for (const auto& d : databases) ASSERT_NE(CeCreateDatabase(d.name, d.type, 0, nullptr), 0u);
  CeCreateDatabase(u"pmailMsgs", 0, 0, nullptr);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "os-version " << c.version);
    ASSERT_TRUE(platform::SetDeviceSetting("os-version", c.version).ok());
    // A state left tracking by a start on another version (just booted, so
    // a tracked class would keep it).
    platform::fault::SetUptimeMs(1000);
    SyncStateCache scratch;
    for (DWORD dataClass : {kNotesDataClass, kMailDataClass}) {
      ASSERT_TRUE(SetSyncState(scratch, dataClass, SyncStateTracking));
      ASSERT_TRUE(SetSyncTime(dataClass, 1000));
    }
    ASSERT_NE(Create(), 0u) << c.version;
    EXPECT_EQ(TrackedClasses(), c.classes) << c.version;
    EXPECT_EQ(hwndMain, window_);
    if ((c.classes & 8) == 0) {
      // Nothing watches notes or mail there: neither may read complete.
      platform::MutexLock locked(&TrackingState::systemLock);
      for (DWORD dataClass : {kNotesDataClass, kMailDataClass}) {
        EXPECT_EQ(GetSyncState(objects_->tracking.syncStates, dataClass), SyncStateLost) << dataClass;
        EXPECT_EQ(GetSyncTime(dataClass), 0u) << dataClass;
      }
    }
    SendMessageW(window_, WM_CLOSE, 0, 0);
    window_ = 0;
  }
}

TEST_F(WindowProcTest, AFailedStartClosesTheWindowDuringItsCreation) {
  platform::fault::FailNext(Call::kBind, winsock::WSAEADDRINUSE);
  testing::internal::CaptureStderr();
  EXPECT_EQ(Create(), 0u);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(objects_->fServerStartFailed);
  EXPECT_NE(err.find("already in use"), std::string::npos) << err;
  EXPECT_EQ(FindWindowW(szTitle, nullptr), 0u);
}

TEST_F(WindowProcTest, ARestartTriesThreeTimesThenGivesUp) {
  ASSERT_NE(Create(), 0u);
  // One failing start: the restart succeeds at its second attempt.
  platform::fault::FailNext(Call::kBind, winsock::WSAEADDRINUSE, 1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(SendMessageW(window_, 0x0464, 0, 0), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(FindWindowW(szTitle, nullptr), window_);

  platform::fault::FailNext(Call::kBind, winsock::WSAEADDRINUSE, 3);
  testing::internal::CaptureStderr();
  SendMessageW(window_, 0x0464, 0, 0);
  // The sound first, then the box (one line: caption and text), then the
  // close and its reason.
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "sound: Critical Stop\nHollowmarch Replication Server: Unable to initialize communication\n"
            "hollowmarch: closing: the sync server could not be started again; the server stops and the "
            "change logs are deleted\n");
  EXPECT_EQ(FindWindowW(szTitle, nullptr), 0u) << "the window closed itself";
  window_ = 0;
}

TEST_F(WindowProcTest, CaptureIsGatedAndAFailedAppendShowsTheError) {
  CEOID db = CeCreateDatabase(u"Contacts", 24, 0, nullptr);
  ASSERT_NE(Create(), 0u);
  TrackedDb* node;
  {
    platform::MutexLock locked(&TrackingState::systemLock);
    SetSyncState(objects_->tracking.syncStates, 24, SyncStateTracking);
    node = objects_->tracking.trackedDbs.FindTrackedByDb(db);
  }
  ASSERT_NE(node, nullptr);
  auto records = [&] {
    platform::MutexLock locked(&TrackingState::systemLock);
    CEOIDINFO info{};
    return CeOidGetInfo(node->pLog->LogDbOid(), &info) ? info.infDatabase.wNumRecords : -1;
  };

  objects_->tracking.capture.fCaptureSuppressed = 1;
  SendMessageW(window_, DB_CEOID_CHANGED, 77, static_cast<LPARAM>(db));
  EXPECT_EQ(records(), 0) << "suppressed";
  objects_->tracking.capture.fCaptureSuppressed = 0;
  SendMessageW(window_, DB_CEOID_CHANGED, 77, static_cast<LPARAM>(db));
  EXPECT_EQ(records(), 1);

  ASSERT_TRUE(platform::SetDeviceSetting("store-capacity", "1").ok());
  testing::internal::CaptureStderr();
  EXPECT_EQ(SendMessageW(window_, DB_CEOID_CREATED, 78, static_cast<LPARAM>(db)), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "sound: Critical Stop\nHollowmarch Replication Server: Unable to add change notification\n");
  {
    platform::MutexLock locked(&TrackingState::systemLock);
    EXPECT_EQ(GetSyncState(objects_->tracking.syncStates, 24), SyncStateLost);
  }
  EXPECT_EQ(FindWindowW(szTitle, nullptr), window_) << "still running";
}

TEST_F(WindowProcTest, OtherMessages) {
  ASSERT_NE(Create(), 0u);
  EXPECT_EQ(SendMessageW(window_, WM_HIBERNATE, 0, 0), 0);
  EXPECT_EQ(SendMessageW(window_, WM_TIMER, 42, 0), 0);  // any timer id purges
  EXPECT_EQ(SendMessageW(window_, WM_APP + 13, 5, 6), DefWindowProcW(window_, WM_APP + 13, 5, 6));
  EXPECT_EQ(SendMessageW(window_, WM_APP + 4, 0, 0), 13);
  EXPECT_EQ(SendMessageW(window_, WM_PAINT, 0, 0), 0);
}

}  // namespace
