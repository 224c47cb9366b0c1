// The sync server's transport: one listening TCP socket on the configured
// address and port, one worker thread that accepts one connection at a time, and the
// receive-split-dispatch-send loop that serves it. Each message is handed
// to the server's MessageDispatcher (the program's is the session's
// dispatcher, server/message_dispatch.h), which takes systemLock, handles
// it and appends its reply to a MessageBuffer (server/message_buffer.h);
// the transport sends that reply, outside systemLock, before the next
// message is handled. Only the transport touches the sockets; the
// dispatcher and the handlers know nothing of them.
//
// Messages. TCP delivers a byte stream, so the worker finds the peer's
// frames in it (server/frame_split.h): a receive that holds several whole
// frames is handled one frame after another, each with its own reply; one
// that holds the start of a frame whose length field says more is coming
// (a frame of at most cbBuffer bytes) waits up to kFrameRestWaitMs for the
// rest. Anything else is one message as it was received.
//
// Dead peers. Every accepted connection has TCP keepalive with short
// timings and a bound on unacknowledged sends, so a peer that vanished
// without closing (a pulled cable) is found within about two minutes and
// the next peer is served. A live peer that stays connected and silent is
// never cut: there is no idle time-out.
//
// Threads. Start and Stop are called on the window thread (Stop also at
// process exit): StartReleasingLock and StopReleasingLock with systemLock
// held, Start and Stop without it. Everything else runs on the worker. The
// dispatcher takes systemLock on the worker around each message and around
// the per-connection clean-up; it is never held during a socket call. fStop,
// sockListen and sockConn are atomic: a socket is handed over
// by exchanging its field with INVALID_SOCKET, and only the thread that
// took it out closes it, so each socket is closed exactly once whichever
// of Stop, Receive or Send gets there first.
//
// The worker reaches the window thread only by posting WM_RESTART_SERVER
// (serving cannot go on) or WM_CLOSE (the peer's end of session asked the
// application to close) to the window it was given (TrackingState::hwndMain). systemLock is never held
// across a socket call or a sleep: the start releases it for the whole
// socket set-up, the stop while it waits.
#ifndef HOLLOWMARCH_SERVER_SYNC_SERVER_H_
#define HOLLOWMARCH_SERVER_SYNC_SERVER_H_

#include <atomic>
#include <chrono>
#include <cstdint>

#include "platform/mutex.h"
#include "platform/types.h"
#include "platform/winsock.h"
#include "server/message_buffer.h"
#include "server/peer_allow_list.h"
#include "server/protocol.h"
#include "tracking/tracking_state.h"

// Posted to the window when the server must be stopped and started again.
constexpr UINT WM_RESTART_SERVER = 0x0464;  // WM_USER + 100

// Results of Receive and Send.
constexpr int kReceiveClosed = 1;     // the peer closed the connection
constexpr int kReceiveFailed = 102;   // recv failed; connection closed
constexpr int kSendFailed = 103;      // send failed; connection closed

// How long Stop waits at most for the worker to end.
constexpr DWORD kStopWaitMs = 2000;

// How long the worker waits for the rest of a frame that a receive began.
constexpr DWORD kFrameRestWaitMs = 2000;

// The keepalive of every accepted connection: the first probe after this
// many seconds of silence, further probes this many seconds apart, and the
// connection dropped after this many unanswered ones; and sent data that
// stays unacknowledged this many seconds drops it too. A failure to set any
// of them is logged and the connection served without it.
constexpr int kKeepAliveIdleSeconds = 60;
constexpr int kKeepAliveIntervalSeconds = 10;
constexpr int kKeepAliveProbes = 6;
constexpr int kUnacknowledgedSendSeconds = 120;

// What the transport tells the dispatcher about a message it hands over,
// asked while the dispatcher holds systemLock: whether a stop was asked (the
// message is then not handled), and, before the lock is released, that a
// reply is coming (so a Stop that takes the lock next waits for it to be
// sent).
class ConnectionGate {
 public:
  virtual bool StopAsked() const = 0;
  virtual void ReplyComing() = 0;

 protected:
  ~ConnectionGate() = default;
};

// What the worker does with the frames of a connection. The program's is
// SessionDispatcher (server/message_dispatch.h), which owns systemLock, the
// store and the commit around each message.
class MessageDispatcher {
 public:
  struct Outcome {
    bool stopped = false;   // a stop was asked: nothing handled or to send
    bool replied = false;   // the reply buffer holds frames to send
    bool closeApp = false;  // once they are sent, the window is asked to close
  };
  // Serves the frame of `received` bytes at `frame` (reading nothing past
  // them) and appends its reply to the empty `reply`; takes and releases
  // systemLock. A reply that lets the peer commit is returned only once what
  // the peer was shown is durable. The worker only, without systemLock.
  virtual Outcome Dispatch(const BYTE* frame, DWORD received, MessageBuffer& reply,
                           ConnectionGate& gate) EXCLUDES(TrackingState::systemLock) = 0;
  // The end of a connection: takes systemLock and, unless a stop is asked,
  // leaves the session clean for the next peer. The worker only, without
  // systemLock.
  virtual void EndConnection(ConnectionGate& gate) EXCLUDES(TrackingState::systemLock) = 0;

 protected:
  ~MessageDispatcher() = default;
};

class SyncServer final : private ConnectionGate {
 public:
  // `dispatcher` and `window` (the hidden window the worker posts to, read
  // at each post: TrackingState::hwndMain) must outlive the server. The port
  // is read through GetPort (registry value Port, default 40141); the server
  // binds every address.
  SyncServer(MessageDispatcher& dispatcher, const std::atomic<HWND>& window);
  // The same with a given port and no registry read; `address` (host byte
  // order) is the one address to bind, INADDR_ANY for every address.
  // `allowed` names the peers served (server/peer_allow_list.h); one
  // outside it is closed at accept, before any byte of it is read, with a
  // warning that names its address.
  SyncServer(MessageDispatcher& dispatcher, const std::atomic<HWND>& window, DWORD port,
             DWORD address = winsock::INADDR_ANY, PeerAllowList allowed = {});
  // Stop.
  ~SyncServer();
  SyncServer(const SyncServer&) = delete;
  SyncServer& operator=(const SyncServer&) = delete;

  // Starts Winsock 1.1, makes the listening socket (three tries, 4,000 ms
  // after each failed one), SO_REUSEADDR, binds the port on dwAddress,
  // listens with a backlog of 1 and starts the worker. 1 when the server
  // listens and the worker runs, 0 on any failure; a failed Start leaves
  // what it made for the next Stop. Also 0, doing nothing, while a worker of
  // an earlier Start is still running.
  int Start() EXCLUDES(TrackingState::systemLock);
  // Start for a caller that holds systemLock (the window thread handling a
  // message): the lock is released for the whole start (its socket calls and
  // its pauses between tries) and held again on return. The worker starts
  // only at the end, so nothing else takes the lock meanwhile but a worker
  // of an earlier start, which this one would not replace.
  int StartReleasingLock() REQUIRES(TrackingState::systemLock);

  // Asks the worker to end, closes the listening socket and the connection
  // (each exactly once) to wake it, and waits until it has ended, at most
  // kStopWaitMs; returns at once when no worker runs. A reply that the
  // worker is sending is finished before the connection is closed (within
  // the same wait), so a peer never gets half of one. Cleans up Winsock
  // once for each successful Start. Safe to call again, and without a Start.
  // Returns 0.
  int Stop() EXCLUDES(TrackingState::systemLock);
  // Stop for a caller that holds systemLock: the stop is asked and the
  // sockets closed with the lock held, so the worker handles no message
  // after it; the lock is released during each wait (a worker waiting for
  // it to handle a message can then take it, see the stop and end) and held
  // again on return.
  int StopReleasingLock() REQUIRES(TrackingState::systemLock);

  // The worker's thread procedure; `parameter` is the SyncServer.
  static DWORD ServerThread(LPVOID parameter);

  // TCP port (its low 16 bits are used).
  const DWORD dwPort;
  // The IPv4 address bound, in host byte order; INADDR_ANY for every address.
  const DWORD dwAddress;
  // The peers served.
  const PeerAllowList allowedPeers;

 private:
  // Tests look at the sockets and drive Send (server/sync_server_test.cc).
  friend class SyncServerTestPeer;

  // Worker only. Receives into pbBuffer (up to cbBuffer bytes) and stores
  // the count in cbData: 0 data received, kReceiveClosed, kReceiveFailed (the
  // connection is closed in both failure cases). When the bytes begin a
  // frame whose length field says more is coming (AwaitedFrameBytes), waits
  // up to kFrameRestWaitMs for the rest of that frame and no further byte;
  // what has come by then is the data. A close or failure seen during that
  // wait is left for the next Receive, and a Stop ends the wait.
  int Receive() EXCLUDES(TrackingState::systemLock);
  // Worker only, without systemLock. Sends the whole of reply_, partial
  // sends continued; 0 when sent or reply_ is empty, kSendFailed when a send
  // failed (the connection is then closed). reply_ is left as it was.
  int Send() EXCLUDES(TrackingState::systemLock);
  // Sends `size` bytes at `bytes`, partial sends continued; as Send.
  int SendBytes(const BYTE* bytes, int32_t size) EXCLUDES(TrackingState::systemLock);
  // The accept loop; the thread's exit code.
  DWORD Serve() EXCLUDES(TrackingState::systemLock);
  void ServeConnection() EXCLUDES(TrackingState::systemLock);
  // Sets the keepalive options on an accepted connection; failures are
  // logged.
  static void KeepConnectionAlive(winsock::SOCKET connection);
  // Receive's wait for the rest of a frame of `frameBytes` bytes.
  void ReceiveRestOfFrame(DWORD frameBytes);
  // Puts the next message into pbBuffer and cbData: the next of the frames
  // left from an earlier receive, or what Receive delivers. 0, or Receive's
  // failure.
  int NextMessage();
  // Takes the socket out of `field` and closes it when there was one.
  static void CloseSocketField(std::atomic<winsock::SOCKET>& field);
  void PostToWindow(UINT message);
  // Whether the worker is sending a reply, for Stop.
  void SetReplyUnderWay(bool underWay) EXCLUDES(lifeMu_);
  // Waits up to `ms` unless a stop is asked first.
  void PauseUnlessStopped(DWORD ms) EXCLUDES(lifeMu_);
  // Stop's first step: asks the worker to end and closes the listening
  // socket; the end of Stop's waits.
  std::chrono::steady_clock::time_point AskStop();
  // Waits until the flag `done` of the worker's life is set or `deadline`.
  void WaitLife(std::chrono::steady_clock::time_point deadline, bool SyncServer::*done)
      EXCLUDES(lifeMu_);
  // Stop's last step.
  void CleanUpWinsock();
  void WorkerEnded() EXCLUDES(lifeMu_);

  // ConnectionGate, for the dispatcher.
  bool StopAsked() const override { return fStop.load() != 0; }
  void ReplyComing() override { SetReplyUnderWay(true); }

  MessageDispatcher& dispatcher_;
  const std::atomic<HWND>& window_;

  // Worker life, for Stop's wait and the pauses of the worker.
  platform::Mutex lifeMu_;
  platform::CondVar lifeCv_;
  bool workerRunning_ GUARDED_BY(lifeMu_) = false;
  bool workerEnded_ GUARDED_BY(lifeMu_) = true;  // no worker runs
  bool replyDone_ GUARDED_BY(lifeMu_) = true;    // no reply is being sent
  int winsockStarts_ = 0;       // Start/Stop only
  // Set by the worker once it published the server's state
  // (server/server_state.h); the stop that finds it set withdraws it.
  std::atomic<bool> statePublished_{false};

  // The connection's receive buffer: a zero-filled block of cbBuffer bytes
  // from LocalAlloc, allocated after each accept and freed when the
  // connection's loop ends; null while no connection is served. The
  // dispatcher reads the request from it.
  BYTE* pbBuffer = nullptr;
  // Bytes the last receive put into pbBuffer.
  int32_t cbData = 0;
  // Capacity of pbBuffer: 2048, never changed.
  const DWORD cbBuffer;
  // Worker only: the reply to the message being handled, written by the
  // dispatcher under systemLock and sent by the worker without it.
  MessageBuffer reply_;

  // Non-zero asks the worker to end.
  std::atomic<DWORD> fStop{0};
  std::atomic<winsock::SOCKET> sockListen{winsock::INVALID_SOCKET};
  std::atomic<winsock::SOCKET> sockConn{winsock::INVALID_SOCKET};

  // Worker only: the whole frames that followed the message being handled
  // in the same receive, waiting their turn (the next receive writes over
  // pbBuffer). Emptied when a connection ends.
  BYTE pending_[kMessageBufferBytes];
  DWORD pendingBytes_ = 0;
};

#endif  // HOLLOWMARCH_SERVER_SYNC_SERVER_H_
