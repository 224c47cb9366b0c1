// The process's table of kernel handles (internal to the platform).
//
// Handles are 32-bit values issued in increasing order and never reused, so
// a closed or never-issued handle is recognised and fails with
// ERROR_INVALID_HANDLE. Each handle names one object; CloseHandle removes it
// and calls its Close. Thread-safe.
#ifndef HOLLOWMARCH_PLATFORM_HANDLE_TABLE_H_
#define HOLLOWMARCH_PLATFORM_HANDLE_TABLE_H_

#include <memory>

#include "platform/types.h"

namespace platform {

class HandleObject {
 public:
  virtual ~HandleObject() = default;
  // Called once when the handle is closed (not when the table is cleared).
  virtual void Close() {}
};

// A new handle for `object`; 0 when the handle space is exhausted.
HANDLE IssueHandle(std::shared_ptr<HandleObject> object);

// The object of an open handle, when it is of type T; null otherwise.
std::shared_ptr<HandleObject> FindHandleObject(HANDLE handle);
template <class T>
std::shared_ptr<T> FindHandle(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(FindHandleObject(handle));
}

// Removes the handle and returns its object (null when it was not open).
std::shared_ptr<HandleObject> RemoveHandle(HANDLE handle);

// Drops every handle without calling Close (the device is being closed).
void ClearHandles();

}  // namespace platform

#endif  // HOLLOWMARCH_PLATFORM_HANDLE_TABLE_H_
