// HM_THREADING_TEST
#include "platform/window.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "platform/fault.h"
#include "platform/kernel.h"
#include "platform/mutex.h"
#include "tests/support/temp_device.h"

namespace {

constexpr UINT kEcho = WM_APP + 1;     // returns wParam + lParam
constexpr UINT kCounted = WM_APP + 2;  // posted in sequence 1, 2, 3...
constexpr UINT kCheck = WM_APP + 3;    // how many kCounted came in order, -1 if out of order

// What the test procedure saw; reset by each test's fixture.
struct Seen {
  platform::Mutex mu;
  std::vector<UINT> messages GUARDED_BY(mu);
  std::vector<WPARAM> timer_ids GUARDED_BY(mu);
  int in_order = 0;
  bool destroy_in_create = false;
  bool quit_on_destroy = true;
};
Seen* seen = nullptr;

LRESULT TestProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  {
    platform::MutexLock lock(&seen->mu);
    seen->messages.push_back(message);
  }
  switch (message) {
    case WM_CREATE:
      if (seen->destroy_in_create) DestroyWindow(hwnd);
      return 0;
    case WM_DESTROY:
      if (seen->quit_on_destroy) PostQuitMessage(7);
      return 0;
    case WM_TIMER: {
      platform::MutexLock lock(&seen->mu);
      seen->timer_ids.push_back(wparam);
      return 0;
    }
    case kEcho:
      return static_cast<LRESULT>(wparam) + lparam;
    case kCounted:
      if (seen->in_order >= 0) {
        seen->in_order = static_cast<int>(wparam) == seen->in_order + 1 ? seen->in_order + 1 : -1;
      }
      return 0;
    case kCheck:
      return seen->in_order;
    default:
      return DefWindowProcW(hwnd, message, wparam, lparam);
  }
}

std::vector<UINT> SeenMessages() {
  platform::MutexLock lock(&seen->mu);
  return seen->messages;
}

// Runs the message loop until WM_QUIT; its wParam.
WPARAM PumpUntilQuit() {
  MSG msg;
  while (GetMessageW(&msg, 0, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return msg.wParam;
}

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    seen = &seen_;
    WNDCLASSW wc{};
    wc.lpfnWndProc = &TestProc;
    wc.lpszClassName = kClass;
    ASSERT_NE(RegisterClassW(&wc), 0);
  }
  void TearDown() override {
    // Leaves this thread's queue empty for the next test (quit requests
    // collapse into one).
    PostQuitMessage(0);
    PumpUntilQuit();
    UnregisterClassW(kClass, 0);
    seen = nullptr;
  }
  HWND Create(LPCWSTR name = u"main") {
    return CreateWindowExW(0, kClass, name, WS_VISIBLE, CW_USEDEFAULT, CW_USEDEFAULT,
                           CW_USEDEFAULT, CW_USEDEFAULT, 0, 0, 0, nullptr);
  }

  static constexpr LPCWSTR kClass = u"Test Window Class";
  hmtest::TempDevice device_;
  Seen seen_;
};

TEST_F(WindowTest, CreateSendsCreateAndDestroyEndsTheLoop) {
  HWND hwnd = Create();
  ASSERT_NE(hwnd, 0u);
  EXPECT_EQ(SeenMessages(), std::vector<UINT>{WM_CREATE});
  // Class and window names compare without regard to case.
  EXPECT_EQ(FindWindowW(u"test WINDOW class", nullptr), hwnd);
  EXPECT_EQ(FindWindowW(u"Test Window Class", u"MAIN"), hwnd);
  EXPECT_EQ(FindWindowW(u"Test Window Class", u"other"), 0u);
  EXPECT_EQ(FindWindowW(u"No Such Class", nullptr), 0u);

  EXPECT_TRUE(PostMessageW(hwnd, WM_CLOSE, 0, 0));
  EXPECT_EQ(PumpUntilQuit(), 7u);
  EXPECT_EQ(SeenMessages(), (std::vector<UINT>{WM_CREATE, WM_CLOSE, WM_DESTROY}));
  EXPECT_EQ(FindWindowW(kClass, nullptr), 0u);
  EXPECT_EQ(SendMessageW(hwnd, kEcho, 1, 2), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_FALSE(PostMessageW(hwnd, kEcho, 1, 2));
  EXPECT_FALSE(DestroyWindow(hwnd));
}

TEST_F(WindowTest, WindowDestroyedDuringCreateIsNotReturned) {
  seen_.destroy_in_create = true;
  EXPECT_EQ(Create(), 0u);
  EXPECT_EQ(SeenMessages(), (std::vector<UINT>{WM_CREATE, WM_DESTROY}));
  EXPECT_EQ(FindWindowW(kClass, nullptr), 0u);
  // The quit posted during creation ends the loop at once.
  EXPECT_EQ(PumpUntilQuit(), 7u);
}

TEST_F(WindowTest, ClassErrors) {
  WNDCLASSW wc{};
  wc.lpfnWndProc = &TestProc;
  wc.lpszClassName = u"TEST window class";
  EXPECT_EQ(RegisterClassW(&wc), 0);
  EXPECT_EQ(GetLastError(), ERROR_CLASS_ALREADY_EXISTS);
  wc.lpfnWndProc = nullptr;
  EXPECT_EQ(RegisterClassW(&wc), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(CreateWindowExW(0, u"Unregistered", nullptr, 0, 0, 0, 0, 0, 0, 0, 0, nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_CLASS_DOES_NOT_EXIST);
}

TEST_F(WindowTest, SendOnTheOwningThreadCallsTheProcedureDirectly) {
  HWND hwnd = Create();
  EXPECT_EQ(SendMessageW(hwnd, kEcho, 40, 2), 42);
  EXPECT_EQ(SendMessageW(hwnd, kEcho, 0xFFFFFFFFu, 1), 0);
  EXPECT_TRUE(DestroyWindow(hwnd));
}

TEST_F(WindowTest, MessagesFromAnotherThreadKeepQueueOrder) {
  HWND hwnd = Create();
  constexpr int kPosts = 500;
  LRESULT checked = 0;
  LRESULT echoed = 0;
  std::thread other([&] {
    for (int i = 1; i <= kPosts; ++i) ASSERT_TRUE(PostMessageW(hwnd, kCounted, i, 0));
    // A send from another thread is handled after what was posted before it.
    checked = SendMessageW(hwnd, kCheck, 0, 0);
    echoed = SendMessageW(hwnd, kEcho, 5, 6);
    PostMessageW(hwnd, WM_CLOSE, 0, 0);
  });
  EXPECT_EQ(PumpUntilQuit(), 7u);
  other.join();
  EXPECT_EQ(checked, kPosts);
  EXPECT_EQ(echoed, 11);
}

BOOL AcceptEcho(UINT message) { return message == kEcho ? TRUE : FALSE; }

// A thread that waits for something else answers the sent messages it
// accepts; the posted ones and the other sent ones keep their order.
TEST_F(WindowTest, DispatchSentMessagesRunsOnlyTheAcceptedOnes) {
  HWND hwnd = Create();
  ASSERT_TRUE(PostMessageW(hwnd, kCounted, 1, 0));
  LRESULT checked = -2;
  std::thread checker([&] {
    checked = SendMessageW(hwnd, kCheck, 0, 0);
    PostMessageW(hwnd, WM_CLOSE, 0, 0);
  });
  LRESULT echoed = 0;
  std::thread echoer([&] { echoed = SendMessageW(hwnd, kEcho, 5, 6); });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  UINT ran = 0;
  while (ran == 0 && std::chrono::steady_clock::now() < deadline) {
    ran = DispatchSentMessagesW(AcceptEcho);
    if (ran == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  echoer.join();
  EXPECT_EQ(ran, 1u);
  EXPECT_EQ(echoed, 11);
  // Neither the posted message nor the refused send has run yet.
  const std::vector<UINT> before = SeenMessages();
  EXPECT_EQ(std::count(before.begin(), before.end(), kCounted), 0);
  EXPECT_EQ(std::count(before.begin(), before.end(), kCheck), 0);
  EXPECT_EQ(PumpUntilQuit(), 7u);
  checker.join();
  EXPECT_EQ(checked, 1);  // after the message posted before it
  EXPECT_EQ(DispatchSentMessagesW(nullptr), 0u);
}

TEST_F(WindowTest, PostedMessagesComeBeforeQuit) {
  HWND hwnd = Create();
  seen_.quit_on_destroy = false;
  PostQuitMessage(3);
  PostMessageW(hwnd, kCounted, 1, 0);
  PostMessageW(hwnd, kCounted, 2, 0);
  EXPECT_EQ(PumpUntilQuit(), 3u);
  EXPECT_EQ(SendMessageW(hwnd, kCheck, 0, 0), 2);
  DestroyWindow(hwnd);
}

TEST_F(WindowTest, DestroyOnlyFromTheOwningThread) {
  HWND hwnd = Create();
  BOOL destroyed = TRUE;
  DWORD error = 0;
  std::thread([&] {
    destroyed = DestroyWindow(hwnd);
    error = GetLastError();
  }).join();
  EXPECT_FALSE(destroyed);
  EXPECT_EQ(error, ERROR_ACCESS_DENIED);
  EXPECT_TRUE(DestroyWindow(hwnd));
}

TEST_F(WindowTest, WindowsOfAnEndedThreadAreGone) {
  HWND hwnd = 0;
  std::thread([&] { hwnd = Create(u"orphan"); }).join();
  ASSERT_NE(hwnd, 0u);
  EXPECT_EQ(FindWindowW(kClass, nullptr), 0u);
  EXPECT_EQ(SendMessageW(hwnd, kEcho, 1, 1), 0);
}

TEST_F(WindowTest, SenderIsReleasedWhenTheTargetThreadEnds) {
  std::atomic<HWND> hwnd{0};
  std::atomic<bool> stop{false};
  std::thread owner([&] {
    hwnd = Create(u"leaving");
    while (!stop) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // Ends without pumping: the queued send must not keep its sender waiting.
  });
  while (hwnd == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::thread sender([&] { EXPECT_EQ(SendMessageW(hwnd, kEcho, 1, 1), 0); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  stop = true;
  owner.join();
  sender.join();
}

// What crashed processes may leave in the runtime folder: registrations whose
// socket is gone or was never a socket, and files cut short or garbled.
TEST_F(WindowTest, LeftoversOfDeadProcessesAreNeverFound) {
  std::string run = device_.root() + "/run";
  std::filesystem::create_directories(run);
  // The class name as a registration holds it: UTF-16 code units in hex.
  std::string valid_class;
  for (char16_t c : std::u16string(kClass)) {
    char unit[8];
    std::snprintf(unit, sizeof unit, "%04x", static_cast<unsigned>(c));
    valid_class += unit;
  }
  std::ofstream(run + "/not-a-socket") << "x";
  struct Leftover {
    const char* file;
    std::string text;
    bool removed;  // a well-formed registration of a dead owner is cleaned up
  };
  const Leftover leftovers[] = {
      {"w-00000100", "pid 1\nsocket " + run + "/p1-gone.sock\nclass " + valid_class + "\nname \n", true},
      {"w-00000101", "pid 1\nsocket " + run + "/not-a-socket\nclass " + valid_class + "\nname \n", true},
      {"w-00000102", "pid 1\nsocket @hollowmarch-gone\nclass " + valid_class + "\nname \n", true},
      {"w-00000103", "pid 1\nsocket " + run + "/p1-gone.sock\nclass " + valid_class, false},
      {"w-00000104", "pid x\nsocket /\nclass " + valid_class + "\nname \n", false},
      {"w-00000105", "", false},
      {"w-zzzzzzzz", "pid 1\n", false},
  };
  for (const Leftover& l : leftovers) std::ofstream(run + "/" + l.file) << l.text;

  EXPECT_EQ(FindWindowW(kClass, nullptr), 0u);
  for (const Leftover& l : leftovers) {
    EXPECT_EQ(std::filesystem::exists(run + "/" + l.file), !l.removed) << "case " << l.file;
  }
  // What a registration names is not deleted unless it is a dead socket.
  EXPECT_TRUE(std::filesystem::exists(run + "/not-a-socket"));
  EXPECT_EQ(SendMessageW(0x100, kEcho, 1, 1), 0);
  EXPECT_FALSE(PostMessageW(0x101, kEcho, 1, 1));
  // A live window of the class is still found among the leftovers.
  HWND hwnd = Create();
  EXPECT_EQ(FindWindowW(kClass, nullptr), hwnd);
  DestroyWindow(hwnd);
}

TEST_F(WindowTest, FailureSeam) {
  HWND hwnd = Create();
  platform::fault::FailNext(platform::fault::Call::kSendMessageW, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(SendMessageW(hwnd, kEcho, 1, 2), 0);
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(SendMessageW(hwnd, kEcho, 1, 2), 3);

  platform::fault::FailNext(platform::fault::Call::kPostMessageW, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_FALSE(PostMessageW(hwnd, kCounted, 1, 0));
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_TRUE(PostMessageW(hwnd, kCounted, 1, 0));
  EXPECT_TRUE(PostMessageW(hwnd, WM_CLOSE, 0, 0));
  PumpUntilQuit();
  // The failed post left nothing in the queue: the one that succeeded is 1.
  EXPECT_EQ(seen_.in_order, 1);
}

TEST_F(WindowTest, TimersFireAtTheirPeriodUntilKilled) {
  HWND hwnd = Create();
  // A day-long timer beside a short one: the long one must not fire early
  // through an overflow of its period.
  EXPECT_EQ(SetTimer(hwnd, 1, 86400000u, nullptr), 1u);
  EXPECT_EQ(SetTimer(hwnd, 2, 0xFFFFFFFFu, nullptr), 2u);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(SetTimer(hwnd, 3, 15, nullptr), 3u);
  MSG msg;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(GetMessageW(&msg, 0, 0, 0));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_TIMER));
    EXPECT_EQ(msg.hwnd, hwnd);
    DispatchMessageW(&msg);
  }
  // Never earlier than the period.
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(45));
  {
    platform::MutexLock lock(&seen_.mu);
    EXPECT_EQ(seen_.timer_ids, (std::vector<WPARAM>{3, 3, 3}));
  }

  // A thread that was busy for several periods gets one tick, not a backlog:
  // the tick after it comes a whole period later.
  std::this_thread::sleep_for(std::chrono::milliseconds(80));
  ASSERT_TRUE(GetMessageW(&msg, 0, 0, 0));
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_TIMER));
  auto late_tick = std::chrono::steady_clock::now();
  ASSERT_TRUE(GetMessageW(&msg, 0, 0, 0));
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_TIMER));
  // A period after the late tick fired, which was a little before
  // GetMessageW returned it and late_tick was read (microseconds; more
  // under a sanitizer): a backlog would come at once.
  EXPECT_GE(std::chrono::steady_clock::now() - late_tick, std::chrono::milliseconds(14));
  EXPECT_TRUE(KillTimer(hwnd, 3));
  EXPECT_FALSE(KillTimer(hwnd, 3));
  // With the short timer gone, only the posted message arrives.
  PostMessageW(hwnd, kCounted, 1, 0);
  ASSERT_TRUE(GetMessageW(&msg, 0, 0, 0));
  EXPECT_EQ(msg.message, kCounted);
  EXPECT_TRUE(DestroyWindow(hwnd));
  // The window's timers went with it.
  EXPECT_FALSE(KillTimer(hwnd, 1));
}

UINT timer_proc_calls = 0;
void CountingTimerProc(HWND, UINT message, UINT id, DWORD) {
  if (message == WM_TIMER && id == 9) ++timer_proc_calls;
}

TEST_F(WindowTest, TimerProcedureReplacesTheWindowProcedure) {
  HWND hwnd = Create();
  timer_proc_calls = 0;
  SetTimer(hwnd, 9, 10, &CountingTimerProc);
  MSG msg;
  ASSERT_TRUE(GetMessageW(&msg, 0, 0, 0));
  DispatchMessageW(&msg);
  EXPECT_EQ(timer_proc_calls, 1u);
  {
    platform::MutexLock lock(&seen_.mu);
    EXPECT_TRUE(seen_.timer_ids.empty());
  }
  DestroyWindow(hwnd);
}

TEST(StringTableTest, LoadStringCopiesAndTruncates) {
  static const StringResource kTable[] = {{201, u"Hollowmarch"}, {101, u"Unable"}};
  RegisterStringTable(kTable, 2);
  struct Case {
    const char* name;
    UINT id;
    int buffer_chars;
    int expected;
    std::u16string text;
  };
  const Case cases[] = {
      {"whole", 201, 256, 11, u"Hollowmarch"},
      {"exact fit with the NUL", 201, 12, 11, u"Hollowmarch"},
      {"truncated", 201, 5, 4, u"Holl"},
      {"only the NUL", 101, 1, 0, u""},
      {"unknown id", 999, 16, 0, u""},
  };
  for (const Case& c : cases) {
    std::u16string buffer(260, u'#');
    EXPECT_EQ(LoadStringW(0, c.id, buffer.data(), c.buffer_chars), c.expected) << "case " << c.name;
    EXPECT_EQ(std::u16string(buffer.c_str()), c.text) << "case " << c.name;
  }
  RegisterStringTable(nullptr, 0);
}

TEST(ScreenStandInTest, MessageBoxIsOneLineOnStandardError) {
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(MessageBoxW(0, u"Unable to add change notification", u"Caf\u00e9 Server", MB_OK),
            IDOK);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Caf\xc3\xa9 Server: Unable to add change notification\n");
}

TEST_F(WindowTest, ScreenStandInsBehaveAsForAHiddenWindow) {
  HWND hwnd = Create();
  EXPECT_EQ(CommandBar_Create(0, hwnd, 1), 0u);
  EXPECT_EQ(CommandBar_Height(0), 0);
  EXPECT_TRUE(ShowWindow(hwnd, SW_HIDE));  // it was created visible
  EXPECT_FALSE(ShowWindow(hwnd, SW_HIDE));
  EXPECT_TRUE(UpdateWindow(hwnd));
  RECT rect{};
  EXPECT_TRUE(GetClientRect(hwnd, &rect));
  EXPECT_GT(rect.right, rect.left);
  EXPECT_GT(rect.bottom, rect.top);
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(hwnd, &paint);
  EXPECT_NE(dc, 0u);
  EXPECT_GT(DrawTextW(dc, u"Welcome", -1, &rect, DT_CENTER | DT_VCENTER | DT_SINGLELINE), 0);
  EXPECT_TRUE(EndPaint(hwnd, &paint));
  EXPECT_NE(LoadIconW(0, MAKEINTRESOURCEW(102)), 0u);
  EXPECT_NE(GetStockObject(WHITE_BRUSH), 0u);
  DestroyWindow(hwnd);
  EXPECT_FALSE(GetClientRect(hwnd, &rect));
}

}  // namespace
