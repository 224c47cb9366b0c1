// Commands (first byte 0x82): capture control, flushing and enabling of
// change tracking per class, forgetting one change, alarms and remote
// database access. Served only in SessionStateOpen.
//
// The request's "I" item starts with the sub-code; what follows depends on
// it (all numbers big-endian):
//   2  suspend capture (unless locked)        status only
//   3  flush the selected class's lists       status only
//   6  enable a class: class index            12 bytes with the time
//   7  resume capture and lock it on          status only
//   9  set or clear an alarm (below)          11 bytes with the handle
//   10-13 remote database access              server/remote_db.h
//   16 as 6, and forget the loaded change of one record: class index,
//      record oid                             12 bytes with the time
//   17 disable a class: class index           status only
// The 12-byte reply is 0xA0 0x000C "I" 0x0009, the sub-code, 0x00 and the
// current time, which also becomes the class's LastSyncTime. The 11-byte
// reply is 0xA0 0x000B "I" 0x0008 0x09 and the alarm handle.
//
// The alarm item is described in server/alarm_command.h; missing strings
// take the defaults "CALENDAR.EXE", "Alarm Reminder", "Alarm Message" and
// "Alarm1.wav".
//
// Malformed items: an item whose length field is 0, that is too short for
// the numbers its sub-code reads, or that runs past the received bytes is
// refused with 0xC0 and changes nothing. An alarm string whose length runs
// past the item is cut at the item's end. When a buffer for an alarm string
// cannot be allocated, the alarm is neither set nor cleared and the command
// answers 0xC0.
//
// Threads: the server's worker, with systemLock held.
#ifndef HOLLOWMARCH_SERVER_COMMANDS_H_
#define HOLLOWMARCH_SERVER_COMMANDS_H_

#include "platform/types.h"
#include "tracking/tracking_state.h"

struct SyncSession;
class MessageBuffer;

// Reads the command from `payload` (the frame's payload, `cbPayload` bytes,
// never read past), carries it out and records what the reply must hold in
// the session. Returns STATUS_OK, STATUS_BAD_REQUEST or STATUS_REFUSED
// (outside SessionStateOpen).
BYTE HandleCommand(SyncSession& session, TrackingState& tracking,
                   const BYTE* payload, DWORD cbPayload) REQUIRES(TrackingState::systemLock);

// Appends the reply for `status` to `reply`, which must be empty; non-zero.
int ReplyCommand(SyncSession& session, MessageBuffer& reply,
                 TrackingState& tracking, BYTE status) REQUIRES(TrackingState::systemLock);

// True when the command whose payload is `payload` (`cbPayload` bytes,
// never read past) may write the store: every sub-code but those of remote
// database access, which only read. The server then takes the store before
// systemLock (LockWithStore), so that a busy store holds up this command
// alone. Any thread; looks at nothing shared.
bool CommandWritesStore(const BYTE* payload, DWORD cbPayload);

// When the store transaction that a command ran in could not be committed,
// nothing it wrote is kept: the class it selected (commands 3, 6, 16, 17)
// is lost and its logs are opened afresh at their next use, and the reply
// becomes a bare 0xC0 in `reply` (which must be empty). Non-zero, like
// ReplyCommand.
int ReplyCommandNotKept(SyncSession& session, MessageBuffer& reply,
                        TrackingState& tracking) REQUIRES(TrackingState::systemLock);

#endif  // HOLLOWMARCH_SERVER_COMMANDS_H_
