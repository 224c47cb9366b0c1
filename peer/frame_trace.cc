#include "peer/frame_trace.h"

#include <cstdio>

#include "peer/frame.h"

namespace peer {
namespace {

constexpr size_t kHelloFieldBytes = 4;  // version, a zero byte, buffer size

const char* CommandName(uint8_t code) {
  switch (code) {
    case 2: return "suspend capture";
    case 3: return "flush";
    case 6: return "enable class";
    case 7: return "resume capture";
    case 9: return "alarm";
    case 10: return "open database";
    case 11: return "close database";
    case 12: return "seek";
    case 13: return "read records";
    case 16: return "forget change";
    case 17: return "disable class";
    default: return nullptr;
  }
}

const char* QueryName(uint8_t code) {
  switch (code) {
    case 4: return "sync state";
    case 5: return "changes";
    case 8: return "time zone";
    case 15: return "free space";
    default: return nullptr;
  }
}

std::string SentName(uint8_t type, std::span<const uint8_t> payload) {
  auto coded = [&](const char* kind, const char* (*name)(uint8_t)) {
    auto item = FindItem(payload, kTagInfo);
    if (!item || item->empty()) return std::string(kind);
    const uint8_t code = (*item)[0];
    const char* known = name(code);
    return std::string(kind) + " " + std::to_string(code) +
           (known != nullptr ? std::string(" (") + known + ")" : std::string());
  };
  switch (type) {
    case kMsgHello: return "hello";
    case kMsgEndSession: return "end of session";
    case kMsgCommand: return coded("command", CommandName);
    case kMsgQuery: return coded("query", QueryName);
    case kAckContinue: return "acknowledge";
    default: return "unknown type";
  }
}

std::string ReceivedName(uint8_t type) {
  switch (type) {
    case kStatusOk: return "done";
    case 0xC0: return "malformed or out of range";
    case 0xD1: return "unrecognised";
    case 0xD3: return "refused in this state";
    case 0x02: return "changes";
    case 0x82: return "changes, the last frame";
    default: return "unknown status";
  }
}

// "items I 6, H 128": each item's tag (as a letter when printable) and
// payload size, stepping by the items' length fields.
std::string Items(std::span<const uint8_t> run) {
  std::string out;
  size_t at = 0;
  while (at < run.size()) {
    if (run.size() - at < kHeaderBytes) {
      out += (out.empty() ? "" : ", ") + std::string("a cut-short item");
      break;
    }
    const size_t length = ReadBe16(&run[at + 1]);
    if (length < kHeaderBytes || length > run.size() - at) {
      char text[64];
      std::snprintf(text, sizeof text, "an item 0x%02X whose length %zu breaks the run", run[at], length);
      out += (out.empty() ? "" : ", ") + std::string(text);
      break;
    }
    char text[32];
    const uint8_t tag = run[at];
    if (tag >= 0x21 && tag <= 0x7E) {
      std::snprintf(text, sizeof text, "%c %zu", tag, length - kHeaderBytes);
    } else {
      std::snprintf(text, sizeof text, "0x%02X %zu", tag, length - kHeaderBytes);
    }
    out += (out.empty() ? "" : ", ") + std::string(text);
    at += length;
  }
  return out.empty() ? "" : "; items " + out;
}

}  // namespace

std::string DescribeFrame(bool sent, std::span<const uint8_t> bytes, uint8_t answering) {
  char head[96];
  std::snprintf(head, sizeof head, "%s %zu bytes", sent ? ">>" : "<<", bytes.size());
  std::string out = head;
  if (bytes.size() < kHeaderBytes) return out + ": cut short";
  const size_t length = ReadBe16(&bytes[1]);
  std::snprintf(head, sizeof head, " (type 0x%02X, length %zu)", bytes[0], length);
  out += head;
  if (length < kHeaderBytes) return out + ": a length under the header breaks the framing";
  if (length > bytes.size()) return out + ": cut short";
  std::span<const uint8_t> payload = bytes.subspan(kHeaderBytes, length - kHeaderBytes);
  // A hello and its reply carry four fixed bytes (version, zero, buffer
  // size) before their items.
  const bool hello = sent ? bytes[0] == kMsgHello : answering == kMsgHello;
  std::span<const uint8_t> items = payload;
  if (hello && payload.size() >= kHelloFieldBytes) items = payload.subspan(kHelloFieldBytes);
  out += ": " + (sent ? SentName(bytes[0], items) : ReceivedName(bytes[0]));
  if (sent && bytes[0] == kAckContinue) return out;
  return out + Items(items);
}

}  // namespace peer
