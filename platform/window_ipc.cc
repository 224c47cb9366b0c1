#include "platform/window_ipc.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/device_state.h"
#include "platform/message_queue.h"
#include "platform/mutex.h"
#include "platform/window_table.h"

namespace platform::ipc {
namespace {

// Wire of one connection. The sender writes one request and waits for its
// reply before it writes the next, so a connection carries at most one call
// at a time. Both ends are processes of this host: native byte order.
enum class Kind : uint32_t { kPost = 1, kSend = 2, kIsWindow = 3 };
constexpr size_t kRequestBytes = 20;  // kind, hwnd, message, wParam, lParam
constexpr size_t kReplyBytes = 8;     // delivered (0/1), result
constexpr size_t kMaxRegistrationBytes = 4096;
constexpr char kRegistrationPrefix[] = "w-";
// Handles that no device handed out (a window made while no device is open)
// have the top bit set; the device's counter stays below it.
constexpr HWND kLocalHandleBase = 0x80000000u;

struct Request {
  Kind kind;
  HWND hwnd;
  UINT message;
  WPARAM wparam;
  LPARAM lparam;
};

void PutU32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }
uint32_t GetU32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// Reads or writes exactly `size` bytes; false on end of stream or error.
bool ReadAll(int fd, uint8_t* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::recv(fd, data + done, size - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool WriteAll(int fd, const uint8_t* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::send(fd, data + done, size - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string RunDir(const std::string& root) { return root + "/run"; }

}  // namespace

// The runtime folder, private to the device's owner: a folder that someone
// else owns is refused, and one of ours that others could enter is closed.
bool EnsureRunDir(const std::string& root) {
  std::string dir = RunDir(root);
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat st;
  if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
    return false;
  }
  return (st.st_mode & 077) == 0 || ::chmod(dir.c_str(), 0700) == 0;
}

namespace {

std::string HexHandle(HWND hwnd) {
  char text[16];
  std::snprintf(text, sizeof text, "%08x", hwnd);
  return text;
}

std::string RegistrationPath(const std::string& root, HWND hwnd) {
  return RunDir(root) + "/" + kRegistrationPrefix + HexHandle(hwnd);
}

std::string HexOf(const std::u16string& text) {
  std::string hex;
  char unit[8];
  for (char16_t c : text) {
    std::snprintf(unit, sizeof unit, "%04x", static_cast<unsigned>(c));
    hex += unit;
  }
  return hex;
}

bool FromHex(const std::string& hex, std::u16string* text) {
  if (hex.size() % 4 != 0) return false;
  text->clear();
  for (size_t i = 0; i < hex.size(); i += 4) {
    unsigned value = 0;
    for (size_t j = i; j < i + 4; ++j) {
      char c = hex[j];
      unsigned digit;
      if (c >= '0' && c <= '9') {
        digit = static_cast<unsigned>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        digit = static_cast<unsigned>(c - 'a' + 10);
      } else {
        return false;
      }
      value = value * 16 + digit;
    }
    text->push_back(static_cast<char16_t>(value));
  }
  return true;
}

// A window's registration file, as another process reads it.
struct Registration {
  long pid = 0;
  std::string endpoint;  // socket path, or "@name" in the abstract namespace
  std::u16string class_name;
  std::u16string name;
};

std::string FormatRegistration(const Registration& r) {
  return "pid " + std::to_string(r.pid) + "\nsocket " + r.endpoint + "\nclass " +
         HexOf(r.class_name) + "\nname " + HexOf(r.name) + "\n";
}

bool ParseRegistration(const std::string& text, Registration* r) {
  bool have_pid = false, have_socket = false, have_class = false, have_name = false;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) return false;  // a file cut short
    std::string line = text.substr(start, end - start);
    start = end + 1;
    size_t space = line.find(' ');
    if (space == std::string::npos) return false;
    std::string key = line.substr(0, space);
    std::string value = line.substr(space + 1);
    if (key == "pid") {
      char* rest = nullptr;
      r->pid = std::strtol(value.c_str(), &rest, 10);
      have_pid = rest != value.c_str() && *rest == 0 && r->pid > 0;
    } else if (key == "socket") {
      r->endpoint = value;
      have_socket = !value.empty();
    } else if (key == "class") {
      have_class = FromHex(value, &r->class_name);
    } else if (key == "name") {
      have_name = FromHex(value, &r->name);
    }
  }
  return have_pid && have_socket && have_class && have_name;
}

bool ReadRegistration(const std::string& path, Registration* r) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::string text(kMaxRegistrationBytes, '\0');
  size_t used = 0;
  while (used < text.size()) {
    ssize_t n = ::read(fd, text.data() + used, text.size() - used);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    used += static_cast<size_t>(n);
  }
  ::close(fd);
  text.resize(used);
  return ParseRegistration(text, r);
}

// Writes the file whole under a temporary name and renames it, so that a
// reader never sees half of it.
bool WriteFileAtomically(const std::string& path, const std::string& text) {
  std::string temp = path + ".tmp." + std::to_string(::getpid());
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = true;
  size_t done = 0;
  while (ok && done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    if (n > 0) done += static_cast<size_t>(n);
  }
  ok = ::close(fd) == 0 && ok;
  if (ok) ok = ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

// Fills a socket address for an endpoint; false when it does not fit.
bool MakeAddress(const std::string& endpoint, sockaddr_un* address, socklen_t* length) {
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  bool abstract = !endpoint.empty() && endpoint[0] == '@';
  std::string name = abstract ? endpoint.substr(1) : endpoint;
  size_t offset = abstract ? 1 : 0;  // abstract names start with a NUL
  if (name.empty() || offset + name.size() + 1 > sizeof address->sun_path) return false;
  std::memcpy(address->sun_path + offset, name.data(), name.size());
  *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + name.size());
  return true;
}

// ---------------------------------------------------------------------------
// Receiving side: one listener per process, for the device it was started
// on, and one thread per connected process.

class Connection {
 public:
  explicit Connection(int fd) : fd_(fd) {}
  ~Connection() { ::close(fd_); }
  int fd() const { return fd_; }

  // Replies are written by the connection's thread or, for sent messages,
  // by the window's thread.
  void Reply(bool delivered, LRESULT result) {
    uint8_t bytes[kReplyBytes];
    PutU32(bytes, delivered ? 1 : 0);
    PutU32(bytes + 4, static_cast<uint32_t>(result));
    MutexLock lock(&write_mu_);
    WriteAll(fd_, bytes, sizeof bytes);
  }

 private:
  const int fd_;
  // Serialises the writes of replies to fd_ (it guards no data member).
  Mutex write_mu_;
};

// The reply slot of a message sent from another process.
class RemoteReply : public ReplySlot {
 public:
  explicit RemoteReply(std::shared_ptr<Connection> connection)
      : connection_(std::move(connection)) {}
  void Complete(LRESULT result) override { connection_->Reply(true, result); }

 private:
  std::shared_ptr<Connection> connection_;
};

bool ParseRequest(const uint8_t* bytes, Request* request) {
  uint32_t kind = GetU32(bytes);
  if (kind < 1 || kind > 3) return false;
  request->kind = static_cast<Kind>(kind);
  request->hwnd = GetU32(bytes + 4);
  request->message = GetU32(bytes + 8);
  request->wparam = GetU32(bytes + 12);
  request->lparam = static_cast<LPARAM>(GetU32(bytes + 16));
  return true;
}

void ServeConnection(std::shared_ptr<Connection> connection) {
  uint8_t bytes[kRequestBytes];
  Request request;
  // Anything malformed ends the connection: the sender is then told "not
  // delivered" by the broken stream.
  while (ReadAll(connection->fd(), bytes, sizeof bytes) && ParseRequest(bytes, &request)) {
    switch (request.kind) {
      case Kind::kPost:
        connection->Reply(window_internal::PostToLocal(request.hwnd, request.message,
                                                       request.wparam, request.lparam),
                          0);
        break;
      case Kind::kSend:
        // The window's thread answers when it reaches the message in its
        // queue; this thread goes back to reading meanwhile.
        if (!window_internal::SendToLocalQueued(request.hwnd, request.message, request.wparam,
                                                request.lparam,
                                                std::make_shared<RemoteReply>(connection))) {
          connection->Reply(false, 0);
        }
        break;
      case Kind::kIsWindow:
        connection->Reply(window_internal::IsLocalWindow(request.hwnd), 0);
        break;
    }
  }
}

// Only processes of the device's owner may talk to its windows: the run
// folder is private, and the peer's credentials are checked as well (an
// abstract socket has no file permissions).
bool PeerIsOwner(int fd) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return false;
  return credentials.uid == ::geteuid();
}

void AcceptLoop(int listen_fd) {
  for (;;) {
    int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // Out of descriptors for now: wait a little rather than spin.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        continue;
      }
      return;  // the listener was shut down
    }
    if (!PeerIsOwner(fd)) {
      ::close(fd);
      continue;
    }
    auto connection = std::make_shared<Connection>(fd);
    try {
      std::thread(ServeConnection, connection).detach();
    } catch (const std::system_error&) {
      // No thread: dropping the connection tells its sender "not delivered".
    }
  }
}

class Listener {
 public:
  // The endpoint of this process for the device at `root`, starting (or
  // moving) the listener there; "" on failure.
  std::string EndpointFor(const std::string& root) {
    MutexLock lock(&mu_);
    if (listen_fd_ >= 0 && root_ == root) return endpoint_;
    StopLocked();
    if (!EnsureRunDir(root)) return "";
    std::random_device random;
    uint64_t nonce = (uint64_t{random()} << 32) ^ random();
    char tag[48];
    std::snprintf(tag, sizeof tag, "p%ld-%016llx", static_cast<long>(::getpid()),
                  static_cast<unsigned long long>(nonce));
    std::string endpoint = RunDir(root) + "/" + tag + ".sock";
    sockaddr_un address;
    socklen_t length;
    if (!MakeAddress(endpoint, &address, &length)) {
      // The root's path is too long for a socket path.
      endpoint = std::string("@hollowmarch-") + tag;
      if (!MakeAddress(endpoint, &address, &length)) return "";
    }
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return "";
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(fd, 64) != 0) {
      ::close(fd);
      return "";
    }
    try {
      accept_thread_ = std::thread(AcceptLoop, fd);
    } catch (const std::system_error&) {
      ::close(fd);
      if (endpoint[0] != '@') ::unlink(endpoint.c_str());
      return "";
    }
    listen_fd_ = fd;
    root_ = root;
    endpoint_ = endpoint;
    return endpoint_;
  }

  // The endpoint in use for `root`, "" when this process serves none there.
  std::string CurrentEndpoint(const std::string& root) {
    MutexLock lock(&mu_);
    return listen_fd_ >= 0 && root_ == root ? endpoint_ : "";
  }

 private:
  void StopLocked() REQUIRES(mu_) {
    if (listen_fd_ < 0) return;
    // Wakes the accept; connections already made go on serving.
    ::shutdown(listen_fd_, SHUT_RDWR);
    accept_thread_.join();
    ::close(listen_fd_);
    if (!endpoint_.empty() && endpoint_[0] != '@') ::unlink(endpoint_.c_str());
    listen_fd_ = -1;
    endpoint_.clear();
    root_.clear();
  }

  Mutex mu_;
  int listen_fd_ GUARDED_BY(mu_) = -1;
  std::string root_ GUARDED_BY(mu_);
  std::string endpoint_ GUARDED_BY(mu_);
  std::thread accept_thread_ GUARDED_BY(mu_);
};

Listener& TheListener() {
  static Listener* listener = new Listener;  // serves until exit
  return *listener;
}

// ---------------------------------------------------------------------------
// Sending side: connections to each target process, kept for later calls.
// A call holds a connection for its whole round trip; calls of several
// threads to one process use several connections, so that one thread's
// long send does not hold up another's. Every call waits for its reply,
// and a posted message is queued at its target before the reply, so the
// messages of one thread arrive in the order they were sent whichever
// connection carried them.

class Peer {
 public:
  explicit Peer(std::string endpoint) : endpoint_(std::move(endpoint)) {}
  ~Peer() {
    for (int fd : idle_) ::close(fd);
  }

  enum class Outcome { kReplied, kUnreachable, kBroken };

  // One request and its reply. kUnreachable: nobody listens at the endpoint
  // (its process is gone); kBroken: the call failed otherwise (the
  // connection ended during it, or no connection could be made here).
  Outcome Call(const Request& request, bool* delivered, LRESULT* result) {
    int fd = TakeIdleConnection();
    if (fd < 0) {
      bool nobody_listens = false;
      fd = Connect(&nobody_listens);
      if (fd < 0) return nobody_listens ? Outcome::kUnreachable : Outcome::kBroken;
    }
    uint8_t bytes[kRequestBytes];
    PutU32(bytes, static_cast<uint32_t>(request.kind));
    PutU32(bytes + 4, request.hwnd);
    PutU32(bytes + 8, request.message);
    PutU32(bytes + 12, request.wparam);
    PutU32(bytes + 16, static_cast<uint32_t>(request.lparam));
    uint8_t reply[kReplyBytes];
    if (!WriteAll(fd, bytes, sizeof bytes) || !ReadAll(fd, reply, sizeof reply)) {
      ::close(fd);
      return Outcome::kBroken;
    }
    *delivered = GetU32(reply) == 1;
    *result = static_cast<LRESULT>(GetU32(reply + 4));
    ReturnConnection(fd);
    return Outcome::kReplied;
  }

 private:
  static constexpr size_t kMaxIdle = 4;

  // A kept connection that its far end has not closed; -1 when none. The
  // receiver never writes unasked, so a kept connection that is readable or
  // hung up was closed by its end.
  int TakeIdleConnection() {
    MutexLock lock(&mu_);
    while (!idle_.empty()) {
      int fd = idle_.back();
      idle_.pop_back();
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 0) == 0) return fd;
      ::close(fd);
    }
    return -1;
  }

  void ReturnConnection(int fd) {
    MutexLock lock(&mu_);
    if (idle_.size() < kMaxIdle) {
      idle_.push_back(fd);
    } else {
      ::close(fd);
    }
  }

  // A new connection, or -1 with *nobody_listens set when the endpoint has
  // no listener (as opposed to a failure on this side, such as no free
  // descriptor, which says nothing about the target).
  int Connect(bool* nobody_listens) {
    sockaddr_un address;
    socklen_t length;
    if (!MakeAddress(endpoint_, &address, &length)) {
      *nobody_listens = true;
      return -1;
    }
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int rc;
    do {
      rc = ::connect(fd, reinterpret_cast<sockaddr*>(&address), length);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      *nobody_listens = errno == ECONNREFUSED || errno == ENOENT;
      ::close(fd);
      return -1;
    }
    return fd;
  }

  const std::string endpoint_;
  Mutex mu_;
  std::vector<int> idle_ GUARDED_BY(mu_);
};

// What this process knows about the device it talks to. Reset when the
// device root changes (tests open one device after another).
struct SenderState {
  Mutex mu;
  std::string root GUARDED_BY(mu);
  std::map<std::string, std::shared_ptr<Peer>> peers GUARDED_BY(mu);  // by endpoint
  std::map<HWND, std::string> endpoints GUARDED_BY(mu);               // of remote windows
  std::map<HWND, std::string> published GUARDED_BY(mu);               // our files, by window
};

SenderState& TheSender() {
  static SenderState* state = new SenderState;  // used until exit
  return *state;
}

// The open device's root ("" when none), forgetting what belonged to an
// earlier device. Requires s.mu.
std::string CurrentRootLocked(SenderState& s) REQUIRES(s.mu) {
  std::string root = DeviceIsOpen() ? DeviceRoot() : std::string();
  if (root != s.root) {
    s.root = root;
    s.peers.clear();
    s.endpoints.clear();
  }
  return root;
}

std::shared_ptr<Peer> PeerFor(const std::string& endpoint) {
  SenderState& s = TheSender();
  MutexLock lock(&s.mu);
  std::shared_ptr<Peer>& peer = s.peers[endpoint];
  if (peer == nullptr) peer = std::make_shared<Peer>(endpoint);
  return peer;
}

// The endpoint serving a remote window, from its registration; "" when the
// window is not registered.
std::string EndpointOfWindow(HWND hwnd) {
  SenderState& s = TheSender();
  std::string root;
  {
    MutexLock lock(&s.mu);
    root = CurrentRootLocked(s);
    if (root.empty()) return "";
    auto it = s.endpoints.find(hwnd);
    if (it != s.endpoints.end()) return it->second;
  }
  Registration r;
  if (!ReadRegistration(RegistrationPath(root, hwnd), &r)) return "";
  MutexLock lock(&s.mu);
  // Handles are never reused on a device, so the answer stays true for as
  // long as the window exists; afterwards its owner answers "no window".
  if (CurrentRootLocked(s) == root) s.endpoints[hwnd] = r.endpoint;
  return r.endpoint;
}

void ForgetEndpoint(HWND hwnd) {
  SenderState& s = TheSender();
  MutexLock lock(&s.mu);
  s.endpoints.erase(hwnd);
}

bool CallWindow(HWND hwnd, Kind kind, UINT message, WPARAM wparam, LPARAM lparam,
                LRESULT* result) {
  std::string endpoint = EndpointOfWindow(hwnd);
  if (endpoint.empty()) return false;
  bool delivered = false;
  LRESULT value = 0;
  Peer::Outcome outcome =
      PeerFor(endpoint)->Call(Request{kind, hwnd, message, wparam, lparam}, &delivered, &value);
  if (outcome != Peer::Outcome::kReplied || !delivered) {
    ForgetEndpoint(hwnd);
    return false;
  }
  if (result != nullptr) *result = value;
  return true;
}

// Removes the socket file a dead process left, but only a socket in the
// runtime folder: a registration file's contents are not trusted to name
// what may be deleted.
void RemoveDeadSocket(const std::string& run_dir, const std::string& endpoint) {
  if (endpoint.empty() || endpoint[0] == '@') return;
  size_t slash = endpoint.rfind('/');
  if (slash == std::string::npos || endpoint.substr(0, slash) != run_dir) return;
  struct stat st;
  if (::lstat(endpoint.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) ::unlink(endpoint.c_str());
}

// Whether the process behind a registration still has the window. A
// registration whose process is gone is removed.
bool RegistrationIsLive(const std::string& path, HWND hwnd, const Registration& r) {
  bool delivered = false;
  LRESULT unused = 0;
  Peer::Outcome outcome =
      PeerFor(r.endpoint)->Call(Request{Kind::kIsWindow, hwnd, 0, 0, 0}, &delivered, &unused);
  if (outcome == Peer::Outcome::kReplied && delivered) return true;
  if (outcome == Peer::Outcome::kUnreachable) {
    // Nobody listens there any more: its process died without cleaning up.
    ::unlink(path.c_str());
    RemoveDeadSocket(path.substr(0, path.rfind('/')), r.endpoint);
  } else if (outcome == Peer::Outcome::kReplied) {
    // The owner lives but the window is gone.
    ::unlink(path.c_str());
  }
  return false;
}

bool ParseHandle(const char* hex, HWND* hwnd) {
  if (std::strlen(hex) != 8) return false;
  uint32_t value = 0;
  for (const char* p = hex; *p; ++p) {
    uint32_t digit;
    if (*p >= '0' && *p <= '9') {
      digit = static_cast<uint32_t>(*p - '0');
    } else if (*p >= 'a' && *p <= 'f') {
      digit = static_cast<uint32_t>(*p - 'a' + 10);
    } else {
      return false;
    }
    value = value * 16 + digit;
  }
  *hwnd = value;
  return value != 0;
}

}  // namespace

HWND AllocateWindowHandle() {
  static std::atomic<HWND> next_local{kLocalHandleBase};
  if (!DeviceIsOpen()) return next_local.fetch_add(1) | kLocalHandleBase;
  std::string root = DeviceRoot();
  if (!EnsureRunDir(root)) return 0;
  std::string path = RunDir(root) + "/hwnd-counter";
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return 0;
  HWND hwnd = 0;
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) {
    uint8_t bytes[4] = {};
    uint32_t last = ::pread(fd, bytes, 4, 0) == 4 ? GetU32(bytes) : 0;
    uint32_t next = last + 1;
    if (next == 0 || next >= kLocalHandleBase) next = 1;
    PutU32(bytes, next);
    if (::pwrite(fd, bytes, 4, 0) == 4) hwnd = next;
    ::flock(fd, LOCK_UN);
  }
  ::close(fd);
  return hwnd;
}

bool PublishWindow(HWND hwnd, const std::u16string& class_name, const std::u16string& name) {
  if (!DeviceIsOpen() || (hwnd & kLocalHandleBase) != 0) return false;
  std::string root = DeviceRoot();
  std::string endpoint = TheListener().EndpointFor(root);
  if (endpoint.empty()) return false;
  Registration r{::getpid(), endpoint, class_name, name};
  std::string path = RegistrationPath(root, hwnd);
  if (!WriteFileAtomically(path, FormatRegistration(r))) return false;
  SenderState& s = TheSender();
  MutexLock lock(&s.mu);
  s.published[hwnd] = path;
  return true;
}

void UnpublishWindow(HWND hwnd) {
  std::string path;
  {
    SenderState& s = TheSender();
    MutexLock lock(&s.mu);
    auto it = s.published.find(hwnd);
    if (it == s.published.end()) return;
    path = it->second;
    s.published.erase(it);
  }
  ::unlink(path.c_str());
}

HWND FindRemoteWindow(const std::u16string& class_key, const std::u16string* name_key) {
  if (!DeviceIsOpen()) return 0;
  std::string root = DeviceRoot();
  std::string own_endpoint = TheListener().CurrentEndpoint(root);
  std::string dir_path = RunDir(root);
  DIR* dir = ::opendir(dir_path.c_str());
  if (dir == nullptr) return 0;
  std::vector<std::pair<HWND, std::string>> candidates;
  while (dirent* entry = ::readdir(dir)) {
    HWND hwnd;
    if (std::strncmp(entry->d_name, kRegistrationPrefix, 2) != 0 ||
        !ParseHandle(entry->d_name + 2, &hwnd)) {
      continue;
    }
    candidates.emplace_back(hwnd, dir_path + "/" + entry->d_name);
  }
  ::closedir(dir);
  for (const auto& [hwnd, path] : candidates) {
    Registration r;
    if (!ReadRegistration(path, &r)) continue;
    // This process's own windows were looked for in its own table.
    if (r.endpoint == own_endpoint) continue;
    if (window_internal::FoldCase(r.class_name) != class_key) continue;
    if (name_key != nullptr && window_internal::FoldCase(r.name) != *name_key) continue;
    if (RegistrationIsLive(path, hwnd, r)) return hwnd;
  }
  return 0;
}

bool SendRemote(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam, LRESULT* result) {
  return CallWindow(hwnd, Kind::kSend, message, wparam, lparam, result);
}

bool PostRemote(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  return CallWindow(hwnd, Kind::kPost, message, wparam, lparam, nullptr);
}

}  // namespace platform::ipc
