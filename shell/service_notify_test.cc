// What the window tells a service manager over its life, with the window in
// this process and the manager a socket of the test.
#include "shell/service_notify.h"

#include <stdlib.h>

#include <chrono>
#include <memory>
#include <string>

#include "gtest/gtest.h"
#include "platform/fault.h"
#include "platform/window.h"
#include "platform/winsock.h"
#include "shell/process_objects.h"
#include "shell/string_table.h"
#include "shell/window_proc.h"
#include "tests/support/process.h"
#include "tests/support/service_manager.h"
#include "tests/support/temp_device.h"

namespace {

using namespace std::chrono_literals;
using hmtest::FakeServiceManager;
using platform::fault::Call;

class ServiceNotifyTest : public ::testing::Test {
 protected:
  ServiceNotifyTest() : manager_(dir_.path()) {}

  void SetUp() override {
    RegisterProgramStrings();
    hInstMain = 1;
    LoadStringW(hInstMain, IDS_APP_TITLE, szTitle, 256);
    WNDCLASSW wc{};
    wc.lpfnWndProc = MainWindowProc;
    wc.lpszClassName = szTitle;
    RegisterClassW(&wc);
  }

  void TearDown() override {
    if (window_ != 0) SendMessageW(window_, WM_CLOSE, 0, 0);
    pProcessObjects = nullptr;
    objects_.reset();
    unsetenv("NOTIFY_SOCKET");
  }

  HWND Create() {
    port_ = hmtest::FreePort();
    objects_ = std::make_unique<ProcessObjects>(port_);
    pProcessObjects = objects_.get();
    window_ = CreateWindowExW(0, szTitle, szTitle, WS_VISIBLE, CW_USEDEFAULT, CW_USEDEFAULT,
                              CW_USEDEFAULT, CW_USEDEFAULT, 0, 0, hInstMain, nullptr);
    return window_;
  }

  std::string Listening() { return "Listening on every address, port " + std::to_string(port_); }

  hmtest::TempDevice device_;
  hmtest::TempDir dir_;
  FakeServiceManager manager_;
  std::unique_ptr<ProcessObjects> objects_;
  HWND window_ = 0;
  int port_ = 0;
};

TEST_F(ServiceNotifyTest, RestartsAreToldAndAFinalFailureStops) {
  setenv("NOTIFY_SOCKET", manager_.path().c_str(), 1);
  ASSERT_NE(Create(), 0u);
  std::optional<std::string> ready = manager_.Next(1s);
  ASSERT_TRUE(ready);
  EXPECT_EQ(*ready, "READY=1\nSTATUS=" + Listening() + "; no class tracked");

  // The second attempt of the restart succeeds.
  platform::fault::FailNext(Call::kBind, winsock::WSAEADDRINUSE, 1);
  SendMessageW(window_, WM_RESTART_SERVER, 0, 0);
  std::optional<std::string> restarted = manager_.Next(1s);
  ASSERT_TRUE(restarted) << manager_.All();
  EXPECT_EQ(*restarted, "STATUS=" + Listening() + " (server restarted 1 time); no class tracked");

  // Every attempt fails: the window closes itself.
  platform::fault::FailNext(Call::kBind, winsock::WSAEADDRINUSE, 3);
  testing::internal::CaptureStderr();
  SendMessageW(window_, WM_RESTART_SERVER, 0, 0);
  testing::internal::GetCapturedStderr();
  window_ = 0;
  std::optional<std::string> stopping = manager_.Next(1s);
  ASSERT_TRUE(stopping) << manager_.All();
  EXPECT_TRUE(FakeServiceManager::HasLine(*stopping, "STOPPING=1")) << *stopping;
}

TEST_F(ServiceNotifyTest, WithoutNotifySocketNothingIsSent) {
  unsetenv("NOTIFY_SOCKET");
  ASSERT_NE(Create(), 0u);
  SendMessageW(window_, WM_RESTART_SERVER, 0, 0);
  SendMessageW(window_, WM_CLOSE, 0, 0);
  window_ = 0;
  EXPECT_FALSE(manager_.Next(100ms)) << manager_.All();
}

}  // namespace
