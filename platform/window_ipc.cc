#include "platform/window_ipc.h"

#include <atomic>

namespace platform::ipc {

// Within one process only, for now: handles from a process-local counter.
HWND AllocateWindowHandle() {
  static std::atomic<HWND> next{1};
  return next.fetch_add(1);
}

bool PublishWindow(HWND, const std::u16string&, const std::u16string&) { return false; }
void UnpublishWindow(HWND) {}
HWND FindRemoteWindow(const std::u16string&, const std::u16string*) { return 0; }
bool SendRemote(HWND, UINT, WPARAM, LPARAM, LRESULT*) { return false; }
bool PostRemote(HWND, UINT, WPARAM, LPARAM) { return false; }

}  // namespace platform::ipc
