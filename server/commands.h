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
// refused with 0xC0 and changes nothing: the dispatcher
// (server/message_dispatch.h) refuses them and unknown sub-codes before any
// handler below runs, and answers 0xD3 outside SessionStateOpen. An alarm
// string whose length runs past the item is cut at the item's end. When a buffer for an alarm string
// cannot be allocated, the alarm is neither set nor cleared and the command
// answers 0xC0.
//
// Each sub-code has a handler and, where its reply is more than the status,
// a reply; the dispatcher's table names them. A handler is given the
// request with an "I" item at least as long as the table says, sets bLastOp
// to its sub-code when it accepts the command and returns STATUS_OK, or
// returns STATUS_BAD_REQUEST. A reply is called only after its handler
// accepted, appends its frame to the empty `reply` and returns non-zero.
//
// Threads: the server's worker, with systemLock held.
#ifndef HOLLOWMARCH_SERVER_COMMANDS_H_
#define HOLLOWMARCH_SERVER_COMMANDS_H_

#include "platform/types.h"
#include "tracking/tracking_state.h"

struct SyncSession;
struct Request;
class MessageBuffer;

// Bytes each command's "I" item needs from the sub-code on for the numbers
// it reads.
constexpr DWORD kSubCodeItemBytes = 1;   // 2, 3, 7: the sub-code alone
constexpr DWORD kClassItemBytes = 2;     // 6, 17: sub-code, class index
constexpr DWORD kForgetItemBytes = 6;    // 16: and the record oid

// 2, 7: capture suspended (unless locked), resumed and locked on.
BYTE HandleSuspendCapture(SyncSession& session, TrackingState& tracking, const Request& request);
BYTE HandleResumeCapture(SyncSession& session, TrackingState& tracking, const Request& request);
// 3: the selected class's lists written back and released.
BYTE HandleFlushChanges(SyncSession& session, TrackingState& tracking, const Request& request)
    REQUIRES(TrackingState::systemLock);
// 6 and 16: the class enabled (16 also forgets one record's loaded change);
// STATUS_BAD_REQUEST for a class index past the list. ReplyClassTime
// answers the time.
BYTE HandleEnableClass(SyncSession& session, TrackingState& tracking, const Request& request)
    REQUIRES(TrackingState::systemLock);
int ReplyClassTime(SyncSession& session, TrackingState& tracking, BYTE status,
                   MessageBuffer& reply) REQUIRES(TrackingState::systemLock);
// 17: the class disabled; STATUS_BAD_REQUEST for a class index past the
// list.
BYTE HandleDisableClass(SyncSession& session, TrackingState& tracking, const Request& request)
    REQUIRES(TrackingState::systemLock);
// 9: an alarm set or cleared (server/alarm_command.h); STATUS_BAD_REQUEST,
// with hAlarm 0, when a string buffer cannot be allocated. ReplyAlarm
// answers the handle.
BYTE HandleSetAlarm(SyncSession& session, TrackingState& tracking, const Request& request);
int ReplyAlarm(SyncSession& session, TrackingState& tracking, BYTE status, MessageBuffer& reply);

// When the store transaction that an accepted command 3, 6, 16 or 17 ran in
// could not be committed, nothing it wrote is kept: the class it selected is
// lost and its logs are opened afresh at their next use.
void LoseSelectedClass(SyncSession& session, TrackingState& tracking)
    REQUIRES(TrackingState::systemLock);

#endif  // HOLLOWMARCH_SERVER_COMMANDS_H_
