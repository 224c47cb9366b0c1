// HM_THREADING_TEST
// The listener and the connection loop, over real loopback sockets against
// a server started in the test on a free port: one connection at a time,
// the window messages it posts, the per-connection clean-up, and Stop's
// promises (each socket closed once, the worker ended, no deadlock with a
// worker waiting for the lock, no wait when there is nothing to wait for).
#include "server/sync_server.h"

#include <time.h>

#include <chrono>
#include <string>
#include <atomic>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "peer/device_requests.h"
#include "peer/frame.h"
#include "peer/peer_client.h"
#include "platform/fault.h"
#include "platform/registry.h"
#include "platform/window.h"
#include "server/framing.h"
#include "server/message_buffer.h"
#include "server/message_dispatch.h"
#include "server/protocol.h"
#include "server/sync_session.h"
#include "settings/registry_store.h"
#include "tests/support/process.h"
#include "tests/support/temp_device.h"
#include "tracking/tracking_state.h"

// What the tests look at inside the server.
class SyncServerTestPeer {
 public:
  static winsock::SOCKET Connection(SyncServer& server) { return server.sockConn.load(); }
  static winsock::SOCKET Listener(SyncServer& server) { return server.sockListen.load(); }
  static MessageBuffer& Reply(SyncServer& server) { return server.reply_; }
  static int Send(SyncServer& server) { return server.Send(); }
};

namespace {

using peer::Bytes;
using peer::PeerClient;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;
namespace fault = platform::fault;

constexpr UINT kSentinel = WM_APP + 0x77;
constexpr milliseconds kQuiet{200};
const Bytes kHelloOk{0xA0, 0x00, 0x0B, 0x10, 0x00, 0x08, 0x00, 0x49, 0x00, 0x04, 0x2D};
const Bytes kUnrecognised{0xD1, 0x00, 0x03};
const Bytes kRefused{0xD3, 0x00, 0x03};
const Bytes kStatusOk{0xA0, 0x00, 0x03};

LRESULT QuietProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  return DefWindowProcW(hwnd, message, wparam, lparam);
}

double ProcessCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<milliseconds>(Clock::now() - since).count());
}

void StorePort(DWORD port) {
  HKEY key = CreateSettingsKey();
  ASSERT_NE(key, 0u);
  ASSERT_EQ(RegSetValueExW(key, u"Port", 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&port), sizeof(port)),
            0);
  RegCloseKey(key);
}

class SyncServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = static_cast<DWORD>(hmtest::FreePort());
    StorePort(port_);
    WNDCLASSW wc{};
    wc.lpfnWndProc = &QuietProc;
    wc.lpszClassName = kClass;
    ASSERT_NE(RegisterClassW(&wc), 0);
    hwnd_ = CreateWindowExW(0, kClass, u"main", 0, 0, 0, 0, 0, 0, 0, 0, nullptr);
    ASSERT_NE(hwnd_, 0u);
    tracking_.hwndMain.store(hwnd_);
    server_ = std::make_unique<SyncServer>(dispatcher_, tracking_.hwndMain);
  }

  void TearDown() override {
    fault::Clear();
    server_.reset();
    DestroyWindow(hwnd_);
    UnregisterClassW(kClass, 0);
  }

  void Connect(PeerClient& peer) {
    std::string error;
    ASSERT_TRUE(peer.Connect("127.0.0.1", static_cast<uint16_t>(port_),
                             milliseconds(2000), &error))
        << error;
  }

  // The reply to `message` sent as one block, or empty when none came.
  static Bytes Ask(PeerClient& peer, const Bytes& message) {
    EXPECT_TRUE(peer.SendBytes(message));
    Bytes reply;
    if (peer.ReceiveFrame(&reply, milliseconds(3000)) != peer::ReceiveResult::kFrame)
      return {};
    return reply;
  }

  static Bytes HelloFrame() {
    return peer::Frame(peer::kMsgHello, peer::HelloPayload(peer::kIdentification));
  }

  // The messages posted to the window so far.
  std::vector<UINT> DrainPosted() {
    PostMessageW(hwnd_, kSentinel, 0, 0);
    std::vector<UINT> seen;
    MSG msg;
    while (GetMessageW(&msg, 0, 0, 0) > 0 && msg.message != kSentinel)
      seen.push_back(msg.message);
    return seen;
  }

  void WithLock(const std::function<void()>& f) {
    platform::MutexLock locked(&TrackingState::systemLock);
    f();
  }

  // Waits (briefly) until `condition` holds.
  static bool Eventually(const std::function<bool()>& condition) {
    const auto deadline = Clock::now() + milliseconds(3000);
    while (Clock::now() < deadline) {
      if (condition()) return true;
      std::this_thread::sleep_for(milliseconds(5));
    }
    return condition();
  }

  DWORD State() {
    platform::MutexLock locked(&TrackingState::systemLock);
    return session_.dwState;
  }

  static constexpr LPCWSTR kClass = u"Sync Server Test";
  hmtest::TempDevice device_;
  DWORD port_ = 0;
  HWND hwnd_ = 0;
  TrackingState tracking_;
  SyncSession session_;
  SessionDispatcher dispatcher_{session_, tracking_};
  std::unique_ptr<SyncServer> server_;
};

TEST_F(SyncServerTest, ServesOnePeerAfterAnotherOnTheRegistryPort) {
  EXPECT_EQ(server_->dwPort, port_);
  ASSERT_EQ(server_->Start(), 1);
  for (int round = 0; round < 2; ++round) {
    PeerClient peer;
    Connect(peer);
    EXPECT_EQ(Ask(peer, HelloFrame()), kHelloOk) << "round " << round;
    EXPECT_EQ(Ask(peer, {0x84, 0x00, 0x03}), kUnrecognised) << "round " << round;
    // The close is seen by the next receive and the next peer is served.
  }
}

// A connection that takes a few bytes per send still gets every reply
// whole and in order: the rest is sent until nothing is left.
TEST_F(SyncServerTest, RepliesTheConnectionTakesInPiecesArriveWhole) {
  ASSERT_EQ(server_->Start(), 1);
  PeerClient peer;
  Connect(peer);
  fault::SetSendLimit(5);
  EXPECT_EQ(Ask(peer, HelloFrame()), kHelloOk);
  Bytes timeZone;
  peer::Reply r = peer::QueryTimeZone(peer, &timeZone);
  EXPECT_TRUE(r.ok()) << r.error;
  EXPECT_EQ(timeZone.size(), 172u);
  EXPECT_EQ(Ask(peer, {0x84, 0x00, 0x03}), kUnrecognised) << "the stream is still in step";
}

// The listening socket is asked for up to three times, with a 4-second
// pause after every failure, the last one included.
TEST_F(SyncServerTest, AFailingSocketIsTriedThreeTimesFourSecondsApart) {
  struct Case {
    int failures;
    int started;
    std::vector<DWORD> sleeps;
  } cases[] = {
      {0, 1, {}},
      {2, 1, {4000, 4000}},
      {3, 0, {4000, 4000, 4000}},
  };
  fault::SetRecordSleeps(true);
  for (const Case& c : cases) {
    fault::FailNext(fault::Call::kSocket, winsock::WSAEMFILE, c.failures);
    EXPECT_EQ(server_->Start(), c.started) << c.failures << " failures";
    EXPECT_EQ(fault::TakeSleeps(), c.sleeps) << c.failures << " failures";
    platform::MutexLock locked(&TrackingState::systemLock);
    server_->StopReleasingLock();
  }
}

// The window thread starts the server holding the lock; the pause after a
// failed try is made with the lock released, so the worker of a peer (or
// anything else that needs the lock) is not held up for seconds.
TEST_F(SyncServerTest, AStartUnderTheLockPausesWithTheLockReleased) {
  fault::FailNext(fault::Call::kSocket, winsock::WSAEMFILE, 1);
  std::atomic<bool> returned{false};
  std::atomic<bool> takenDuringStart{false};
  std::thread other([&] {
    std::this_thread::sleep_for(milliseconds(300));
    if (TrackingState::systemLock.TryLockFor(2000)) {
      takenDuringStart = !returned.load();
      TrackingState::systemLock.Unlock();
    }
  });
  {
    platform::MutexLock locked(&TrackingState::systemLock);
    EXPECT_EQ(server_->StartReleasingLock(), 1);
    returned = true;
    EXPECT_TRUE(TrackingState::systemLock.HeldByCurrentThread());
  }
  other.join();
  EXPECT_TRUE(takenDuringStart);
  platform::MutexLock locked(&TrackingState::systemLock);
  server_->StopReleasingLock();
}

TEST_F(SyncServerTest, SendsNothingForAnEmptyReplyAndFailsWithoutAConnection) {
  MessageBuffer& reply = SyncServerTestPeer::Reply(*server_);
  reply.Clear();
  EXPECT_EQ(SyncServerTestPeer::Send(*server_), 0);
  ReplyStatusOnly(reply, STATUS_OK);
  EXPECT_EQ(SyncServerTestPeer::Send(*server_), kSendFailed);
  EXPECT_EQ(reply.Size(), 3u);
}

TEST_F(SyncServerTest, TwoBytesAreUnrecognisedEvenDuringAStream) {
  ASSERT_EQ(server_->Start(), 1);
  PeerClient peer;
  Connect(peer);
  ASSERT_EQ(Ask(peer, HelloFrame()), kHelloOk);
  WithLock([&] {
    session_.dwState = SessionStateStreaming;
    session_.fStreamDone = 1;
  });
  EXPECT_EQ(Ask(peer, {0x90, 0x00}), kUnrecognised);
  // Anything but an acknowledgement goes unanswered during the stream.
  ASSERT_TRUE(peer.SendBytes(HelloFrame()));
  EXPECT_TRUE(peer.NothingArrives(kQuiet));
  EXPECT_EQ(State(), SessionStateStreaming);
  // The acknowledgement of the last frame ends it, silently.
  ASSERT_TRUE(peer.SendBytes(Bytes{0x90, 0x00, 0x03}));
  EXPECT_TRUE(peer.NothingArrives(kQuiet));
  EXPECT_EQ(State(), SessionStateOpen);
  EXPECT_EQ(Ask(peer, HelloFrame()), kHelloOk);
}

// Every accepted connection finds a vanished peer by keepalive probes and
// a bound on unacknowledged sends; when the options cannot be set the peer
// is served without them.
TEST_F(SyncServerTest, AcceptedConnectionsCarryKeepaliveUnlessItCannotBeSet) {
  struct Option {
    const char* name;
    int level;
    int option;
    int value;
  };
  const Option options[] = {
      {"SO_KEEPALIVE", winsock::SOL_SOCKET, winsock::SO_KEEPALIVE, 1},
      {"TCP_KEEPIDLE", winsock::IPPROTO_TCP, winsock::TCP_KEEPIDLE, kKeepAliveIdleSeconds},
      {"TCP_KEEPINTVL", winsock::IPPROTO_TCP, winsock::TCP_KEEPINTVL, kKeepAliveIntervalSeconds},
      {"TCP_KEEPCNT", winsock::IPPROTO_TCP, winsock::TCP_KEEPCNT, kKeepAliveProbes},
      {"TCP_MAXRT", winsock::IPPROTO_TCP, winsock::TCP_MAXRT, kUnacknowledgedSendSeconds},
  };
  // A dead peer is found within about two minutes.
  EXPECT_LE(kKeepAliveIdleSeconds, 60);
  EXPECT_LE(kKeepAliveIdleSeconds + kKeepAliveIntervalSeconds * kKeepAliveProbes, 120);
  ASSERT_EQ(server_->Start(), 1);
  for (bool failing : {false, true}) {
    SCOPED_TRACE(failing ? "every setsockopt fails" : "options set");
    if (failing) fault::FailNext(fault::Call::kSetsockopt, winsock::WSAENOBUFS, 5);
    PeerClient peer;
    Connect(peer);
    ASSERT_EQ(Ask(peer, HelloFrame()), kHelloOk);
    const winsock::SOCKET connection = SyncServerTestPeer::Connection(*server_);
    for (const Option& o : options) {
      SCOPED_TRACE(o.name);
      int32_t value = -1;
      int length = sizeof(value);
      ASSERT_EQ(winsock::getsockopt(connection, o.level, o.option,
                                    reinterpret_cast<char*>(&value), &length),
                0);
      if (!failing) {
        EXPECT_EQ(value, o.value);
      } else if (o.option == winsock::SO_KEEPALIVE) {
        EXPECT_EQ(value, 0);
      }
    }
    EXPECT_EQ(Ask(peer, {0x84, 0x00, 0x03}), kUnrecognised);
  }
}

TEST_F(SyncServerTest, ASecondPeerWaitsInTheBacklogUntilTheFirstLeaves) {
  ASSERT_EQ(server_->Start(), 1);
  PeerClient first, second;
  Connect(first);
  ASSERT_EQ(Ask(first, HelloFrame()), kHelloOk);
  Connect(second);  // completes in the backlog
  ASSERT_TRUE(second.SendBytes(HelloFrame()));
  EXPECT_TRUE(second.NothingArrives(kQuiet));
  EXPECT_EQ(Ask(first, {0x84, 0x00, 0x03}), kUnrecognised);
  first.Close();
  Bytes reply;
  ASSERT_EQ(second.ReceiveFrame(&reply, milliseconds(3000)), peer::ReceiveResult::kFrame);
  EXPECT_EQ(reply, kHelloOk);
}

TEST_F(SyncServerTest, APeerLeavingWithoutEndOfSessionLeavesCaptureOnAndNoSession) {
  ASSERT_EQ(server_->Start(), 1);
  {
    PeerClient peer;
    Connect(peer);
    ASSERT_EQ(Ask(peer, HelloFrame()), kHelloOk);
    // As if the peer had suspended capture and started a stream.
    WithLock([&] {
      tracking_.capture.fCaptureSuppressed = 1;
      tracking_.capture.fCaptureLocked = 1;
      session_.dwState = SessionStateStreaming;
      session_.fStreamDone = 0;
    });
    // It sends one more request and leaves mid-exchange, reading nothing.
    ASSERT_TRUE(peer.SendBytes(HelloFrame()));
  }
  EXPECT_TRUE(Eventually([&] {
    return tracking_.capture.fCaptureSuppressed.load() == 0 && tracking_.capture.fCaptureLocked.load() == 0;
  }));
  EXPECT_TRUE(Eventually([&] { return State() == SessionStateNone; }));

  // The next peer does not inherit the open session or the stream.
  PeerClient next;
  Connect(next);
  EXPECT_EQ(Ask(next, peer::Frame(peer::kMsgQuery,
                                  peer::Item(peer::kTagInfo, std::string(6, '\0')))),
            kRefused);
  EXPECT_EQ(Ask(next, HelloFrame()), kHelloOk);
}

TEST_F(SyncServerTest, EndOfSessionAskingForShutdownPostsCloseAfterTheReply) {
  ASSERT_EQ(server_->Start(), 1);
  PeerClient peer;
  Connect(peer);
  ASSERT_EQ(Ask(peer, HelloFrame()), kHelloOk);
  EXPECT_EQ(Ask(peer, peer::Frame(peer::kMsgEndSession, peer::EndSessionPayload(false))),
            kStatusOk);
  // The worker posts before it receives again, so after this reply every
  // post it made is in the queue.
  EXPECT_EQ(Ask(peer, {0x01, 0x00}), kUnrecognised);
  EXPECT_EQ(DrainPosted(), std::vector<UINT>{});

  EXPECT_EQ(Ask(peer, peer::Frame(peer::kMsgEndSession, peer::EndSessionPayload(true))),
            kStatusOk);
  EXPECT_EQ(State(), SessionStateShutdown);
  // Still served until the window stops the server; the close is asked
  // once, not again with every later reply.
  EXPECT_EQ(Ask(peer, {0x01, 0x00}), kUnrecognised);
  EXPECT_EQ(Ask(peer, peer::Frame(peer::kMsgEndSession, peer::EndSessionPayload(true))),
            kStatusOk);
  EXPECT_EQ(Ask(peer, {0x01, 0x00}), kUnrecognised);
  EXPECT_EQ(DrainPosted(), std::vector<UINT>{WM_CLOSE});
}

TEST_F(SyncServerTest, StopReturnsAtOnceWithNothingToWaitForAndMayBeRepeated) {
  // Never started.
  auto begin = Clock::now();
  EXPECT_EQ(server_->Stop(), 0);
  EXPECT_LT(ElapsedMs(begin), 500);

  // Listening, no connection; then again.
  ASSERT_EQ(server_->Start(), 1);
  begin = Clock::now();
  EXPECT_EQ(server_->Stop(), 0);
  EXPECT_EQ(server_->Stop(), 0);
  EXPECT_LT(ElapsedMs(begin), 1000);
  EXPECT_EQ(SyncServerTestPeer::Listener(*server_), winsock::INVALID_SOCKET);
  PeerClient peer;
  EXPECT_FALSE(peer.Connect("127.0.0.1", static_cast<uint16_t>(port_), milliseconds(500)));
}

TEST_F(SyncServerTest, StopClosesTheConnectionAndEndsTheWorker) {
  ASSERT_EQ(server_->Start(), 1);
  PeerClient peer;
  Connect(peer);
  ASSERT_EQ(Ask(peer, HelloFrame()), kHelloOk);
  const auto begin = Clock::now();
  EXPECT_EQ(server_->Stop(), 0);
  EXPECT_LT(ElapsedMs(begin), 1000);
  EXPECT_EQ(SyncServerTestPeer::Connection(*server_), winsock::INVALID_SOCKET);
  EXPECT_TRUE(peer.ClosedByDevice(milliseconds(2000)));
  // The old worker has ended, so a new Start gets a new one at once.
  EXPECT_EQ(server_->Start(), 1);
}

// A worker waiting for the rest of a frame is woken by the stop, not left
// to wait it out.
TEST_F(SyncServerTest, StopEndsTheWaitForTheRestOfAFrame) {
  ASSERT_EQ(server_->Start(), 1);
  PeerClient peer;
  Connect(peer);
  ASSERT_EQ(Ask(peer, HelloFrame()), kHelloOk);
  ASSERT_TRUE(peer.SendBytes(Bytes{0x82, 0x04, 0x00, 0x49}));
  std::this_thread::sleep_for(milliseconds(100));
  const auto begin = Clock::now();
  EXPECT_EQ(server_->Stop(), 0);
  EXPECT_LT(ElapsedMs(begin), 1000);
  EXPECT_TRUE(peer.ClosedByDevice(milliseconds(2000)));
  EXPECT_EQ(server_->Start(), 1);
}

TEST_F(SyncServerTest, StopUnderTheLockDoesNotDeadlockWithAWorkerWaitingForIt) {
  ASSERT_EQ(server_->Start(), 1);
  PeerClient peer;
  Connect(peer);
  ASSERT_EQ(Ask(peer, HelloFrame()), kHelloOk);
  {
    // The window thread handles its close while the peer's next message
    // arrives: the worker blocks on the lock.
    platform::MutexLock locked(&TrackingState::systemLock);
    ASSERT_TRUE(peer.SendBytes(HelloFrame()));
    std::this_thread::sleep_for(milliseconds(50));
    const auto begin = Clock::now();
    EXPECT_EQ(server_->StopReleasingLock(), 0);
    EXPECT_LT(ElapsedMs(begin), 1500);
    EXPECT_TRUE(TrackingState::systemLock.HeldByCurrentThread());
  }
  // The stopped worker handled nothing more.
  EXPECT_TRUE(peer.ClosedByDevice(milliseconds(2000)));
  EXPECT_EQ(State(), SessionStateOpen);
  EXPECT_EQ(server_->Start(), 1);
}

TEST_F(SyncServerTest, RestartsOnTheSamePortWhileTheOldConnectionIsClosing) {
  ASSERT_EQ(server_->Start(), 1);
  PeerClient old;
  Connect(old);
  ASSERT_EQ(Ask(old, HelloFrame()), kHelloOk);
  // The device closes first; the old peer has not closed its end yet.
  server_->Stop();
  ASSERT_EQ(server_->Start(), 1);
  PeerClient fresh;
  Connect(fresh);
  EXPECT_EQ(Ask(fresh, HelloFrame()), kHelloOk);

  // A new server object (a restarted process) binds the port too.
  server_->Stop();
  server_ = std::make_unique<SyncServer>(dispatcher_, tracking_.hwndMain);
  ASSERT_EQ(server_->Start(), 1);
  PeerClient third;
  Connect(third);
  EXPECT_EQ(Ask(third, HelloFrame()), kHelloOk);
}

TEST_F(SyncServerTest, AFailedStartIsUndoneByStopAndCanBeRetried) {
  struct Case {
    const char* name;
    fault::Call call;
  };
  const Case cases[] = {
      {"startup", fault::Call::kWSAStartup},
      {"setsockopt", fault::Call::kSetsockopt},
      {"bind", fault::Call::kBind},
      {"listen", fault::Call::kListen},
      {"thread", fault::Call::kCreateThread},
  };
  for (const Case& c : cases) {
    fault::FailNext(c.call, winsock::WSAENOBUFS);
    EXPECT_EQ(server_->Start(), 0) << "case " << c.name;
    EXPECT_EQ(server_->Stop(), 0) << "case " << c.name;
    EXPECT_EQ(SyncServerTestPeer::Listener(*server_), winsock::INVALID_SOCKET) << "case " << c.name;
    ASSERT_EQ(server_->Start(), 1) << "case " << c.name;
    PeerClient peer;
    Connect(peer);
    EXPECT_EQ(Ask(peer, HelloFrame()), kHelloOk) << "case " << c.name;
    peer.Close();
    server_->Stop();
  }
}

TEST_F(SyncServerTest, APersistentlyFailingAcceptDoesNotSpin) {
  ASSERT_EQ(server_->Start(), 1);
  {
    // Every accept after this connection fails.
    PeerClient peer;
    Connect(peer);
    ASSERT_EQ(Ask(peer, HelloFrame()), kHelloOk);
    fault::FailNext(fault::Call::kAccept, winsock::WSAEMFILE, -1);
  }
  std::this_thread::sleep_for(milliseconds(20));
  const double cpuBefore = ProcessCpuMs();
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_LT(ProcessCpuMs() - cpuBefore, 100.0);

  // Accepting works again once the failure is gone, and a stop does not
  // wait out a pause.
  fault::Clear();
  PeerClient peer;
  Connect(peer);
  EXPECT_EQ(Ask(peer, HelloFrame()), kHelloOk);
  peer.Close();
  fault::FailNext(fault::Call::kAccept, winsock::WSAEMFILE, -1);
  std::this_thread::sleep_for(milliseconds(300));
  const auto begin = Clock::now();
  server_->Stop();
  EXPECT_LT(ElapsedMs(begin), 500);
}

TEST_F(SyncServerTest, ABufferThatCannotBeHadAsksForARestart) {
  ASSERT_EQ(server_->Start(), 1);
  fault::FailNext(fault::Call::kLocalAlloc, ERROR_NOT_ENOUGH_MEMORY);
  PeerClient peer;
  Connect(peer);
  ASSERT_TRUE(peer.SendBytes(HelloFrame()));
  EXPECT_TRUE(peer.NothingArrives(kQuiet));
  EXPECT_EQ(DrainPosted(), std::vector<UINT>{WM_RESTART_SERVER});
  // The restart's Stop closes the connection the worker left open.
  server_->Stop();
  EXPECT_TRUE(peer.ClosedByDevice(milliseconds(2000)));
  ASSERT_EQ(server_->Start(), 1);
  PeerClient next;
  Connect(next);
  EXPECT_EQ(Ask(next, HelloFrame()), kHelloOk);
}

}  // namespace
