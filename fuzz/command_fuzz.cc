// Feeds commands straight to HandleMessage, in an open session on a device
// of its own with one tracked class (with a loaded change list) and one
// database the peer has opened.
//
// Input: the frame payload of one command (cut at the message buffer's
// size), sent in a command frame of exactly its length. Whatever it holds,
// the dispatcher and the handlers must read nothing past it, write no reply
// larger than the buffer, and leave the server's own database handles
// alone.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/device.h"
#include "platform/kernel.h"
#include "platform/object_store.h"
#include "server/message_buffer.h"
#include "server/message_dispatch.h"
#include "server/protocol.h"
#include "server/sync_session.h"
#include "shell/process_objects.h"
#include "tracking/change_log.h"
#include "tracking/tracked_db.h"

namespace {

struct World {
  World() {
    char root[] = "/tmp/hm-command-fuzz-XXXXXX";
    if (mkdtemp(root) == nullptr || !platform::OpenDevice(root).ok()) std::abort();
    // The program's own objects; each input gets a session and a server of
    // its own on their tracking state.
    objects = std::make_unique<ProcessObjects>();
    // Databases whose records the remote commands can read.
    if (CeCreateDatabase(u"Contacts", 24, 0, nullptr) == 0) std::abort();
    CEOID remote = CeCreateDatabase(u"Remote", 77, 0, nullptr);
    HANDLE h = CeOpenDatabase(&remote, nullptr, 0, 0, 0);
    for (DWORD i = 0; i < 4; ++i) {
      CEPROPVAL v{};
      v.propid = 0x00010013;
      v.val.ulVal = i;
      CeWriteRecordProps(h, 0, 1, &v);
    }
    CloseHandle(h);
    platform::MutexLock locked(&TrackingState::systemLock);
    objects->tracking.trackedDbs.DiscoverClassDbs(24, true, 0);
    node = objects->tracking.trackedDbs.FirstTrackedOfClass(24);
    for (DWORD i = 0; i < 8; ++i) node->pLog->WriteEntry(3, 1000 + i, 50 + i, kNoUid);
  }
  std::unique_ptr<ProcessObjects> objects;
  TrackedDb* node = nullptr;
};

World& TheWorld() {
  static World* world = new World();
  return *world;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  World& world = TheWorld();
  SyncSession session;
  session.dwState = SessionStateOpen;
  if (size > kMessageBufferBytes - kFrameHeaderBytes) size = kMessageBufferBytes - kFrameHeaderBytes;

  // The frame is a block of its own, followed by nothing the handler may
  // read; the reply buffer asserts its own bounds.
  const DWORD frameBytes = kFrameHeaderBytes + static_cast<DWORD>(size);
  auto* frame = static_cast<BYTE*>(std::malloc(frameBytes));
  frame[0] = MSG_COMMAND;
  PutBe16(frame + 1, static_cast<WORD>(frameBytes));
  BYTE* payload = frame + kFrameHeaderBytes;
  std::memcpy(payload, data, size);
  MessageBuffer reply;
  {
    platform::MutexLock locked(&TrackingState::systemLock);
    world.objects->tracking.trackedDbs.LoadClassLog(24);
    HANDLE ownLog = world.node->pLog->LogDbHandle();
    // A remote database open as the peer would have it.
    CEOID remote = 0;
    session.hRemoteDb = CeOpenDatabase(&remote, u"Remote", 0, CEDB_AUTOINCREMENT, 0);
    session.remoteDbs.Add(session.hRemoteDb);

    // Handles are unpredictable: in a remote command whose "I" item comes
    // first, handle 1 stands for the peer's open database and handle 2 for
    // the server's own log.
    if (size >= 8 && payload[0] == TAG_INFO && payload[3] >= CMD_CLOSE_DB &&
        payload[3] <= CMD_READ_RECORDS) {
      DWORD named = GetBe32(payload + 4);
      if (named == 1) PutBe32(payload + 4, session.hRemoteDb);
      if (named == 2) PutBe32(payload + 4, ownLog);
    }
    if (HandleMessage(session, frame, static_cast<int32_t>(frameBytes), reply,
                      world.objects->tracking) == 0) {
      std::abort();
    }
    if (reply.Size() < kFrameHeaderBytes || reply.Size() > MessageBuffer::kCapacity) std::abort();
    if (session.cbRecords > session.cbRecordsMax) std::abort();
    // The server's own log is never closed by the peer (it may be deleted
    // and re-created by a disable command, which closes it itself).
    if (world.node->pLog->LogDbHandle() == ownLog && ownLog != INVALID_HANDLE_VALUE &&
        CeSeekDatabase(ownLog, CEDB_SEEK_BEGINNING, 0, nullptr) == 0 &&
        GetLastError() == ERROR_INVALID_HANDLE) {
      std::abort();
    }
    CloseHandle(session.hRemoteDb);
    world.objects->tracking.trackedDbs.EndClassLog(24);
  }
  std::free(frame);
  return 0;
}
