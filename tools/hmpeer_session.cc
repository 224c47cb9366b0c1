#include "tools/hmpeer_session.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <chrono>
#include <cstdio>
#include <ostream>

#include "peer/frame_trace.h"
#include "peer/sync_engine.h"

namespace hmpeer {

bool ParseU32(const std::string& text, uint32_t* out) {
  try {
    size_t used = 0;
    unsigned long long v = std::stoull(text, &used, 0);
    if (used != text.size() || v > 0xFFFFFFFFull || text.front() == '-') return false;
    *out = static_cast<uint32_t>(v);
    return true;
  } catch (...) {
    return false;
  }
}

int ClassIndex(const std::string& text) {
  uint32_t c = 0;
  if (!ParseU32(text, &c)) return -1;
  return peer::ClassIndexOf(c);
}

std::string StatusText(const peer::Reply& r) {
  if (!r.error.empty()) return r.error;
  char buf[32];
  std::snprintf(buf, sizeof buf, "device answered 0x%02X", r.status & 0xFF);
  return buf;
}

Session::Session(const GlobalOptions& options, std::ostream& out, std::ostream& err)
    : options_(options), out_(out), err_(err) {
  if (options.trace) {
    client_.trace = [this](bool sent, std::span<const uint8_t> bytes) { Trace(sent, bytes); };
  }
  client_.set_reply_timeout(Timeout());
}

Session::~Session() { Finish(kExitOk); }

peer::PeerClient::Millis Session::Timeout() const {
  return std::chrono::duration_cast<peer::PeerClient::Millis>(std::chrono::duration<double>(options_.timeout));
}

// Every frame: a line telling it in words (direction, size, type, length,
// meaning, items), then its bytes in hex, 16 to a line.
void Session::Trace(bool sent, std::span<const uint8_t> bytes) {
  std::string text = peer::DescribeFrame(sent, bytes, sent ? 0 : last_sent_);
  if (sent && !bytes.empty()) last_sent_ = bytes[0];
  for (size_t i = 0; i < bytes.size(); ++i) {
    char hex[32];
    if (i % 16 == 0) {
      std::snprintf(hex, sizeof hex, "\n  %04zx ", i);
      text += hex;
    }
    std::snprintf(hex, sizeof hex, " %02x", bytes[i]);
    text += hex;
  }
  err_ << text << "\n" << std::flush;
}

// The IPv4 address of `host` (an address already, or a name the resolver
// knows) as text; false with *error when it has none.
bool ResolveHost(const std::string& host, std::string* address, std::string* error) {
  in_addr literal{};
  if (inet_pton(AF_INET, host.c_str(), &literal) == 1) {
    *address = host;
    return true;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rc != 0 || found == nullptr) {
    *error = "cannot find an IPv4 address for --host " + host + ": " + gai_strerror(rc);
    return false;
  }
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr, text, sizeof text);
  freeaddrinfo(found);
  *address = text;
  return true;
}

int Session::Open() {
  std::string error;
  hello_done_ = false;
  std::string address;
  if (!ResolveHost(options_.host, &address, &error)) return Fail(kExitConnection, error);
  if (!client_.Connect(address, options_.port, Timeout(), &error)) {
    return Fail(kExitConnection,
                "cannot connect to " + options_.host + ":" + std::to_string(options_.port) + ": " + error);
  }
  const int status = client_.Hello();
  if (status < 0) {
    const peer::ReceiveResult result = client_.last_result();
    client_.Close();
    // The device takes a second connection into its backlog and answers it
    // only when the first one ends: silence after a connect is most likely
    // that.
    const std::string busy = result == peer::ReceiveResult::kTimeout
                                 ? "; the device serves one peer at a time, and another one is most likely "
                                   "connected (hmdevice status tells)"
                                 : "";
    return Fail(result == peer::ReceiveResult::kBadLength ? kExitRefused : kExitConnection,
                "hello: " + client_.LastFailure() + busy);
  }
  if (status != peer::kStatusOk) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "hello refused (0x%02X)", status);
    client_.Close();
    return Fail(kExitRefused, buf);
  }
  hello_done_ = true;
  return kExitOk;
}

int Session::Finish(int code) {
  const peer::ReceiveResult last = client_.last_result();
  if (client_.connected() && hello_done_ &&
      (last == peer::ReceiveResult::kFrame || last == peer::ReceiveResult::kTooLarge)) {
    client_.EndSession(false);
  }
  hello_done_ = false;
  client_.Close();
  return code;
}

int Session::End(bool shutdown) {
  hello_done_ = false;
  const int status = client_.EndSession(shutdown);
  client_.Close();
  return status;
}

void Session::Tell(const std::string& message) { err_ << "hmpeer: " << message << "\n" << std::flush; }

int Session::Fail(int code, const std::string& message, const nlohmann::json& partial) {
  Tell(message);
  if (options_.json) PrintJsonError(out_, code, message, partial);
  return code;
}

void PrintJsonError(std::ostream& out, int code, const std::string& message, const nlohmann::json& partial) {
  nlohmann::json error = partial.is_object() ? partial : nlohmann::json::object();
  error["error"] = message;
  error["status"] = code;
  out << error.dump() << "\n" << std::flush;
}

int Session::Refused(const peer::Reply& reply, const std::string& what) {
  const int code = reply.status == peer::kRequestNotSent ? kExitUsage
                   : reply.status < 0                    ? kExitConnection
                                                         : kExitRefused;
  Fail(code, what + ": " + StatusText(reply));
  return Finish(code);
}

void Session::Print(const nlohmann::json& json, const std::string& text) {
  if (options_.json) {
    out_ << json.dump() << "\n";
  } else {
    out_ << text;
  }
  out_.flush();
}

}  // namespace hmpeer
