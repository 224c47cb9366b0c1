#include "peer/device_requests.h"

#include <utility>

#include "peer/code_page.h"

namespace peer {

namespace {

constexpr uint8_t kMsgChanges = 0x02;
constexpr uint8_t kMsgChangesLast = 0x82;
constexpr uint8_t kTagHistory = 0x48;
constexpr size_t kChangeRecordBytes = 21;

// Sends a frame of one "I" item holding `fields`; the reply in *frame.
Reply Send(PeerClient& client, uint8_t type, const Bytes& fields, Bytes* frame) {
  Reply reply;
  reply.status = client.Exchange(type, Item(kTagInfo, fields), frame);
  if (reply.status < 0) {
    reply.error = client.LastFailure();
    // A reply that arrived but breaks the framing is an answer out of
    // shape, not a lost connection.
    if (client.last_result() == ReceiveResult::kBadLength) reply.status = (*frame)[0];
  }
  return reply;
}

Bytes QueryFields(uint8_t subCode, uint8_t index, uint32_t time) {
  Bytes fields{subCode, index};
  AppendBe32(fields, time);
  return fields;
}

// The payload of the reply's "I" item when the reply is 0xA0 and the item
// holds at least `minBytes` and starts with `subCode` (when non-zero);
// otherwise an empty span with reply->error set.
std::span<const uint8_t> InfoPayload(const Bytes& frame, Reply* reply, size_t minBytes,
                                     uint8_t subCode = 0) {
  if (reply->status != kStatusOk || !reply->error.empty()) return {};
  if (frame.size() < kHeaderBytes) {
    reply->error = "reply cut short";
    return {};
  }
  auto item = FindItem(std::span<const uint8_t>(frame).subspan(kHeaderBytes), kTagInfo);
  if (!item || item->size() < minBytes || (subCode != 0 && (*item)[0] != subCode)) {
    reply->error = "reply without the expected item";
    return {};
  }
  return *item;
}

Reply StatusOnly(PeerClient& client, const Bytes& fields) {
  Bytes frame;
  return Send(client, kMsgCommand, fields, &frame);
}

Reply TimeCommand(PeerClient& client, const Bytes& fields, uint32_t* deviceTime) {
  Bytes frame;
  Reply reply = Send(client, kMsgCommand, fields, &frame);
  auto item = InfoPayload(frame, &reply, 6, fields[0]);
  if (!item.empty()) *deviceTime = ReadBe32(&item[2]);
  return reply;
}

}  // namespace

Reply QuerySyncState(PeerClient& client, uint8_t classIndex, uint32_t peerTime,
                     uint8_t* answer) {
  Bytes frame;
  Reply reply = Send(client, kMsgQuery, QueryFields(4, classIndex, peerTime), &frame);
  auto item = InfoPayload(frame, &reply, 2, 4);
  if (!item.empty()) *answer = item[1];
  return reply;
}

Reply QueryTimeZone(PeerClient& client, Bytes* timeZone) {
  Bytes frame;
  Reply reply = Send(client, kMsgQuery, QueryFields(8, 0, 0), &frame);
  auto item = InfoPayload(frame, &reply, 172);
  if (!item.empty()) timeZone->assign(item.begin(), item.begin() + 172);
  return reply;
}

Reply QueryFreeSpace(PeerClient& client, uint8_t volume, FreeSpace* space) {
  Bytes frame;
  Reply reply = Send(client, kMsgQuery, QueryFields(15, volume, 0), &frame);
  auto item = InfoPayload(frame, &reply, 26);
  if (item.empty()) return reply;
  auto le64 = [&](size_t at) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | item[at + i];
    return v;
  };
  space->volume = static_cast<uint16_t>(item[0] | (item[1] << 8));
  space->availableBytes = le64(2);
  space->totalBytes = le64(10);
  space->freeBytes = le64(18);
  return reply;
}

Reply ReadChanges(PeerClient& client, uint8_t classIndex, uint32_t since,
                  std::vector<ChangeRecord>* changes,
                  const std::function<void(size_t)>& onFrame) {
  changes->clear();
  Bytes frame;
  Reply reply = Send(client, kMsgQuery, QueryFields(5, classIndex, since), &frame);
  if (!reply.error.empty() || reply.status != kStatusOk) return reply;
  for (;;) {
    if (client.ReceiveFrame(&frame) != ReceiveResult::kFrame) {
      reply.error = "change stream broke off: " + client.LastFailure();
      return reply;
    }
    if (frame.size() < 6) {
      reply.error = "malformed change frame";
      return reply;
    }
    bool last = frame[0] == kMsgChangesLast;
    if ((!last && frame[0] != kMsgChanges) || frame[3] != (last ? kTagInfo : kTagHistory) ||
        ReadBe16(&frame[4]) != frame.size() - 3 || (frame.size() - 6) % kChangeRecordBytes != 0) {
      reply.error = "malformed change frame";
      return reply;
    }
    for (size_t at = 6; at < frame.size(); at += kChangeRecordBytes) {
      const uint8_t* r = &frame[at];
      changes->push_back({r[0], ReadBe32(r + 1), ReadBe32(r + 5), ReadBe32(r + 9),
                          ReadBe32(r + 13), ReadBe32(r + 17)});
    }
    if (onFrame) onFrame(changes->size());
    // Every frame is acknowledged, the last one too: that ends the stream.
    if (!client.SendFrame(kAckContinue, {})) {
      reply.error = "acknowledgement could not be sent";
      return reply;
    }
    // The device finds the next request after this acknowledgement even
    // when both arrive in one receive, so the next request may follow at
    // once.
    if (last) return reply;
  }
}

Reply SuspendCapture(PeerClient& client) { return StatusOnly(client, {2}); }
Reply FlushChanges(PeerClient& client) { return StatusOnly(client, {3}); }
Reply ResumeCapture(PeerClient& client) { return StatusOnly(client, {7}); }

Reply EnableClass(PeerClient& client, uint8_t classIndex, uint32_t* deviceTime) {
  return TimeCommand(client, {6, classIndex}, deviceTime);
}

Reply ForgetChange(PeerClient& client, uint8_t classIndex, uint32_t oidRec,
                   uint32_t* deviceTime) {
  Bytes fields{16, classIndex};
  AppendBe32(fields, oidRec);
  return TimeCommand(client, fields, deviceTime);
}

Reply DisableClass(PeerClient& client, uint8_t classIndex) {
  return StatusOnly(client, {17, classIndex});
}

Reply SetAlarm(PeerClient& client, const Alarm& alarm, uint32_t* handle) {
  Bytes fields{9};
  AppendBe32(fields, alarm.handle);
  fields.push_back(alarm.set ? 1 : 0);
  fields.push_back(alarm.actionFlags);
  for (uint16_t v : alarm.time) AppendBe16(fields, v);
  const std::pair<const char*, const std::string*> strings[] = {
      {"application name", &alarm.application},
      {"dialog title", &alarm.title},
      {"dialog text", &alarm.text},
      {"sound", &alarm.sound}};
  std::string encoded[4];
  for (size_t i = 0; i < 4; ++i) {
    std::string error;
    if (!Utf8ToWindows1252(*strings[i].second, &encoded[i], &error)) {
      Reply refused;
      refused.status = kRequestNotSent;
      refused.error = std::string(strings[i].first) + ": " + error + "; not sent";
      return refused;
    }
    // A length that does not fit 16 bits makes a request too large to send.
    AppendBe16(fields, static_cast<uint16_t>(encoded[i].size()));
  }
  for (const std::string& s : encoded) {
    if (s.empty()) continue;  // an empty string takes no bytes at all
    fields.insert(fields.end(), s.begin(), s.end());
    fields.push_back(0);
  }
  Bytes frame;
  Reply reply = Send(client, kMsgCommand, fields, &frame);
  auto item = InfoPayload(frame, &reply, 5, 9);
  if (!item.empty()) *handle = ReadBe32(&item[1]);
  return reply;
}

Reply OpenDb(PeerClient& client, uint32_t oid, const std::u16string& name, uint32_t flags,
             uint32_t* handle, uint32_t* oidDb) {
  Bytes fields{10};
  AppendBe32(fields, oid);
  AppendBe32(fields, flags);
  fields.insert(fields.end(), 3, 0);
  for (char16_t c : name) {
    fields.push_back(static_cast<uint8_t>(c));
    fields.push_back(static_cast<uint8_t>(c >> 8));
  }
  fields.insert(fields.end(), 2, 0);
  Bytes frame;
  Reply reply = Send(client, kMsgCommand, fields, &frame);
  auto item = InfoPayload(frame, &reply, 9, 10);
  if (!item.empty()) {
    *handle = ReadBe32(&item[1]);
    *oidDb = ReadBe32(&item[5]);
  }
  return reply;
}

Reply CloseDb(PeerClient& client, uint32_t handle) {
  Bytes fields{11};
  AppendBe32(fields, handle);
  return StatusOnly(client, fields);
}

Reply SeekDb(PeerClient& client, uint32_t handle, uint32_t seekType, uint32_t value,
             uint32_t* index, uint32_t* oid) {
  Bytes fields{12};
  AppendBe32(fields, handle);
  AppendBe32(fields, seekType);
  AppendBe32(fields, value);
  Bytes frame;
  Reply reply = Send(client, kMsgCommand, fields, &frame);
  auto item = InfoPayload(frame, &reply, 9, 12);
  if (!item.empty()) {
    *index = ReadBe32(&item[1]);
    *oid = ReadBe32(&item[5]);
  }
  return reply;
}

Reply ReadRecords(PeerClient& client, uint32_t handle, std::vector<Record>* records) {
  records->clear();
  Bytes fields{13};
  AppendBe32(fields, handle);
  Bytes frame;
  Reply reply = Send(client, kMsgCommand, fields, &frame);
  auto item = InfoPayload(frame, &reply, 9, 13);
  if (item.empty()) return reply;
  uint32_t count = ReadBe32(&item[1]);
  uint32_t bytes = ReadBe32(&item[5]);
  if (bytes != item.size() - 9) {
    reply.error = "record bytes do not match the reply";
    return reply;
  }
  if (!DecodeRecords(item.subspan(9), count, records, &reply.error)) records->clear();
  return reply;
}

}  // namespace peer
