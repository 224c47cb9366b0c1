// The desktop side's requests to the device beyond hello and end of
// session: the queries, the change stream with its acknowledgements, the
// commands, and remote database reading. Each sends one request over a
// connected PeerClient and reads the reply by the protocol's layouts.
//
// Every request returns a Reply: the reply's status byte (0xA0 done, 0xC0
// malformed or out of range, 0xD3 refused in this state), -1 when no reply
// came (the connection closed or failed, or the client's reply time-out
// passed), or kRequestNotSent when the request was refused before anything
// was sent (over kMaxRequestBytes; `error` says why, and the connection is
// as it was); the out-parameters are filled only when the status is 0xA0
// and the reply has its documented shape (otherwise `error` says why and
// `status` stays as received; a reply whose length breaks the framing keeps
// its first byte as the status).
//
// Threads: as the PeerClient, one thread at a time.
#ifndef HOLLOWMARCH_PEER_DEVICE_REQUESTS_H_
#define HOLLOWMARCH_PEER_DEVICE_REQUESTS_H_

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "peer/frame.h"
#include "peer/peer_client.h"
#include "peer/transfer_record.h"

namespace peer {

// The wire's class index of each data class (24, 25, 26, 291, mail 5454).
constexpr uint8_t kClassIndexContacts = 0;
constexpr uint8_t kClassIndexMail = 4;

// Answers of the sync-state query.
constexpr uint8_t kChangesComplete = 0;
constexpr uint8_t kChangesUntracked = 1;
constexpr uint8_t kChangesIncomplete = 2;

// Seek types of SeekDb.
constexpr uint32_t kSeekCeoid = 1;
constexpr uint32_t kSeekBeginning = 2;
constexpr uint32_t kSeekEnd = 4;
constexpr uint32_t kSeekCurrent = 8;
// Open flag: each read moves the handle's position on.
constexpr uint32_t kOpenAutoIncrement = 1;
constexpr uint32_t kInvalidHandle = 0xFFFFFFFF;

struct Reply {
  int status = -1;
  std::string error;  // set when the reply was missing or malformed
  bool ok() const { return status == kStatusOk && error.empty(); }
};

// --- Queries ---

// Query 4: whether the class's recorded changes reach back to `peerTime`.
Reply QuerySyncState(PeerClient& client, uint8_t classIndex, uint32_t peerTime,
                     uint8_t* answer);
// Query 8: the device's 172-byte TIME_ZONE_INFORMATION, little-endian.
Reply QueryTimeZone(PeerClient& client, Bytes* timeZone);

struct FreeSpace {
  uint16_t volume = 0;
  uint64_t availableBytes = 0;
  uint64_t totalBytes = 0;
  uint64_t freeBytes = 0;
};
// Query 15: volume 0 "Storage Card", 1 "Program Files", other: the store.
Reply QueryFreeSpace(PeerClient& client, uint8_t volume, FreeSpace* space);

struct ChangeRecord {
  uint8_t type = 0;  // 0 add, 1 delete, 3 modify
  uint32_t time = 0;
  uint32_t reserved = 0;
  uint32_t uid = 0;  // mail uid, 0xFFFFFFFF for none
  uint32_t oidDb = 0;
  uint32_t oidRec = 0;
  bool operator==(const ChangeRecord&) const = default;
};

// Query 5 and the whole change stream that follows it: each frame is
// acknowledged with 0x90 as it arrives, until the last one; the session is
// then open again. `onFrame`, when given, is called with the number of
// records received so far after each frame. On a stream that breaks off,
// the records that did arrive are kept and `error` says what went wrong.
Reply ReadChanges(PeerClient& client, uint8_t classIndex, uint32_t since,
                  std::vector<ChangeRecord>* changes,
                  const std::function<void(size_t)>& onFrame = {});

// --- Commands ---

Reply SuspendCapture(PeerClient& client);  // 2
Reply FlushChanges(PeerClient& client);    // 3
Reply ResumeCapture(PeerClient& client);   // 7
// 6: enables tracking of the class; the device's current time, which it
// also keeps as the class's last sync time.
Reply EnableClass(PeerClient& client, uint8_t classIndex, uint32_t* deviceTime);
// 16: as EnableClass, and forgets the loaded change of record `oidRec`.
Reply ForgetChange(PeerClient& client, uint8_t classIndex, uint32_t oidRec,
                   uint32_t* deviceTime);
// 17: disables tracking of the class.
Reply DisableClass(PeerClient& client, uint8_t classIndex);

struct Alarm {
  uint32_t handle = 0;  // 0: a new notification
  bool set = true;      // false clears `handle`
  uint8_t actionFlags = 0;
  // year, month, day of week, day, hour, minute, second, milliseconds
  std::array<uint16_t, 8> time{};
  // UTF-8, sent in the device's ANSI code page (Windows-1252); empty: the
  // device's default.
  std::string application, title, text, sound;
};
// 9: sets or clears a notification; *handle receives the set one's handle
// (0 when it could not be set, and for a clear). A string that Windows-1252
// cannot hold is refused before anything is sent (kRequestNotSent, `error`
// naming the string and the character).
Reply SetAlarm(PeerClient& client, const Alarm& alarm, uint32_t* handle);

// --- Remote databases ---

// 10: opens by identifier, or by `name` when `oid` is 0. *handle is
// kInvalidHandle when the open failed; *oidDb the database's identifier.
Reply OpenDb(PeerClient& client, uint32_t oid, const std::u16string& name, uint32_t flags,
             uint32_t* handle, uint32_t* oidDb);
// 11: closes a handle from OpenDb.
Reply CloseDb(PeerClient& client, uint32_t handle);
// 12: seeks; *oid is 0 when the seek failed.
Reply SeekDb(PeerClient& client, uint32_t handle, uint32_t seekType, uint32_t value,
             uint32_t* index, uint32_t* oid);
// 13: the next batch of whole records from the handle's position; empty at
// the end of the database (or at a record too large to send).
Reply ReadRecords(PeerClient& client, uint32_t handle, std::vector<Record>* records);

}  // namespace peer

#endif  // HOLLOWMARCH_PEER_DEVICE_REQUESTS_H_
