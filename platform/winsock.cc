#include "platform/winsock.h"

// The host headers below define macros with the same names as the device's
// constants (AF_INET, SOL_SOCKET, SO_REUSEADDR, INADDR_ANY, ...) and different
// values, so the device's values are captured here, before those headers.
namespace {
namespace ws {
constexpr int kAfInet = winsock::AF_INET;
constexpr int kSockStream = winsock::SOCK_STREAM;
constexpr int kSolSocket = winsock::SOL_SOCKET;
constexpr int kSoReuseAddr = winsock::SO_REUSEADDR;
constexpr int kSoKeepAlive = winsock::SO_KEEPALIVE;
constexpr int kSoSndBuf = winsock::SO_SNDBUF;
constexpr int kSoRcvBuf = winsock::SO_RCVBUF;
constexpr int kIpprotoTcp = winsock::IPPROTO_TCP;
constexpr int kTcpNoDelay = winsock::TCP_NODELAY;
constexpr int kTcpKeepIdle = winsock::TCP_KEEPIDLE;
constexpr int kTcpKeepCnt = winsock::TCP_KEEPCNT;
constexpr int kTcpKeepIntvl = winsock::TCP_KEEPINTVL;
constexpr int kTcpMaxRt = winsock::TCP_MAXRT;
constexpr int kMsgOob = winsock::MSG_OOB;
constexpr int kMsgPeek = winsock::MSG_PEEK;
}  // namespace ws
}  // namespace

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "platform/fault.h"
#include "platform/kernel.h"
#include "platform/mutex.h"

// glibc may define the byte-order helpers as macros.
#undef htons
#undef htonl
#undef ntohs
#undef ntohl

namespace winsock {
namespace {

// One open socket. `users` counts the calls inside the descriptor; the
// descriptor is closed by whoever brings `users` to 0 after `closed` was set,
// so no call can ever find its descriptor number reused by another socket.
struct Entry {
  int fd = -1;
  int users = 0;
  bool closed = false;
};

struct Table {
  platform::Mutex mu;
  int startups GUARDED_BY(mu) = 0;
  SOCKET next GUARDED_BY(mu) = 1;
  std::unordered_map<SOCKET, std::shared_ptr<Entry>> sockets GUARDED_BY(mu);
};

Table& TheTable() {
  static Table* table = new Table;
  return *table;
}

int Fail(int error) {
  SetLastError(static_cast<DWORD>(error));
  return SOCKET_ERROR;
}

SOCKET FailSocket(int error) {
  SetLastError(static_cast<DWORD>(error));
  return INVALID_SOCKET;
}

// The one place where host errors become Winsock's.
int WsaErrorOf(int host_error) {
  switch (host_error) {
    case EINTR: return WSAEINTR;
    case EBADF: return WSAEBADF;
    case EACCES:
    case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE:
    case ENFILE: return WSAEMFILE;
    case EAGAIN: return WSAEWOULDBLOCK;
    case ENOTSOCK: return WSAENOTSOCK;
    case EMSGSIZE: return WSAEMSGSIZE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET:
    case EPIPE: return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    default: return WSAEINVAL;
  }
}

bool Faulted(platform::fault::Call call) {
  DWORD error;
  if (!platform::fault::ShouldFail(call, &error)) return false;
  SetLastError(error);
  return true;
}

// A socket held for the length of one call. Empty when the value names no
// open socket or Winsock is not started (the reason is then the last error).
class Held {
 public:
  explicit Held(SOCKET s) {
    Table& t = TheTable();
    platform::MutexLock lock(&t.mu);
    if (t.startups == 0) {
      SetLastError(WSANOTINITIALISED);
      return;
    }
    auto it = t.sockets.find(s);
    if (it == t.sockets.end()) {
      SetLastError(WSAENOTSOCK);
      return;
    }
    entry_ = it->second;
    ++entry_->users;
  }
  ~Held() {
    if (entry_ == nullptr) return;
    int to_close = -1;
    {
      Table& t = TheTable();
      platform::MutexLock lock(&t.mu);
      if (--entry_->users == 0 && entry_->closed) to_close = entry_->fd;
    }
    if (to_close >= 0) ::close(to_close);
  }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;

  explicit operator bool() const { return entry_ != nullptr; }
  int fd() const { return entry_->fd; }
  // True once closesocket was called on the socket, from any thread.
  bool closed() const {
    platform::MutexLock lock(&TheTable().mu);
    return entry_->closed;
  }

 private:
  std::shared_ptr<Entry> entry_;
};

// Registers a host descriptor and returns its new handle; closes the
// descriptor and fails when Winsock was cleaned up meanwhile.
SOCKET Register(int fd) {
  Table& t = TheTable();
  {
    platform::MutexLock lock(&t.mu);
    if (t.startups != 0) {
      // Values are never 0 or INVALID_SOCKET, and never one still in use
      // should the counter ever wrap.
      SOCKET s;
      do {
        s = t.next++;
      } while (s == 0 || s == INVALID_SOCKET || t.sockets.count(s) != 0);
      auto entry = std::make_shared<Entry>();
      entry->fd = fd;
      t.sockets.emplace(s, std::move(entry));
      return s;
    }
  }
  ::close(fd);
  return FailSocket(WSANOTINITIALISED);
}

// Removes a socket from the table and wakes every call blocked in it; the
// descriptor goes when its last call has left. Caller holds t.mu.
// Returns the descriptor to close now, or -1.
int Unregister(Table& t, std::unordered_map<SOCKET, std::shared_ptr<Entry>>::iterator it) REQUIRES(t.mu) {
  std::shared_ptr<Entry> entry = it->second;
  t.sockets.erase(it);
  entry->closed = true;
  if (entry->users > 0) {
    // Wakes accept (the listener stops listening) and recv (end of stream)
    // without freeing the descriptor number.
    ::shutdown(entry->fd, SHUT_RDWR);
    return -1;
  }
  return entry->fd;
}

bool IsStarted() {
  Table& t = TheTable();
  platform::MutexLock lock(&t.mu);
  return t.startups > 0;
}

// Converts the device's address; false (with the last error) when it is not
// a usable IPv4 address.
bool ToHostAddress(const sockaddr* address, int length, ::sockaddr_in* host) {
  if (address == nullptr || length < static_cast<int>(sizeof(winsock::sockaddr_in))) {
    SetLastError(WSAEFAULT);
    return false;
  }
  winsock::sockaddr_in device;
  std::memcpy(&device, address, sizeof(device));
  if (device.sin_family != ws::kAfInet) {
    SetLastError(WSAEAFNOSUPPORT);
    return false;
  }
  std::memset(host, 0, sizeof(*host));
  host->sin_family = AF_INET;
  host->sin_port = device.sin_port;
  host->sin_addr.s_addr = device.sin_addr.s_addr;
  return true;
}

void ToDeviceAddress(const ::sockaddr_in& host, sockaddr* address) {
  winsock::sockaddr_in device{};
  device.sin_family = static_cast<int16_t>(ws::kAfInet);
  device.sin_port = host.sin_port;
  device.sin_addr.s_addr = host.sin_addr.s_addr;
  std::memcpy(address, &device, sizeof(device));
}

struct HostOption {
  int level;
  int option;
};

// The host's level and option of a device option; false for one the seam
// does not know.
bool HostOptionOf(int level, int option, HostOption* host) {
  struct Mapping {
    int device_level, device_option, host_level, host_option;
  };
  static const Mapping kMappings[] = {
      {ws::kSolSocket, ws::kSoReuseAddr, SOL_SOCKET, SO_REUSEADDR},
      {ws::kSolSocket, ws::kSoKeepAlive, SOL_SOCKET, SO_KEEPALIVE},
      {ws::kSolSocket, ws::kSoSndBuf, SOL_SOCKET, SO_SNDBUF},
      {ws::kSolSocket, ws::kSoRcvBuf, SOL_SOCKET, SO_RCVBUF},
      {ws::kIpprotoTcp, ws::kTcpNoDelay, ::IPPROTO_TCP, TCP_NODELAY},
      {ws::kIpprotoTcp, ws::kTcpKeepIdle, ::IPPROTO_TCP, TCP_KEEPIDLE},
      {ws::kIpprotoTcp, ws::kTcpKeepIntvl, ::IPPROTO_TCP, TCP_KEEPINTVL},
      {ws::kIpprotoTcp, ws::kTcpKeepCnt, ::IPPROTO_TCP, TCP_KEEPCNT},
      {ws::kIpprotoTcp, ws::kTcpMaxRt, ::IPPROTO_TCP, TCP_USER_TIMEOUT},
  };
  for (const Mapping& m : kMappings) {
    if (m.device_level == level && m.device_option == option) {
      *host = {m.host_level, m.host_option};
      return true;
    }
  }
  return false;
}

// The poll events that make a socket of each select set ready.
constexpr short kReadEvents = POLLIN | POLLHUP | POLLERR;
constexpr short kWriteEvents = POLLOUT | POLLERR;
constexpr short kExceptEvents = POLLPRI;

}  // namespace

int WSAStartup(WORD version, WSADATA* data) {
  DWORD error;
  if (platform::fault::ShouldFail(platform::fault::Call::kWSAStartup, &error)) {
    return static_cast<int>(error);
  }
  if (data == nullptr) return WSAEFAULT;
  const int major = version & 0xFF;
  const int minor = (version >> 8) & 0xFF;
  if (major < 1 || (major == 1 && minor < 1)) return WSAVERNOTSUPPORTED;
  std::memset(data, 0, sizeof(*data));
  data->wVersion = 0x0101;
  data->wHighVersion = 0x0101;
  std::strncpy(data->szDescription, "Winsock 1.1 over host sockets", WSADESCRIPTION_LEN);
  std::strncpy(data->szSystemStatus, "Running", WSASYS_STATUS_LEN);
  data->iMaxSockets = 256;
  data->iMaxUdpDg = 0;
  data->lpVendorInfo = nullptr;
  Table& t = TheTable();
  platform::MutexLock lock(&t.mu);
  ++t.startups;
  return 0;
}

int WSACleanup() {
  Table& t = TheTable();
  std::vector<int> to_close;
  {
    platform::MutexLock lock(&t.mu);
    if (t.startups == 0) return Fail(WSANOTINITIALISED);
    if (--t.startups == 0) {
      while (!t.sockets.empty()) {
        int fd = Unregister(t, t.sockets.begin());
        if (fd >= 0) to_close.push_back(fd);
      }
    }
  }
  for (int fd : to_close) ::close(fd);
  return 0;
}

int WSAGetLastError() { return static_cast<int>(GetLastError()); }

SOCKET socket(int af, int type, int protocol) {
  if (Faulted(platform::fault::Call::kSocket)) return INVALID_SOCKET;
  if (!IsStarted()) return FailSocket(WSANOTINITIALISED);
  if (af != ws::kAfInet) return FailSocket(WSAEAFNOSUPPORT);
  if (type != ws::kSockStream) return FailSocket(WSAESOCKTNOSUPPORT);
  if (protocol != 0 && protocol != ws::kIpprotoTcp) return FailSocket(WSAEPROTONOSUPPORT);
  int fd = ::socket(AF_INET, ::SOCK_STREAM | SOCK_CLOEXEC, ::IPPROTO_TCP);
  if (fd < 0) return FailSocket(WsaErrorOf(errno));
  return Register(fd);
}

int setsockopt(SOCKET s, int level, int option, const char* value, int length) {
  if (Faulted(platform::fault::Call::kSetsockopt)) return SOCKET_ERROR;
  Held held(s);
  if (!held) return SOCKET_ERROR;
  HostOption host;
  if (!HostOptionOf(level, option, &host)) return Fail(WSAENOPROTOOPT);
  if (value == nullptr || length < static_cast<int>(sizeof(int32_t))) return Fail(WSAEFAULT);
  int32_t device_value;
  std::memcpy(&device_value, value, sizeof(device_value));
  int host_value = device_value;
  if (host.option == TCP_USER_TIMEOUT) {
    // Seconds on the device, milliseconds on the host; negative is forever,
    // which the host spells 0.
    host_value = device_value < 0 ? 0
                 : device_value > INT_MAX / 1000 ? INT_MAX
                                                 : device_value * 1000;
  }
  if (::setsockopt(held.fd(), host.level, host.option, &host_value, sizeof(host_value)) != 0) {
    return Fail(WsaErrorOf(errno));
  }
  return 0;
}

int getsockopt(SOCKET s, int level, int option, char* value, int* length) {
  Held held(s);
  if (!held) return SOCKET_ERROR;
  HostOption host;
  if (!HostOptionOf(level, option, &host)) return Fail(WSAENOPROTOOPT);
  if (value == nullptr || length == nullptr || *length < static_cast<int>(sizeof(int32_t))) {
    return Fail(WSAEFAULT);
  }
  int host_value = 0;
  socklen_t host_length = sizeof(host_value);
  if (::getsockopt(held.fd(), host.level, host.option, &host_value, &host_length) != 0) {
    return Fail(WsaErrorOf(errno));
  }
  int32_t device_value = host_value;
  // Whole seconds, rounded up so that a bound never reads as none.
  if (host.option == TCP_USER_TIMEOUT) device_value = (host_value + 999) / 1000;
  // The host reports a set flag as any non-zero value; the device as 1.
  if (host.level == SOL_SOCKET && (host.option == SO_KEEPALIVE || host.option == SO_REUSEADDR))
    device_value = host_value != 0 ? 1 : 0;
  std::memcpy(value, &device_value, sizeof(device_value));
  *length = sizeof(device_value);
  return 0;
}

int bind(SOCKET s, const sockaddr* address, int length) {
  if (Faulted(platform::fault::Call::kBind)) return SOCKET_ERROR;
  Held held(s);
  if (!held) return SOCKET_ERROR;
  ::sockaddr_in host;
  if (!ToHostAddress(address, length, &host)) return SOCKET_ERROR;
  if (::bind(held.fd(), reinterpret_cast<const ::sockaddr*>(&host), sizeof(host)) != 0) {
    return Fail(WsaErrorOf(errno));
  }
  return 0;
}

int listen(SOCKET s, int backlog) {
  if (Faulted(platform::fault::Call::kListen)) return SOCKET_ERROR;
  Held held(s);
  if (!held) return SOCKET_ERROR;
  if (::listen(held.fd(), backlog < 1 ? 1 : backlog) != 0) return Fail(WsaErrorOf(errno));
  return 0;
}

SOCKET accept(SOCKET s, sockaddr* address, int* length) {
  if (Faulted(platform::fault::Call::kAccept)) return INVALID_SOCKET;
  Held held(s);
  if (!held) return INVALID_SOCKET;
  if (address != nullptr &&
      (length == nullptr || *length < static_cast<int>(sizeof(winsock::sockaddr_in)))) {
    return FailSocket(WSAEFAULT);
  }
  ::sockaddr_in peer{};
  socklen_t peer_length = sizeof(peer);
  int fd;
  do {
    fd = ::accept4(held.fd(), reinterpret_cast<::sockaddr*>(&peer), &peer_length, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR && !held.closed());
  if (held.closed()) {
    // The listener was closed under the call: whatever arrived is refused.
    if (fd >= 0) ::close(fd);
    return FailSocket(WSAEINTR);
  }
  if (fd < 0) return FailSocket(WsaErrorOf(errno));
  SOCKET accepted = Register(fd);
  if (accepted == INVALID_SOCKET) return INVALID_SOCKET;
  if (address != nullptr) {
    ToDeviceAddress(peer, address);
    *length = sizeof(winsock::sockaddr_in);
  }
  return accepted;
}

int connect(SOCKET s, const sockaddr* address, int length) {
  Held held(s);
  if (!held) return SOCKET_ERROR;
  ::sockaddr_in host;
  if (!ToHostAddress(address, length, &host)) return SOCKET_ERROR;
  if (::connect(held.fd(), reinterpret_cast<const ::sockaddr*>(&host), sizeof(host)) != 0) {
    // An interrupted connect goes on in the background; report it as such
    // rather than retrying (a retry would fail with EALREADY).
    return Fail(WsaErrorOf(errno));
  }
  return 0;
}

int recv(SOCKET s, char* buffer, int length, int flags) {
  if (Faulted(platform::fault::Call::kRecv)) return SOCKET_ERROR;
  Held held(s);
  if (!held) return SOCKET_ERROR;
  if (length < 0 || (buffer == nullptr && length > 0)) return Fail(WSAEFAULT);
  if ((flags & ~(ws::kMsgOob | ws::kMsgPeek)) != 0) return Fail(WSAEOPNOTSUPP);
  int host_flags = ((flags & ws::kMsgOob) ? ::MSG_OOB : 0) | ((flags & ws::kMsgPeek) ? ::MSG_PEEK : 0);
  ssize_t n;
  do {
    n = ::recv(held.fd(), buffer, static_cast<size_t>(length), host_flags);
  } while (n < 0 && errno == EINTR && !held.closed());
  // A socket closed under the call reads as end of stream on the host; the
  // device reports the interrupted call instead.
  if (n <= 0 && held.closed()) return Fail(WSAEINTR);
  if (n < 0) return Fail(WsaErrorOf(errno));
  return static_cast<int>(n);
}

int send(SOCKET s, const char* buffer, int length, int flags) {
  if (Faulted(platform::fault::Call::kSend)) return SOCKET_ERROR;
  Held held(s);
  if (!held) return SOCKET_ERROR;
  if (length < 0 || (buffer == nullptr && length > 0)) return Fail(WSAEFAULT);
  if ((flags & ~ws::kMsgOob) != 0) return Fail(WSAEOPNOTSUPP);
  int host_flags = ::MSG_NOSIGNAL | ((flags & ws::kMsgOob) ? ::MSG_OOB : 0);
  if (std::optional<int> limit = platform::fault::SendLimitOverride(); limit && *limit > 0) {
    length = std::min(length, *limit);
  }
  ssize_t n;
  do {
    n = ::send(held.fd(), buffer, static_cast<size_t>(length), host_flags);
  } while (n < 0 && errno == EINTR && !held.closed());
  if (n < 0 && held.closed()) return Fail(WSAEINTR);
  if (n < 0) return Fail(WsaErrorOf(errno));
  return static_cast<int>(n);
}

int closesocket(SOCKET s) {
  Table& t = TheTable();
  int to_close = -1;
  {
    platform::MutexLock lock(&t.mu);
    if (t.startups == 0) return Fail(WSANOTINITIALISED);
    auto it = t.sockets.find(s);
    if (it == t.sockets.end()) return Fail(WSAENOTSOCK);
    to_close = Unregister(t, it);
  }
  if (to_close >= 0) ::close(to_close);
  return 0;
}

int getsockname(SOCKET s, sockaddr* address, int* length) {
  Held held(s);
  if (!held) return SOCKET_ERROR;
  if (address == nullptr || length == nullptr ||
      *length < static_cast<int>(sizeof(winsock::sockaddr_in))) {
    return Fail(WSAEFAULT);
  }
  ::sockaddr_in host{};
  socklen_t host_length = sizeof(host);
  if (::getsockname(held.fd(), reinterpret_cast<::sockaddr*>(&host), &host_length) != 0) {
    return Fail(WsaErrorOf(errno));
  }
  ToDeviceAddress(host, address);
  *length = sizeof(winsock::sockaddr_in);
  return 0;
}

int select(int /*nfds*/, fd_set* readfds, fd_set* writefds, fd_set* exceptfds,
           const timeval* timeout) {
  if (!IsStarted()) return Fail(WSANOTINITIALISED);
  fd_set* sets[] = {readfds, writefds, exceptfds};
  const short wanted[] = {kReadEvents, kWriteEvents, kExceptEvents};
  // Every socket named is held for the whole wait, so none can have its
  // descriptor reused under the poll.
  std::vector<std::unique_ptr<Held>> held;
  std::vector<::pollfd> polled;
  for (int k = 0; k < 3; ++k) {
    if (sets[k] == nullptr) continue;
    if (sets[k]->fd_count > kFdSetSize) return Fail(WSAEINVAL);
    for (unsigned i = 0; i < sets[k]->fd_count; ++i) {
      auto h = std::make_unique<Held>(sets[k]->fd_array[i]);
      if (!*h) return SOCKET_ERROR;
      polled.push_back({h->fd(), wanted[k], 0});
      held.push_back(std::move(h));
    }
  }
  if (polled.empty()) return Fail(WSAEINVAL);
  // The time-out is kept across interrupted polls: a wait never outlasts it.
  std::optional<std::chrono::steady_clock::time_point> deadline;
  if (timeout != nullptr) {
    if (timeout->tv_sec < 0 || timeout->tv_usec < 0) return Fail(WSAEINVAL);
    deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout->tv_sec) +
               std::chrono::microseconds(timeout->tv_usec);
  }
  for (;;) {
    int wait_ms = -1;
    if (deadline) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(
          *deadline - std::chrono::steady_clock::now());
      wait_ms = static_cast<int>(std::clamp<long long>(left.count(), 0, INT_MAX));
    }
    int n = ::poll(polled.data(), polled.size(), wait_ms);
    if (n >= 0) break;
    if (errno != EINTR) return Fail(WsaErrorOf(errno));
    bool closed = false;
    for (const auto& h : held) closed = closed || h->closed();
    if (closed) break;
  }
  int ready = 0;
  size_t at = 0;
  for (int k = 0; k < 3; ++k) {
    if (sets[k] == nullptr) continue;
    unsigned kept = 0;
    for (unsigned i = 0; i < sets[k]->fd_count; ++i, ++at) {
      const bool is_ready = (polled[at].revents & wanted[k]) != 0 ||
                            (k == 0 && held[at]->closed());
      if (is_ready) sets[k]->fd_array[kept++] = sets[k]->fd_array[i];
    }
    sets[k]->fd_count = kept;
    ready += static_cast<int>(kept);
  }
  return ready;
}

uint16_t htons(uint16_t value) { return ::htons(value); }
uint32_t htonl(uint32_t value) { return ::htonl(value); }
uint16_t ntohs(uint16_t value) { return ::ntohs(value); }
uint32_t ntohl(uint32_t value) { return ::ntohl(value); }

int inet_pton(int family, const char* text, void* address) {
  if (family != ws::kAfInet) return Fail(WSAEAFNOSUPPORT);
  if (text == nullptr || address == nullptr) return Fail(WSAEFAULT);
  // The host's conversion is strict dotted decimal for AF_INET, as the
  // device's is; it writes nothing on a refusal.
  return ::inet_pton(AF_INET, text, address) == 1 ? 1 : 0;
}

const char* inet_ntop(int family, const void* address, char* buffer, size_t size) {
  if (family != ws::kAfInet) {
    SetLastError(static_cast<DWORD>(WSAEAFNOSUPPORT));
    return nullptr;
  }
  if (address == nullptr || buffer == nullptr) {
    SetLastError(static_cast<DWORD>(WSAEFAULT));
    return nullptr;
  }
  if (::inet_ntop(AF_INET, address, buffer, static_cast<socklen_t>(size)) == nullptr) {
    SetLastError(static_cast<DWORD>(WSAEINVAL));
    return nullptr;
  }
  return buffer;
}

}  // namespace winsock
