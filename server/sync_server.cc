#include "server/sync_server.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cstring>
#include <string>
#include <utility>

#include "platform/kernel.h"
#include "platform/log.h"
#include "platform/window.h"
#include "server/frame_split.h"
#include "server/protocol.h"
#include "server/server_state.h"
#include "settings/registry_store.h"
#include "tracking/tracking_state.h"

using namespace winsock;

namespace {

constexpr WORD kWinsockVersion = 0x0101;
constexpr int kSocketTries = 3;
constexpr DWORD kSocketRetryMs = 4000;
constexpr DWORD kExitBufferAllocFailed = 105;
// A failing accept is retried after a pause that doubles from the first to
// the last value, so a persistent failure cannot spin the processor while a
// passing one costs little.
constexpr DWORD kAcceptPauseFirstMs = 10;
constexpr DWORD kAcceptPauseMaxMs = 1000;

}  // namespace

SyncServer::SyncServer(MessageDispatcher& dispatcher, const std::atomic<HWND>& window)
    : SyncServer(dispatcher, window, GetPort()) {}

SyncServer::SyncServer(MessageDispatcher& dispatcher, const std::atomic<HWND>& window,
                       DWORD port, DWORD address, PeerAllowList allowed)
    : dwPort(port),
      dwAddress(address),
      allowedPeers(std::move(allowed)),
      dispatcher_(dispatcher),
      window_(window),
      cbBuffer(kMessageBufferBytes) {}

SyncServer::~SyncServer() {
  Stop();
  // The worker uses this object to its end; at exit it is waited for beyond
  // Stop's limit rather than left running on freed memory.
  platform::MutexLock life(&lifeMu_);
  while (workerRunning_) lifeCv_.Wait(&lifeMu_);
}

int SyncServer::Start() {
  {
    platform::MutexLock life(&lifeMu_);
    if (workerRunning_) return 0;
  }
  fStop.store(0);

  WSADATA data{};
  if (WSAStartup(kWinsockVersion, &data) != 0) return 0;
  ++winsockStarts_;
  if (data.wVersion != kWinsockVersion) return 0;

  // A socket left by an earlier failed Start that was not stopped is not
  // leaked.
  CloseSocketField(sockListen);
  SOCKET listener = INVALID_SOCKET;
  for (int attempt = 0; attempt < kSocketTries; ++attempt) {
    listener = socket(AF_INET, SOCK_STREAM, 0);
    if (listener != INVALID_SOCKET) break;
    Sleep(kSocketRetryMs);
  }
  if (listener == INVALID_SOCKET) return 0;
  sockListen.store(listener);

  int reuse = 1;
  if (setsockopt(listener, SOL_SOCKET, SO_REUSEADDR,
                 reinterpret_cast<const char*>(&reuse),
                 sizeof(reuse)) == SOCKET_ERROR)
    return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(dwPort & 0xFFFF));
  address.sin_addr.s_addr = htonl(dwAddress);
  if (bind(listener, reinterpret_cast<const sockaddr*>(&address),
           sizeof(address)) == SOCKET_ERROR)
    return 0;
  if (listen(listener, 1) == SOCKET_ERROR) return 0;

  {
    platform::MutexLock life(&lifeMu_);
    workerRunning_ = true;
    workerEnded_ = false;
    replyDone_ = true;
  }
  HANDLE thread = CreateThread(nullptr, 0, &SyncServer::ServerThread, this, 0,
                               nullptr);
  if (thread == 0) {
    platform::MutexLock life(&lifeMu_);
    workerRunning_ = false;
    workerEnded_ = true;
    return 0;
  }
  CloseHandle(thread);
  return 1;
}

int SyncServer::StartReleasingLock() {
  platform::MutexUnlock released(&TrackingState::systemLock);
  return Start();
}

std::chrono::steady_clock::time_point SyncServer::AskStop() {
  fStop.store(1);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kStopWaitMs);
  // Closing wakes a worker blocked in accept; a pause between accepts is
  // ended by the notification.
  CloseSocketField(sockListen);
  {
    platform::MutexLock life(&lifeMu_);
    lifeCv_.NotifyAll();
  }
  return deadline;
}

void SyncServer::WaitLife(std::chrono::steady_clock::time_point deadline,
                          bool SyncServer::*done) {
  platform::MutexLock life(&lifeMu_);
  while (!(this->*done)) {
    if (!lifeCv_.WaitUntil(&lifeMu_, deadline)) break;
  }
}

void SyncServer::CleanUpWinsock() {
  for (; winsockStarts_ > 0; --winsockStarts_) WSACleanup();
}

// A reply that was under way is finished first (within the wait), so the
// peer is never left with half a frame; then closing the connection wakes a
// worker blocked in recv.
int SyncServer::Stop() {
  const auto deadline = AskStop();
  WaitLife(deadline, &SyncServer::replyDone_);
  CloseSocketField(sockConn);
  WaitLife(deadline, &SyncServer::workerEnded_);
  if (statePublished_.exchange(false)) WithdrawServerState();
  CleanUpWinsock();
  return 0;
}

// As Stop; waiting for the worker with systemLock held would deadlock with a
// worker that waits for it to handle a message.
int SyncServer::StopReleasingLock() {
  const auto deadline = AskStop();
  {
    platform::MutexUnlock released(&TrackingState::systemLock);
    WaitLife(deadline, &SyncServer::replyDone_);
  }
  CloseSocketField(sockConn);
  {
    platform::MutexUnlock released(&TrackingState::systemLock);
    WaitLife(deadline, &SyncServer::workerEnded_);
  }
  if (statePublished_.exchange(false)) WithdrawServerState();
  CleanUpWinsock();
  return 0;
}

void SyncServer::SetReplyUnderWay(bool underWay) {
  platform::MutexLock life(&lifeMu_);
  replyDone_ = !underWay;
  lifeCv_.NotifyAll();
}

void SyncServer::CloseSocketField(std::atomic<SOCKET>& field) {
  SOCKET socket = field.exchange(INVALID_SOCKET);
  if (socket != INVALID_SOCKET) closesocket(socket);
}

int SyncServer::Receive() {
  SOCKET connection = sockConn.load();
  cbData = recv(connection, reinterpret_cast<char*>(pbBuffer),
                static_cast<int>(cbBuffer), 0);
  if (cbData <= 0) {
    const int result = cbData == 0 ? kReceiveClosed : kReceiveFailed;
    CloseSocketField(sockConn);
    return result;
  }
  const DWORD awaited =
      AwaitedFrameBytes(pbBuffer, static_cast<DWORD>(cbData), cbBuffer);
  if (awaited != 0) ReceiveRestOfFrame(awaited);
  return 0;
}

void SyncServer::ReceiveRestOfFrame(DWORD frameBytes) {
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(kFrameRestWaitMs);
  // Only the frame's own bytes are asked for, so whatever the peer sends
  // after it stays for the next receive. Each pass either adds bytes or
  // ends the wait.
  while (static_cast<DWORD>(cbData) < frameBytes && !fStop.load()) {
    SOCKET connection = sockConn.load();
    if (connection == INVALID_SOCKET) return;
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    winsock::fd_set readable;
    FdZero(&readable);
    FdSet(connection, &readable);
    winsock::timeval timeout{static_cast<long>(left.count() / 1000000),
                             static_cast<long>(left.count() % 1000000)};
    if (winsock::select(0, &readable, nullptr, nullptr, &timeout) <= 0) return;
    const int got = recv(connection, reinterpret_cast<char*>(pbBuffer) + cbData,
                         static_cast<int>(frameBytes) - cbData, 0);
    // A close or a failure is seen again by the next Receive, which ends
    // the connection; what came is handled first.
    if (got <= 0) return;
    cbData += got;
  }
}

int SyncServer::NextMessage() {
  if (pendingBytes_ == 0) return Receive();
  std::memcpy(pbBuffer, pending_, pendingBytes_);
  cbData = static_cast<int32_t>(pendingBytes_);
  pendingBytes_ = 0;
  return 0;
}

// Each frame of the reply goes out in a send of its own, as the peer has
// always seen them (the change query's acknowledgement apart from the first
// change frame).
int SyncServer::Send() {
  const BYTE* data = reply_.Data();
  const DWORD size = reply_.Size();
  for (DWORD at = 0; at < size;) {
    const DWORD left = size - at;
    // The reply holds whole frames only (MessageBuffer::Add), so the clamp
    // below never cuts one; it keeps a fault from sending past the reply.
    assert(left >= kFrameHeaderBytes && GetBe16(data + at + 1) >= kFrameHeaderBytes &&
           GetBe16(data + at + 1) <= left);
    const DWORD frame = left < kFrameHeaderBytes
                            ? left
                            : std::clamp<DWORD>(GetBe16(data + at + 1), kFrameHeaderBytes, left);
    if (SendBytes(data + at, static_cast<int32_t>(frame)) != 0) return kSendFailed;
    at += frame;
  }
  return 0;
}

int SyncServer::SendBytes(const BYTE* bytes, int32_t size) {
  int32_t sent = 0;
  while (sent < size) {
    SOCKET connection = sockConn.load();
    if (connection == INVALID_SOCKET) return kSendFailed;
    int result = send(connection, reinterpret_cast<const char*>(bytes) + sent,
                      size - sent, 0);
    // A send that moves nothing counts as failed, so the loop always
    // advances.
    if (result <= 0) {
      CloseSocketField(sockConn);
      return kSendFailed;
    }
    sent += result;
  }
  return 0;
}

DWORD SyncServer::ServerThread(LPVOID parameter) {
  auto* server = static_cast<SyncServer*>(parameter);
  DWORD exitCode = server->Serve();
  server->WorkerEnded();
  return exitCode;
}

void SyncServer::PostToWindow(UINT message) {
  PostMessageW(window_.load(), message, 0, 0);
}

void SyncServer::PauseUnlessStopped(DWORD ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  platform::MutexLock life(&lifeMu_);
  while (fStop.load() == 0) {
    if (!lifeCv_.WaitUntil(&lifeMu_, deadline)) break;
  }
}

void SyncServer::WorkerEnded() {
  // Notified under the mutex: once Stop sees workerRunning_ false, the
  // worker touches nothing of this object again.
  platform::MutexLock life(&lifeMu_);
  workerRunning_ = false;
  workerEnded_ = true;
  replyDone_ = true;
  lifeCv_.NotifyAll();
}

DWORD SyncServer::Serve() {
  DWORD acceptPause = 0;
  statePublished_.store(true);
  PublishServerState(dwAddress, dwPort, "");
  for (;;) {
    SOCKET listener = sockListen.load();
    if (listener == INVALID_SOCKET || fStop.load()) return 0;

    sockaddr_in peer{};
    int peerLength = sizeof(peer);
    SOCKET connection = accept(listener, reinterpret_cast<sockaddr*>(&peer), &peerLength);
    // Stored before fStop is looked at: either Stop's exchange finds it or
    // this thread sees the stop and closes it.
    if (connection != INVALID_SOCKET) sockConn.store(connection);
    if (fStop.load()) {
      CloseSocketField(sockConn);
      return 0;
    }
    if (sockListen.load() == INVALID_SOCKET) {
      PostToWindow(WM_RESTART_SERVER);
      return 0;
    }
    if (connection == INVALID_SOCKET) {
      acceptPause = acceptPause == 0
                        ? kAcceptPauseFirstMs
                        : std::min(acceptPause * 2, kAcceptPauseMaxMs);
      PauseUnlessStopped(acceptPause);
      continue;
    }
    acceptPause = 0;
    const DWORD peerAddress = ntohl(peer.sin_addr.s_addr);
    const std::string peerText = AddressText(peerAddress) + ":" + std::to_string(ntohs(peer.sin_port));
    if (!allowedPeers.Allows(peerAddress)) {
      // Nothing of it is read: the next peer is served.
      CloseSocketField(sockConn);
      platform::Logf(platform::LogPriority::kWarning,
                     "hollowmarch: refused the peer %s: not among the allowed peers (%s)", peerText.c_str(),
                     allowedPeers.Describe().c_str());
      continue;
    }
    platform::Logf(platform::LogPriority::kInfo, "hollowmarch: peer %s connected", peerText.c_str());
    PublishServerState(dwAddress, dwPort, peerText);
    KeepConnectionAlive(connection);

    pbBuffer = static_cast<BYTE*>(LocalAlloc(LMEM_ZEROINIT, cbBuffer));
    if (pbBuffer == nullptr) {
      // The connection stays open until the restart's Stop closes it.
      PostToWindow(WM_RESTART_SERVER);
      return kExitBufferAllocFailed;
    }
    ServeConnection();
    LocalFree(pbBuffer);
    pbBuffer = nullptr;
    platform::Logf(platform::LogPriority::kInfo, "hollowmarch: peer %s ended", peerText.c_str());
    PublishServerState(dwAddress, dwPort, "");
  }
}

void SyncServer::KeepConnectionAlive(SOCKET connection) {
  struct Option {
    int level;
    int option;
    int value;
    const char* name;
    const char* without;  // what a failure costs, for the log
  };
  constexpr const char* kUnnoticed = "a peer that vanishes may go unnoticed";
  const Option options[] = {
      {SOL_SOCKET, SO_KEEPALIVE, 1, "SO_KEEPALIVE", kUnnoticed},
      {IPPROTO_TCP, TCP_KEEPIDLE, kKeepAliveIdleSeconds, "TCP_KEEPIDLE", kUnnoticed},
      {IPPROTO_TCP, TCP_KEEPINTVL, kKeepAliveIntervalSeconds, "TCP_KEEPINTVL", kUnnoticed},
      {IPPROTO_TCP, TCP_KEEPCNT, kKeepAliveProbes, "TCP_KEEPCNT", kUnnoticed},
      {IPPROTO_TCP, TCP_MAXRT, kUnacknowledgedSendSeconds, "TCP_MAXRT", kUnnoticed},
      // Every reply is complete when it is sent and the peer waits for it:
      // holding a small one back until the last is acknowledged (the
      // acknowledgement of a change query and the first frame after it are
      // two sends) only adds a delayed acknowledgement's wait.
      {IPPROTO_TCP, TCP_NODELAY, 1, "TCP_NODELAY", "replies may wait for acknowledgements"},
  };
  // Without them the connection is still worth serving.
  for (const Option& o : options) {
    if (setsockopt(connection, o.level, o.option,
                   reinterpret_cast<const char*>(&o.value),
                   sizeof(o.value)) == SOCKET_ERROR) {
      platform::Logf(platform::LogPriority::kWarning,
                     "sync server: setsockopt %s on a new connection failed "
                     "(error %d); %s",
                     o.name, WSAGetLastError(), o.without);
    }
  }
}

void SyncServer::ServeConnection() {
  pendingBytes_ = 0;
  while (sockConn.load() != INVALID_SOCKET && !fStop.load()) {
    if (NextMessage() != 0) break;
    assert(cbData > 0 && static_cast<DWORD>(cbData) <= cbBuffer);
    // Frames that followed the first one in the same receive wait their
    // turn, each to be handled with a reply of its own.
    const DWORD first = FirstMessageBytes(pbBuffer, static_cast<DWORD>(cbData));
    assert(first != 0 && first <= static_cast<DWORD>(cbData));
    if (first < static_cast<DWORD>(cbData)) {
      pendingBytes_ = static_cast<DWORD>(cbData) - first;
      std::memcpy(pending_, pbBuffer + first, pendingBytes_);
      cbData = static_cast<int32_t>(first);
    }
    reply_.Clear();
    const MessageDispatcher::Outcome outcome =
        dispatcher_.Dispatch(pbBuffer, static_cast<DWORD>(cbData), reply_, *this);
    if (outcome.stopped) break;
    if (outcome.replied) {
      const bool sent = sockConn.load() != INVALID_SOCKET && Send() == 0;
      SetReplyUnderWay(false);
      if (!sent) break;
      if (outcome.closeApp) PostToWindow(WM_CLOSE);
    }
    if (sockConn.load() == INVALID_SOCKET || fStop.load()) break;
  }
  pendingBytes_ = 0;
  CloseSocketField(sockConn);

  // A connection that ends without an end of session must not leave capture
  // suppressed or a stream half-way for the next peer.
  dispatcher_.EndConnection(*this);
}
