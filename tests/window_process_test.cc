// Windows and messages between real processes of one device.
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/device.h"
#include "platform/kernel.h"
#include "platform/window.h"
#include "tests/support/process.h"
#include "tests/support/temp_device.h"

namespace {

using std::chrono::seconds;

constexpr LPCWSTR kClass = u"Peer Window";
constexpr UINT kEcho = WM_APP + 1;
constexpr UINT kCounted = WM_APP + 2;
constexpr UINT kCheck = WM_APP + 3;
constexpr UINT kDie = WM_APP + 4;
constexpr UINT kOnWindowThread = WM_APP + 5;

// A window_peer_helper process and the handle of its window.
struct PeerWindow {
  std::unique_ptr<hmtest::Process> process;
  HWND hwnd = 0;
};

PeerWindow StartPeer(const std::string& root, const std::string& class_name = "Peer Window") {
  PeerWindow peer;
  peer.process = std::make_unique<hmtest::Process>(
      std::vector<std::string>{HM_WINDOW_PEER_HELPER_PATH, root, class_name});
  if (!peer.process->WaitForOut("\n", seconds(10))) {
    ADD_FAILURE() << "the peer did not start: " << peer.process->Err();
    return peer;
  }
  std::string out = peer.process->Out();
  if (out.rfind("ready ", 0) == 0) peer.hwnd = static_cast<HWND>(std::stoul(out.substr(6)));
  return peer;
}

std::string HexHandle(HWND hwnd) {
  char text[16];
  std::snprintf(text, sizeof text, "%08x", hwnd);
  return text;
}

class WindowProcessTest : public ::testing::Test {
 protected:
  hmtest::TempDevice device_;
};

TEST_F(WindowProcessTest, SendAndPostReachAnotherProcess) {
  PeerWindow peer = StartPeer(device_.root());
  ASSERT_NE(peer.hwnd, 0u);
  EXPECT_EQ(FindWindowW(u"PEER WINDOW", nullptr), peer.hwnd);
  EXPECT_EQ(FindWindowW(kClass, u"peer"), peer.hwnd);
  EXPECT_EQ(FindWindowW(kClass, u"other"), 0u);

  // Only the three numbers cross; negative and full-width values survive.
  EXPECT_EQ(SendMessageW(peer.hwnd, kEcho, 40, 2), 42);
  EXPECT_EQ(SendMessageW(peer.hwnd, kEcho, 5, -7), -2);
  EXPECT_EQ(SendMessageW(peer.hwnd, kEcho, 0x7FFFFFFFu, 0), 0x7FFFFFFF);
  EXPECT_EQ(SendMessageW(peer.hwnd, kOnWindowThread, 0, 0), 1);

  constexpr int kPosts = 300;
  for (int i = 1; i <= kPosts; ++i) ASSERT_TRUE(PostMessageW(peer.hwnd, kCounted, i, 0));
  // The send is handled after every message posted before it, in order.
  EXPECT_EQ(SendMessageW(peer.hwnd, kCheck, 0, 0), kPosts);

  // A handle that no window has.
  EXPECT_EQ(SendMessageW(peer.hwnd + 1000, kEcho, 1, 1), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_FALSE(PostMessageW(peer.hwnd + 1000, kEcho, 1, 1));
}

TEST_F(WindowProcessTest, SynchronousCloseReturnsAfterTheProcedureFinished) {
  PeerWindow peer = StartPeer(device_.root());
  ASSERT_NE(peer.hwnd, 0u);
  EXPECT_EQ(SendMessageW(peer.hwnd, WM_CLOSE, 0, 0), 0);
  // The procedure wrote its line before it returned, and the send waited.
  EXPECT_NE(peer.process->Out().find("closed"), std::string::npos);
  EXPECT_EQ(FindWindowW(kClass, nullptr), 0u);
  hmtest::RunResult result;
  ASSERT_TRUE(peer.process->Wait(seconds(10), &result));
  EXPECT_EQ(result.exit_code, 0);
}

TEST_F(WindowProcessTest, KilledOwnerIsNeverFoundAndTheClassCanBeUsedAgain) {
  PeerWindow first = StartPeer(device_.root());
  ASSERT_NE(first.hwnd, 0u);
  ASSERT_EQ(FindWindowW(kClass, nullptr), first.hwnd);  // also caches a connection
  first.process->Signal(SIGKILL);
  ASSERT_TRUE(first.process->Wait(seconds(10)));

  EXPECT_EQ(FindWindowW(kClass, nullptr), 0u);
  // What the dead process left is cleaned up on the way.
  std::string dead_prefix = "p" + std::to_string(first.process->pid()) + "-";
  for (const auto& entry : std::filesystem::directory_iterator(device_.root() + "/run")) {
    std::string name = entry.path().filename().string();
    EXPECT_NE(name.rfind(dead_prefix, 0), 0u) << name;
    EXPECT_NE(name, "w-" + HexHandle(first.hwnd));
  }
  EXPECT_EQ(SendMessageW(first.hwnd, kEcho, 1, 1), 0);
  EXPECT_FALSE(PostMessageW(first.hwnd, kEcho, 1, 1));

  PeerWindow second = StartPeer(device_.root());
  ASSERT_NE(second.hwnd, 0u);
  EXPECT_NE(second.hwnd, first.hwnd);
  EXPECT_EQ(FindWindowW(kClass, nullptr), second.hwnd);
  EXPECT_EQ(SendMessageW(second.hwnd, kEcho, 2, 3), 5);
}

TEST_F(WindowProcessTest, SenderGetsZeroWhenTheTargetDiesDuringTheCall) {
  PeerWindow peer = StartPeer(device_.root());
  ASSERT_NE(peer.hwnd, 0u);
  EXPECT_EQ(SendMessageW(peer.hwnd, kDie, 0, 0), 0);
  ASSERT_TRUE(peer.process->Wait(seconds(10)));
  EXPECT_EQ(FindWindowW(kClass, nullptr), 0u);
}

TEST_F(WindowProcessTest, SingleInstanceLoopClosesEveryWindowOfTheClass) {
  PeerWindow a = StartPeer(device_.root());
  PeerWindow b = StartPeer(device_.root());
  PeerWindow other = StartPeer(device_.root(), "Other Class");
  ASSERT_NE(a.hwnd, 0u);
  ASSERT_NE(b.hwnd, 0u);
  std::vector<HWND> closed;
  while (HWND found = FindWindowW(kClass, nullptr)) {
    ASSERT_LT(closed.size(), 2u) << "a closed window was found again";
    closed.push_back(found);
    SendMessageW(found, WM_CLOSE, 0, 0);
  }
  EXPECT_EQ(closed.size(), 2u);
  EXPECT_TRUE(a.process->Wait(seconds(10)));
  EXPECT_TRUE(b.process->Wait(seconds(10)));
  // A window of another class is left alone.
  EXPECT_EQ(FindWindowW(u"other class", nullptr), other.hwnd);
}

TEST_F(WindowProcessTest, RuntimeFolderIsPrivateToTheOwner) {
  // Even when it was left open to others before.
  ::mkdir((device_.root() + "/run").c_str(), 0777);
  ASSERT_EQ(::chmod((device_.root() + "/run").c_str(), 0777), 0);
  PeerWindow peer = StartPeer(device_.root());
  ASSERT_NE(peer.hwnd, 0u);
  struct stat st;
  ASSERT_EQ(::stat((device_.root() + "/run").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

}  // namespace
