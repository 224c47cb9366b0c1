// The constants of the protocol spoken with the desktop peer, and the
// big-endian field helpers every message handler uses.
//
// Every message in both directions is a frame: a first byte (the message
// type, or the status of a device reply), a 16-bit big-endian total length
// that counts the 3 header bytes, and a payload that is a run of items. An
// item is a tag, a 16-bit big-endian length that counts the 3 item-header
// bytes, and the item's payload. All integers are big-endian unless a
// message says otherwise.
#ifndef HOLLOWMARCH_SERVER_PROTOCOL_H_
#define HOLLOWMARCH_SERVER_PROTOCOL_H_

#include <cstddef>
#include <cstdint>

#include "platform/types.h"
#include "settings/data_classes.h"

// First bytes of the peer's requests.
constexpr BYTE MSG_HELLO = 0x80;        // opens a session
constexpr BYTE MSG_END_SESSION = 0x81;  // ends it, optionally closing the app
constexpr BYTE MSG_COMMAND = 0x82;
constexpr BYTE MSG_QUERY = 0x83;
// First bytes of the device's change frames.
constexpr BYTE MSG_CHANGES = 0x02;       // more frames follow
constexpr BYTE MSG_CHANGES_LAST = 0x82;  // last frame of a stream
// The peer's acknowledgement of a change frame (0xA0 acknowledges too).
constexpr BYTE ACK_CONTINUE = 0x90;

// Reply statuses.
constexpr BYTE STATUS_OK = 0xA0;
constexpr BYTE STATUS_BAD_REQUEST = 0xC0;   // malformed, out of range
constexpr BYTE STATUS_UNRECOGNISED = 0xD1;  // under 3 bytes, unknown type
constexpr BYTE STATUS_REFUSED = 0xD3;       // not allowed in this state

// Item tags.
constexpr BYTE TAG_IDENTITY = 0x46;  // "F": the peer's identification (hello)
constexpr BYTE TAG_HISTORY = 0x48;   // "H": records of a non-last change frame
constexpr BYTE TAG_INFO = 0x49;      // "I": parameters and results

// Frame and item header sizes, and the size of the message buffer every
// request and reply must fit into.
constexpr DWORD kFrameHeaderBytes = 3;
constexpr DWORD kItemHeaderBytes = 3;
constexpr DWORD kMessageBufferBytes = 2048;

// Hello: the version both sides announce, the length of its fixed prefix
// (version, a byte that is not read, the peer's buffer size) and the
// identification the peer's "F" item must begin with.
constexpr BYTE kHelloVersion = 0x10;
constexpr DWORD kHelloPrefixBytes = 4;
constexpr char kPeerIdentification[] = "HM-HPCSERV-10";
constexpr DWORD kPeerIdentificationBytes = sizeof(kPeerIdentification) - 1;
// The 1-byte payload of the "I" item of the hello reply.
constexpr BYTE kHelloReplyInfo = 0x2D;
constexpr DWORD kHelloReplyBytes = 11;

// `bLastOp` when no reply of a query or command is pending.
constexpr BYTE OP_NONE = 0xEE;

// Query sub-codes.
constexpr BYTE QUERY_SYNC_STATE = 4;
constexpr BYTE QUERY_CHANGES = 5;
constexpr BYTE QUERY_TIME_ZONE = 8;
constexpr BYTE QUERY_FREE_SPACE = 15;

// Answers of the sync-state query.
constexpr BYTE CHANGES_COMPLETE = 0;
constexpr BYTE CHANGES_UNTRACKED = 1;
constexpr BYTE CHANGES_INCOMPLETE = 2;

// Command sub-codes.
constexpr BYTE CMD_SUSPEND_CAPTURE = 2;
constexpr BYTE CMD_FLUSH_CHANGES = 3;
constexpr BYTE CMD_ENABLE_CLASS = 6;
constexpr BYTE CMD_RESUME_CAPTURE = 7;
constexpr BYTE CMD_SET_ALARM = 9;
constexpr BYTE CMD_OPEN_DB = 10;
constexpr BYTE CMD_CLOSE_DB = 11;
constexpr BYTE CMD_SEEK_DB = 12;
constexpr BYTE CMD_READ_RECORDS = 13;
constexpr BYTE CMD_FORGET_CHANGE = 16;
constexpr BYTE CMD_DISABLE_CLASS = 17;

// The data class of a class index, the wire's name of a class: its place in
// kDataClasses (settings/data_classes.h). False for an index past the list.
constexpr bool DataClassOfIndex(DWORD index, DWORD* dataClass) {
  if (index >= static_cast<DWORD>(kDataClassCount)) return false;
  *dataClass = kDataClasses[index];
  return true;
}

// Big-endian fields. The caller guarantees the bytes are there.
inline WORD GetBe16(const BYTE* p) {
  return static_cast<WORD>((p[0] << 8) | p[1]);
}
inline DWORD GetBe32(const BYTE* p) {
  return (static_cast<DWORD>(p[0]) << 24) | (static_cast<DWORD>(p[1]) << 16) |
         (static_cast<DWORD>(p[2]) << 8) | static_cast<DWORD>(p[3]);
}
inline void PutBe16(BYTE* p, WORD value) {
  p[0] = static_cast<BYTE>(value >> 8);
  p[1] = static_cast<BYTE>(value);
}
inline void PutBe32(BYTE* p, DWORD value) {
  p[0] = static_cast<BYTE>(value >> 24);
  p[1] = static_cast<BYTE>(value >> 16);
  p[2] = static_cast<BYTE>(value >> 8);
  p[3] = static_cast<BYTE>(value);
}

// Writes the status-only reply (status, 0x00, 0x03) at `out`; 3.
inline DWORD PutStatusReply(BYTE* out, BYTE status) {
  out[0] = status;
  PutBe16(out + 1, static_cast<WORD>(kFrameHeaderBytes));
  return kFrameHeaderBytes;
}

#endif  // HOLLOWMARCH_SERVER_PROTOCOL_H_
