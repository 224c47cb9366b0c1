#include "platform/kernel.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/device_state.h"
#include "platform/fault.h"
#include "platform/handle_table.h"

namespace {

thread_local DWORD last_error = ERROR_SUCCESS;

// Each local block carries its size in a header in front of it, so that
// LocalSize and LocalReAlloc with LMEM_ZEROINIT know how much was there.
struct alignas(std::max_align_t) BlockHeader {
  size_t size;
};

BlockHeader* HeaderOf(HLOCAL block) {
  return reinterpret_cast<BlockHeader*>(static_cast<char*>(block) - sizeof(BlockHeader));
}

class ThreadObject : public platform::HandleObject {};

}  // namespace

DWORD GetLastError() { return last_error; }
void SetLastError(DWORD error) { last_error = error; }

HLOCAL LocalAlloc(UINT flags, size_t bytes) {
  DWORD error;
  if (platform::fault::ShouldFail(platform::fault::Call::kLocalAlloc, &error)) {
    SetLastError(error);
    return nullptr;
  }
  void* raw = (flags & LMEM_ZEROINIT) ? std::calloc(1, sizeof(BlockHeader) + bytes)
                                      : std::malloc(sizeof(BlockHeader) + bytes);
  if (raw == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  auto* header = static_cast<BlockHeader*>(raw);
  header->size = bytes;
  return header + 1;
}

HLOCAL LocalReAlloc(HLOCAL block, size_t bytes, UINT flags) {
  if (block == nullptr) return LocalAlloc(flags, bytes);
  BlockHeader* header = HeaderOf(block);
  size_t old_size = header->size;
  void* raw = std::realloc(header, sizeof(BlockHeader) + bytes);
  if (raw == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  header = static_cast<BlockHeader*>(raw);
  header->size = bytes;
  if ((flags & LMEM_ZEROINIT) && bytes > old_size) {
    std::memset(reinterpret_cast<char*>(header + 1) + old_size, 0, bytes - old_size);
  }
  return header + 1;
}

HLOCAL LocalFree(HLOCAL block) {
  if (block != nullptr) std::free(HeaderOf(block));
  return nullptr;
}

size_t LocalSize(HLOCAL block) { return block == nullptr ? 0 : HeaderOf(block)->size; }

BOOL CloseHandle(HANDLE handle) {
  auto object = platform::RemoveHandle(handle);
  if (object == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  object->Close();
  return TRUE;
}

HANDLE CreateThread(SECURITY_ATTRIBUTES*, DWORD, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD, LPDWORD thread_id) {
  DWORD error;
  if (platform::fault::ShouldFail(platform::fault::Call::kCreateThread, &error)) {
    SetLastError(error);
    return 0;
  }
  HANDLE handle = platform::IssueHandle(std::make_shared<ThreadObject>());
  if (handle == 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  try {
    std::thread([start, parameter] { start(parameter); }).detach();
  } catch (const std::system_error&) {
    platform::RemoveHandle(handle);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  if (thread_id != nullptr) *thread_id = handle;
  return handle;
}

void Sleep(DWORD milliseconds) {
  if (platform::fault::RecordSleep(milliseconds)) return;
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

DWORD GetTickCount() {
  if (auto ms = platform::fault::UptimeOverride()) return static_cast<DWORD>(*ms);
  return static_cast<DWORD>(platform::DeviceUptimeMs());
}
