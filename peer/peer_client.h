// The desktop side's connection to the device's sync server, over the host's
// sockets: connect with a time-out, send frames (or any bytes), receive one
// reply frame at a time, and the hello and end-of-session exchanges.
//
// A reply is found by its frame's length field. A receive takes whatever
// the socket holds, so bytes of the frame after it may come with a frame;
// they are kept for the next ReceiveFrame, and NothingArrives and
// ClosedByDevice count them as arrived. One request-reply round trip costs
// a send and, while the reply fits one segment, one receive.
//
// Threads: one PeerClient is used by one thread at a time.
#ifndef HOLLOWMARCH_PEER_PEER_CLIENT_H_
#define HOLLOWMARCH_PEER_PEER_CLIENT_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "peer/frame.h"

namespace peer {

// The largest request the device takes: its message buffer holds one
// frame, and it waits for the rest of a frame only when the whole frame
// fits, so a longer request would be read cut short.
constexpr size_t kMaxRequestBytes = 2048;
// Exchange's answer, in place of a status, for a request it refused to send.
constexpr int kRequestNotSent = -2;

enum class ReceiveResult {
  kFrame,      // a whole frame was received
  kClosed,     // the device closed the connection (also mid-frame)
  kTimeout,    // the frame did not arrive in time
  kError,      // the socket failed, or there is no connection
  kBadLength,  // the frame's length field is under 3
  kTooLarge,   // the request was not sent: over kMaxRequestBytes
};

class PeerClient {
 public:
  using Millis = std::chrono::milliseconds;
  static constexpr Millis kDefaultTimeout{5000};
  // As a time-out argument: the client's reply time-out.
  static constexpr Millis kReplyTimeout{-1};

  PeerClient() = default;
  // Closes the connection.
  ~PeerClient();
  PeerClient(const PeerClient&) = delete;
  PeerClient& operator=(const PeerClient&) = delete;

  // Connects to `host` (an IPv4 address in dotted form) on `port`, giving up
  // after `timeout`. False with a reason in *error (when not null). An open
  // connection is closed first.
  bool Connect(const std::string& host, uint16_t port,
               Millis timeout = kDefaultTimeout, std::string* error = nullptr);
  bool connected() const { return fd_ >= 0; }

  // When set, called with every block sent (sent = true) and every frame
  // received, or what arrived of it (sent = false), on the calling thread.
  std::function<void(bool sent, std::span<const uint8_t> bytes)> trace;
  // How long a reply may take to arrive whole, where a call is given
  // kReplyTimeout (the requests of device_requests.h all are); at first
  // kDefaultTimeout.
  void set_reply_timeout(Millis timeout) { reply_timeout_ = timeout; }
  Millis reply_timeout() const { return reply_timeout_; }
  // How the last ReceiveFrame, SendFrame or Exchange ended (kError also when
  // the request could not be sent, kTooLarge when it was refused).
  ReceiveResult last_result() const { return last_result_; }
  // What went wrong with the last receive or request, for a person: "no
  // reply within 2 s", "the device closed the connection", ...; empty after
  // kFrame.
  std::string LastFailure() const;

  // Closes the connection (nothing when there is none).
  void Close();
  // Stops sending: the device sees the end of the stream while replies can
  // still be read.
  void ShutdownSend();

  // Sends `bytes` exactly as they are, completing partial sends, however
  // long (tests send what a well-behaved peer would not). False when the
  // connection fails (it stays open until Close).
  bool SendBytes(std::span<const uint8_t> bytes);
  // Sends one frame. A frame over kMaxRequestBytes is not sent at all: false
  // with last_result() kTooLarge, the connection untouched.
  bool SendFrame(uint8_t type, std::span<const uint8_t> payload);

  // Receives one frame into *frame (header included). On anything but
  // kFrame, *frame holds the bytes that did arrive.
  ReceiveResult ReceiveFrame(Bytes* frame, Millis timeout = kReplyTimeout);
  // True when no byte arrives within `wait` (the connection may close).
  bool NothingArrives(Millis wait);
  // True when the device closes the connection within `timeout` without
  // sending anything more.
  bool ClosedByDevice(Millis timeout = kReplyTimeout);

  // Sends a frame and receives the reply frame; the reply's status (first
  // byte), -1 when no whole reply came (*reply then holds what came), or
  // kRequestNotSent when the frame is over kMaxRequestBytes (nothing sent).
  int Exchange(uint8_t type, std::span<const uint8_t> payload, Bytes* reply,
               Millis timeout = kReplyTimeout);
  // Hello with the given identification; the reply's status or -1.
  int Hello(std::string_view identification = kIdentification,
            Bytes* reply = nullptr);
  // End of session, asking the device to close its application when
  // `shutdown` is set; the reply's status or -1.
  int EndSession(bool shutdown, Bytes* reply = nullptr);

 private:
  // One receive onto the end of inbox_, before `deadline`. With `bound`
  // over zero (the whole time-out of a receive that has not waited yet) it
  // is a blocking receive bounded by the socket's receive time-out, set to
  // `bound`; otherwise a poll until `deadline` comes first.
  ReceiveResult ReceiveMore(Millis bound, std::chrono::steady_clock::time_point deadline);

  Millis Resolve(Millis timeout) const { return timeout.count() < 0 ? reply_timeout_ : timeout; }

  int fd_ = -1;
  Millis reply_timeout_ = kDefaultTimeout;
  ReceiveResult last_result_ = ReceiveResult::kError;
  size_t last_length_ = 0;  // the length field of a kBadLength frame; a kTooLarge request's size
  Millis last_timeout_{0};  // the time-out the last receive was given
  // Received bytes not yet handed out: the start of the next frame.
  Bytes inbox_;
  // The socket's SO_RCVTIMEO as last set; 0 while it is unset (no bound).
  Millis receive_timeout_{0};
};

}  // namespace peer

#endif  // HOLLOWMARCH_PEER_PEER_CLIENT_H_
