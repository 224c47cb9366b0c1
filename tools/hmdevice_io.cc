#include "tools/hmdevice_io.h"

namespace hmdevice {

std::string DescribeError(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND: return "not found";
    case ERROR_ACCESS_DENIED: return "access denied";
    case ERROR_INVALID_HANDLE: return "the database is gone";
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return "out of memory";
    case ERROR_INVALID_PARAMETER: return "invalid parameter";
    case ERROR_DISK_FULL:
    case ERROR_DATABASE_FULL: return "the store is full";
    case ERROR_ALREADY_EXISTS: return "already exists";
    case ERROR_NO_MORE_ITEMS: return "no more items";
    default: return "error " + std::to_string(error);
  }
}

}  // namespace hmdevice
