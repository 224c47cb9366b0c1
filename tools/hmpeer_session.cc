#include "tools/hmpeer_session.h"

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

int Session::Open() {
  std::string error;
  hello_done_ = false;
  if (!client_.Connect(options_.host, options_.port, Timeout(), &error)) {
    return Fail(kExitConnection,
                "cannot connect to " + options_.host + ":" + std::to_string(options_.port) + ": " + error);
  }
  const int status = client_.Hello();
  if (status < 0) {
    const bool broken = client_.last_result() == peer::ReceiveResult::kBadLength;
    client_.Close();
    return Fail(broken ? kExitRefused : kExitConnection, "hello: " + client_.LastFailure());
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

int Session::Fail(int code, const std::string& message) {
  err_ << "hmpeer: " << message << "\n" << std::flush;
  return code;
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
