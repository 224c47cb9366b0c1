// Feeds the peer's messages to HandleMessage on a device of its own, as the
// server's worker would, without a connection.
//
// Input: byte 0 picks the session state to start from (and whether a change
// stream is done); then messages, each a 16-bit big-endian size followed by
// that many bytes (cut at the input's end and at the buffer's size).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <filesystem>
#include <string>

#include "platform/device.h"
#include "server/message_buffer.h"
#include "server/message_dispatch.h"
#include "server/protocol.h"
#include "server/sync_session.h"
#include "shell/process_objects.h"
#include "tracking/tracked_db.h"

namespace {

std::string* deviceRoot = nullptr;

void RemoveDevice() {
  platform::CloseDevice();
  std::error_code ignored;
  std::filesystem::remove_all(*deviceRoot, ignored);
}

struct World {
  World() {
    char root[] = "/tmp/hm-fuzz-XXXXXX";
    if (mkdtemp(root) == nullptr || !platform::OpenDevice(root).ok()) std::abort();
    deviceRoot = new std::string(root);
    std::atexit(RemoveDevice);
    // The program's own objects; each input gets a session and a server of
    // its own on their tracking state.
    objects = std::make_unique<ProcessObjects>();
  }
  std::unique_ptr<ProcessObjects> objects;
};

// Built on the first input and kept for the whole run (the tracking objects
// must outlive every session); the device's directory goes at exit.
World& TheWorld() {
  static World* world = new World();
  return *world;
}

constexpr DWORD kStates[] = {SessionStateNone, SessionStateOpen, SessionStateEnded,
                             SessionStateStreaming, SessionStateShutdown};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  World& world = TheWorld();
  SyncSession session;
  session.dwState = kStates[data[0] % 5];
  session.fStreamDone = (data[0] >> 4) & 1;
  ++data;
  --size;

  // The request buffer is exactly as large as the server's, so a read past
  // it is caught; the reply buffer asserts its own bounds.
  auto* buffer = static_cast<BYTE*>(std::malloc(kMessageBufferBytes));
  MessageBuffer reply;
  while (size >= 2) {
    size_t length = (static_cast<size_t>(data[0]) << 8) | data[1];
    data += 2;
    size -= 2;
    if (length > size) length = size;
    if (length > kMessageBufferBytes) length = kMessageBufferBytes;
    if (length == 0) continue;
    std::memset(buffer, 0xCD, kMessageBufferBytes);
    std::memcpy(buffer, data, length);
    data += length;
    size -= length;
    reply.Clear();
    int replied;
    {
      platform::MutexLock locked(&TrackingState::systemLock);
      replied = HandleMessage(session, buffer, static_cast<int32_t>(length), reply,
                              world.objects->tracking);
    }
    if (replied != 0 && (reply.Size() < kFrameHeaderBytes || reply.Size() > MessageBuffer::kCapacity))
      std::abort();
  }
  std::free(buffer);
  return 0;
}
