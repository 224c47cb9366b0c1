// Winsock 1.1 over the host's sockets.
//
// SOCKET values are the device's 32-bit handles, local to the process and
// never reused while it runs; INVALID_SOCKET and SOCKET_ERROR are as on the
// device, and so are the socket-option constants (SOL_SOCKET 0xFFFF,
// SO_REUSEADDR 4; the TCP keepalive and retransmission options carry the
// values of the later Winsock headers). Sockets are blocking, IPv4 and TCP
// only.
//
// Every call but WSAStartup, the byte-order helpers and the address
// conversions (inet_pton, inet_ntop) needs a started Winsock (else it fails with WSANOTINITIALISED). A failing call returns
// SOCKET_ERROR or INVALID_SOCKET and leaves its code for WSAGetLastError,
// which is the thread's last error (GetLastError) as on the device;
// WSAStartup and WSACleanup return their code.
//
// send never raises SIGPIPE: a closed peer makes it return SOCKET_ERROR.
// Sockets may be used from any thread. closesocket from another thread wakes
// a thread blocked in accept or recv on that socket, which then returns
// INVALID_SOCKET or SOCKET_ERROR with WSAEINTR; the host descriptor is
// released only once no call is inside it, so it can never be reused under
// a blocked call. After closesocket the value is invalid (WSAENOTSOCK), so
// two threads that both close one socket close it exactly once.
#ifndef HOLLOWMARCH_PLATFORM_WINSOCK_H_
#define HOLLOWMARCH_PLATFORM_WINSOCK_H_

#include <cstddef>

#include "platform/types.h"

// The Winsock names collide with the host's socket API, so they live in
// namespace winsock; a file of the server says `using namespace winsock;`
// and must not include the host's socket headers. (Implementation files
// include this header before any host header.)
namespace winsock {

using SOCKET = uint32_t;
constexpr SOCKET INVALID_SOCKET = 0xFFFFFFFFu;
constexpr int SOCKET_ERROR = -1;

constexpr int WSADESCRIPTION_LEN = 256;
constexpr int WSASYS_STATUS_LEN = 128;
struct WSADATA {
  WORD wVersion;
  WORD wHighVersion;
  char szDescription[WSADESCRIPTION_LEN + 1];
  char szSystemStatus[WSASYS_STATUS_LEN + 1];
  unsigned short iMaxSockets;
  unsigned short iMaxUdpDg;
  char* lpVendorInfo;
};

constexpr int AF_INET = 2;
constexpr int SOCK_STREAM = 1;
constexpr int SOL_SOCKET = 0xFFFF;
constexpr int SO_REUSEADDR = 4;
constexpr int SO_KEEPALIVE = 8;
constexpr int SO_SNDBUF = 0x1001;
constexpr int SO_RCVBUF = 0x1002;
constexpr int IPPROTO_TCP = 6;
constexpr int TCP_NODELAY = 1;
// Seconds of silence before the first keepalive probe, seconds between
// probes, and unanswered probes before the connection is dropped. They take
// effect only with SO_KEEPALIVE set.
constexpr int TCP_KEEPIDLE = 3;
constexpr int TCP_KEEPCNT = 16;
constexpr int TCP_KEEPINTVL = 17;
// Seconds that sent data may stay unacknowledged before the connection is
// dropped (the host's TCP_USER_TIMEOUT, which counts milliseconds). On the
// host it also bounds the keepalive probing: a connection whose probes go
// unanswered that long is dropped whatever TCP_KEEPCNT says.
constexpr int TCP_MAXRT = 5;
constexpr int MSG_OOB = 1;
constexpr int MSG_PEEK = 2;
constexpr uint32_t INADDR_ANY = 0;
constexpr uint32_t INADDR_LOOPBACK = 0x7F000001;

// The device's IPv4 socket address: 16 bytes, port and address in network
// byte order.
struct in_addr {
  uint32_t s_addr;
};
struct sockaddr_in {
  int16_t sin_family;
  uint16_t sin_port;
  in_addr sin_addr;
  char sin_zero[8];
};
static_assert(sizeof(sockaddr_in) == 16);
struct sockaddr {
  uint16_t sa_family;
  char sa_data[14];
};

// Error codes from WSAGetLastError.
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int WSANOTINITIALISED = 10093;

// Returns 0 and fills *data (wVersion and wHighVersion 0x0101) for a
// requested version (low byte major, high byte minor) of 1.1 or above;
// WSAVERNOTSUPPORTED below 1.1, WSAEFAULT for a null `data`. Starts nest and
// each needs its WSACleanup.
int WSAStartup(WORD version, WSADATA* data);
// Ends one start; the last one closes every socket still open (waking the
// calls blocked on them). SOCKET_ERROR with WSANOTINITIALISED when Winsock
// is not started.
int WSACleanup();
int WSAGetLastError();

// setsockopt and getsockopt know SOL_SOCKET with SO_REUSEADDR, SO_KEEPALIVE,
// SO_SNDBUF and SO_RCVBUF, and IPPROTO_TCP with TCP_NODELAY, TCP_KEEPIDLE,
// TCP_KEEPINTVL, TCP_KEEPCNT and TCP_MAXRT, each with a 4-byte integer
// (WSAEFAULT when `length` is smaller, WSAENOPROTOOPT for another option);
// getsockopt stores 4 in *length. A negative TCP_MAXRT (the later headers'
// "forever") clears the bound. Addresses are sockaddr_in of AF_INET, `length`
// at least 16. recv takes the flags MSG_PEEK and MSG_OOB, send MSG_OOB.

SOCKET socket(int af, int type, int protocol);
int setsockopt(SOCKET s, int level, int option, const char* value, int length);
int getsockopt(SOCKET s, int level, int option, char* value, int* length);
int bind(SOCKET s, const sockaddr* address, int length);
int listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, sockaddr* address, int* length);
int connect(SOCKET s, const sockaddr* address, int length);
int recv(SOCKET s, char* buffer, int length, int flags);
int send(SOCKET s, const char* buffer, int length, int flags);
int closesocket(SOCKET s);
// The local address a socket is bound to (port and address in network order).
int getsockname(SOCKET s, sockaddr* address, int* length);

// select's socket sets and time-out, as on the device: 64 sockets at most
// per set. The host's headers define FD_SETSIZE, FD_SET and their kin as
// macros, so the size is kFdSetSize and the helpers FdZero, FdSet and
// FdIsSet here.
constexpr unsigned kFdSetSize = 64;
struct fd_set {
  unsigned fd_count;
  SOCKET fd_array[kFdSetSize];
};
struct timeval {
  long tv_sec;
  long tv_usec;
};
inline void FdZero(fd_set* set) { set->fd_count = 0; }
// Adds `s` unless it is there already or the set is full.
inline void FdSet(SOCKET s, fd_set* set) {
  for (unsigned i = 0; i < set->fd_count; ++i)
    if (set->fd_array[i] == s) return;
  if (set->fd_count < kFdSetSize) set->fd_array[set->fd_count++] = s;
}
inline bool FdIsSet(SOCKET s, const fd_set* set) {
  for (unsigned i = 0; i < set->fd_count; ++i)
    if (set->fd_array[i] == s) return true;
  return false;
}

// Waits until a socket of `readfds` has data or its peer's close to read (a
// listener: a connection to accept), one of `writefds` can take data, or one
// of `exceptfds` has out-of-band data, or until `timeout` has passed (null:
// without limit; zero: a poll). Any set may be null; `nfds` is ignored.
// Each set is reduced to its ready sockets and the count of all ready
// sockets is returned, 0 at the time-out. SOCKET_ERROR with WSAEINVAL when
// every set is null or empty, WSAENOTSOCK when a set names no open socket.
// A socket closed by another thread during the wait wakes it and counts as
// readable (the next recv on it fails).
int select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds,
           const timeval* timeout);

uint16_t htons(uint16_t value);
uint32_t htonl(uint32_t value);
uint16_t ntohs(uint16_t value);
uint32_t ntohl(uint32_t value);

// The address conversions of ws2tcpip.h, for AF_INET only (another family
// fails with WSAEAFNOSUPPORT, a null pointer with WSAEFAULT).
//
// inet_pton: 1 and the 4-byte address in network order at `address` when
// `text` is four decimal numbers from 0 to 255 joined by dots, without
// leading zeros ("127.0.0.1"); 0, `address` untouched, for any other text
// (host names, "127.1", "0x7f.0.0.1", blanks); SOCKET_ERROR on failure.
int inet_pton(int family, const char* text, void* address);
// inet_ntop: writes the dotted text of the 4-byte network-order address at
// `address` into `buffer` (NUL-terminated; 16 bytes always suffice) and
// returns `buffer`; null with WSAEINVAL when `size` is too small.
const char* inet_ntop(int family, const void* address, char* buffer, size_t size);

}  // namespace winsock

#endif  // HOLLOWMARCH_PLATFORM_WINSOCK_H_
