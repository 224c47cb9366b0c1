#include "peer/peer_client.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/time.h>
#include <sys/socket.h>
#include <unistd.h>

namespace peer {

namespace {

using Clock = std::chrono::steady_clock;

int MillisLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Waits for `events` on `fd` until `deadline`: 1 ready, 0 timed out, -1
// failed.
int WaitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    int n = ::poll(&p, 1, MillisLeft(deadline));
    if (n >= 0) return n > 0 ? 1 : 0;
    if (errno != EINTR) return -1;
  }
}

void SetError(std::string* error, const std::string& text) {
  if (error != nullptr) *error = text;
}

}  // namespace

PeerClient::~PeerClient() { Close(); }

void PeerClient::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  inbox_.clear();
  receive_timeout_ = Millis(0);
}

void PeerClient::ShutdownSend() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

bool PeerClient::Connect(const std::string& host, uint16_t port, Millis timeout,
                         std::string* error) {
  Close();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
    SetError(error, "not an IPv4 address: " + host);
    return false;
  }
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    SetError(error, std::string("socket: ") + std::strerror(errno));
    return false;
  }
  const auto deadline = Clock::now() + timeout;
  int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  if (rc != 0 && errno != EINPROGRESS) {
    SetError(error, std::string("connect: ") + std::strerror(errno));
    ::close(fd);
    return false;
  }
  if (rc != 0) {
    int ready = WaitFor(fd, POLLOUT, deadline);
    int soError = 0;
    socklen_t length = sizeof(soError);
    if (ready <= 0 ||
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &length) != 0 ||
        soError != 0) {
      SetError(error, ready == 0 ? std::string("connect: timed out")
                                 : std::string("connect: ") +
                                       std::strerror(soError ? soError : errno));
      ::close(fd);
      return false;
    }
  }
  // Blocking from here on; every wait goes through poll with a deadline.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  fd_ = fd;
  return true;
}

bool PeerClient::SendBytes(std::span<const uint8_t> bytes) {
  if (fd_ < 0) return false;
  if (trace) trace(true, bytes);
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

bool PeerClient::SendFrame(uint8_t type, std::span<const uint8_t> payload) {
  if (kHeaderBytes + payload.size() > kMaxRequestBytes) {
    last_result_ = ReceiveResult::kTooLarge;
    last_length_ = kHeaderBytes + payload.size();
    return false;
  }
  return SendBytes(Frame(type, payload));
}

ReceiveResult PeerClient::ReceiveMore(Millis bound, Clock::time_point deadline) {
  if (fd_ < 0) return ReceiveResult::kError;
  // The common wait (a reply to a request just sent) is one blocking
  // receive, no poll before it; the socket option is set again only when
  // the time-out changes.
  bool blocking = bound.count() > 0;
  if (blocking && receive_timeout_ != bound) {
    timeval tv{static_cast<time_t>(bound.count() / 1000),
               static_cast<suseconds_t>(bound.count() % 1000 * 1000)};
    blocking = ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) == 0;
    if (blocking) receive_timeout_ = bound;
  }
  for (;;) {
    if (!blocking) {
      int ready = WaitFor(fd_, POLLIN, deadline);
      if (ready < 0) return ReceiveResult::kError;
      if (ready == 0) return ReceiveResult::kTimeout;
    }
    uint8_t chunk[8192];
    ssize_t n = ::recv(fd_, chunk, sizeof(chunk), 0);
    if (n < 0 && errno == EINTR) {
      blocking = false;  // the rest of the wait is bounded by the deadline
      continue;
    }
    if (n < 0 && blocking && (errno == EAGAIN || errno == EWOULDBLOCK))
      return ReceiveResult::kTimeout;
    if (n < 0) return errno == ECONNRESET ? ReceiveResult::kClosed
                                          : ReceiveResult::kError;
    if (n == 0) return ReceiveResult::kClosed;
    inbox_.insert(inbox_.end(), chunk, chunk + n);
    return ReceiveResult::kFrame;
  }
}

ReceiveResult PeerClient::ReceiveFrame(Bytes* frame, Millis timeout) {
  frame->clear();
  last_timeout_ = Resolve(timeout);
  const auto deadline = Clock::now() + last_timeout_;
  Millis bound = last_timeout_;
  for (;;) {
    if (inbox_.size() >= kHeaderBytes) {
      last_length_ = ReadBe16(inbox_.data() + 1);
      if (last_length_ < kHeaderBytes) {
        // Only the header is taken; what follows it stays for the next call.
        frame->assign(inbox_.begin(), inbox_.begin() + kHeaderBytes);
        inbox_.erase(inbox_.begin(), inbox_.begin() + kHeaderBytes);
        if (trace) trace(false, *frame);
        return last_result_ = ReceiveResult::kBadLength;
      }
      if (inbox_.size() >= last_length_) break;
    }
    last_result_ = ReceiveMore(bound, deadline);
    bound = Millis(0);
    if (last_result_ != ReceiveResult::kFrame) {
      // All that is held is a part of this frame.
      frame->swap(inbox_);
      inbox_.clear();
      if (trace && !frame->empty()) trace(false, *frame);
      return last_result_;
    }
  }
  if (inbox_.size() == last_length_) {
    // The usual case, one frame per receive: the buffers trade places, so
    // neither side allocates again.
    frame->swap(inbox_);
    inbox_.clear();
  } else {
    frame->assign(inbox_.begin(), inbox_.begin() + static_cast<std::ptrdiff_t>(last_length_));
    inbox_.erase(inbox_.begin(), inbox_.begin() + static_cast<std::ptrdiff_t>(last_length_));
  }
  last_result_ = ReceiveResult::kFrame;
  if (trace) trace(false, *frame);
  return last_result_;
}

std::string PeerClient::LastFailure() const {
  switch (last_result_) {
    case ReceiveResult::kFrame:
      return "";
    case ReceiveResult::kClosed:
      return "the device closed the connection";
    case ReceiveResult::kTimeout: {
      const double seconds = std::chrono::duration<double>(last_timeout_).count();
      char text[64];
      std::snprintf(text, sizeof text, "no reply within %g s", seconds);
      return text;
    }
    case ReceiveResult::kBadLength:
      return "a reply with length " + std::to_string(last_length_) +
             ", shorter than its own header: the framing is broken";
    case ReceiveResult::kTooLarge:
      return "a request of " + std::to_string(last_length_) + " bytes, over the device's " +
             std::to_string(kMaxRequestBytes) + "-byte message buffer: not sent";
    case ReceiveResult::kError:
      break;
  }
  return fd_ < 0 ? "not connected" : "the connection failed";
}

bool PeerClient::NothingArrives(Millis wait) {
  if (fd_ < 0) return true;
  if (!inbox_.empty()) return false;
  int ready = WaitFor(fd_, POLLIN, Clock::now() + wait);
  if (ready == 0) return true;
  if (ready < 0) return false;
  uint8_t byte;
  ssize_t n = ::recv(fd_, &byte, 1, MSG_PEEK);
  return n <= 0;  // readable only because the connection ended
}

bool PeerClient::ClosedByDevice(Millis timeout) {
  if (fd_ < 0) return false;
  if (!inbox_.empty()) return false;  // more came before any close
  const auto deadline = Clock::now() + Resolve(timeout);
  for (;;) {
    int ready = WaitFor(fd_, POLLIN, deadline);
    if (ready <= 0) return false;
    uint8_t byte;
    ssize_t n = ::recv(fd_, &byte, 1, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
    return false;  // data, or a failure other than the close
  }
}

int PeerClient::Exchange(uint8_t type, std::span<const uint8_t> payload,
                         Bytes* reply, Millis timeout) {
  Bytes local;
  Bytes* out = reply != nullptr ? reply : &local;
  out->clear();
  if (!SendFrame(type, payload)) {
    if (last_result_ == ReceiveResult::kTooLarge) return kRequestNotSent;
    last_result_ = ReceiveResult::kError;
    return -1;
  }
  if (ReceiveFrame(out, timeout) != ReceiveResult::kFrame) return -1;
  return (*out)[0];
}

int PeerClient::Hello(std::string_view identification, Bytes* reply) {
  return Exchange(kMsgHello, HelloPayload(identification), reply);
}

int PeerClient::EndSession(bool shutdown, Bytes* reply) {
  return Exchange(kMsgEndSession, EndSessionPayload(shutdown), reply);
}

}  // namespace peer
