// A sync server on a fresh temporary device, started in the test on a free
// loopback port, with a desktop-side client connected to it: the fixture of
// the byte-exact protocol tests of queries, the change stream and commands.
//
// The test thread changes the tracking state (prepared logs, removals
// between frames) under systemLock, as the window thread does.
#ifndef HOLLOWMARCH_SERVER_LOOPBACK_FIXTURE_H_
#define HOLLOWMARCH_SERVER_LOOPBACK_FIXTURE_H_

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "peer/frame.h"
#include "peer/peer_client.h"
#include "platform/object_store.h"
#include "platform/registry.h"
#include "server/message_dispatch.h"
#include "server/protocol.h"
#include "server/sync_server.h"
#include "server/sync_session.h"
#include "settings/registry_store.h"
#include "settings/sync_state_cache.h"
#include "tests/support/process.h"
#include "tests/support/temp_device.h"
#include "tracking/change_log.h"
#include "tracking/mail_store.h"
#include "tracking/tracked_db.h"
#include "tracking/tracking_state.h"

namespace hmtest {

using peer::Bytes;

inline Bytes Be32(DWORD v) {
  return {BYTE(v >> 24), BYTE(v >> 16), BYTE(v >> 8), BYTE(v)};
}

inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline Bytes Head(const Bytes& b, size_t n) {
  return Bytes(b.begin(), b.begin() + std::min(n, b.size()));
}

inline Bytes Slice(const Bytes& b, size_t at, size_t n) {
  if (at >= b.size()) return {};
  return Bytes(b.begin() + at, b.begin() + std::min(at + n, b.size()));
}

class LoopbackServerTest : public ::testing::Test {
 protected:
  LoopbackServerTest()
      : server_(dispatcher_, tracking_.hwndMain, static_cast<DWORD>(FreePort())) {}

  void SetUp() override {
    ASSERT_EQ(server_.Start(), 1);
    std::string error;
    ASSERT_TRUE(peer_.Connect("127.0.0.1", static_cast<uint16_t>(server_.dwPort),
                              peer::PeerClient::kDefaultTimeout, &error))
        << error;
  }

  void TearDown() override {
    peer_.Close();
    platform::MutexLock locked(&TrackingState::systemLock);
    server_.StopReleasingLock();
  }

  void SayHello() { ASSERT_EQ(peer_.Hello(), 0xA0); }

  // --- the device side (under the lock, as the window thread would) ---

  // A database of `type` in the store; its oid.
  CEOID MakeDatabase(DWORD type, const std::u16string& name) {
    CEOID oid = CeCreateDatabase(name.c_str(), type, 0, nullptr);
    EXPECT_NE(oid, 0u);
    return oid;
  }

  // Tracks every database of the class; the class's first node.
  TrackedDb* Track(DWORD dataClass) {
    platform::MutexLock locked(&TrackingState::systemLock);
    EXPECT_TRUE(tracking_.trackedDbs.DiscoverClassDbs(dataClass, true, 0));
    return tracking_.trackedDbs.FirstTrackedOfClass(dataClass);
  }

  // Appends a change record to the node's log database.
  void Record(TrackedDb* node, BYTE type, DWORD time, CEOID oidRec,
              DWORD uid = kNoUid) {
    platform::MutexLock locked(&TrackingState::systemLock);
    ASSERT_TRUE(node->pLog->WriteEntry(type, time, oidRec, uid));
  }

  void SetState(DWORD dataClass, DWORD state, DWORD syncTime) {
    platform::MutexLock locked(&TrackingState::systemLock);
    SetSyncState(tracking_.syncStates, dataClass, state);
    SetSyncTime(dataClass, syncTime);
  }

  // A class's registry value "<stem>_<class>", or `missing`.
  static DWORD ClassValue(const char* stem, DWORD dataClass, DWORD missing = 0xDEADBEEF) {
    HKEY key = OpenSettingsKey();
    if (key == 0) return missing;
    DWORD type = 0, value = 0, size = sizeof value;
    LONG rc = RegQueryValueExW(key, ClassValueName(stem, dataClass).c_str(), nullptr, &type,
                               reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(key);
    return rc == 0 && type == REG_DWORD ? value : missing;
  }

  // --- the peer side ---

  Bytes Exchange(BYTE type, const Bytes& payload) {
    Bytes reply;
    peer_.Exchange(type, payload, &reply);
    return reply;
  }

  static Bytes InfoItem(const Bytes& fields) { return peer::Item(TAG_INFO, fields); }

  Bytes Query(BYTE subCode, BYTE index = 0, DWORD time = 0) {
    return Exchange(MSG_QUERY, InfoItem(Cat({{subCode, index}, Be32(time)})));
  }
  Bytes Command(const Bytes& fields) { return Exchange(MSG_COMMAND, InfoItem(fields)); }

  Bytes Receive() {
    Bytes frame;
    EXPECT_EQ(peer_.ReceiveFrame(&frame), peer::ReceiveResult::kFrame);
    return frame;
  }
  // Acknowledges a change frame and receives the next one.
  Bytes Ack(BYTE ack = 0x90) { return Exchange(ack, {}); }

  TempDevice device_;
  TrackingState tracking_;
  SyncSession session_;
  SessionDispatcher dispatcher_{session_, tracking_};
  SyncServer server_;
  peer::PeerClient peer_;
};

}  // namespace hmtest

#endif  // HOLLOWMARCH_SERVER_LOOPBACK_FIXTURE_H_
