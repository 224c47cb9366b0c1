// What every hmdevice command is given and how it ends.
#ifndef HOLLOWMARCH_TOOLS_HMDEVICE_IO_H_
#define HOLLOWMARCH_TOOLS_HMDEVICE_IO_H_

#include <iostream>
#include <string>

#include "platform/types.h"

namespace hmdevice {

// Exit codes.
constexpr int kExitOk = 0;
constexpr int kExitMissing = 1;     // the value, key or window asked for is not there
constexpr int kExitBadInput = 2;    // usage or input error; nothing was written
constexpr int kExitFailed = 3;      // the device refused a well-formed request

// The streams of one command run. Commands write their result to `out`, one
// line naming a problem to `err`, and read `in` only where they say so.
struct Io {
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
};

// Prints "hmdevice: <message>" on err and returns `code`.
inline int Problem(Io& io, int code, const std::string& message) {
  io.err << "hmdevice: " << message << "\n";
  return code;
}

// A short text for an error code of the device ("store is full", ...).
std::string DescribeError(DWORD error);

}  // namespace hmdevice

#endif  // HOLLOWMARCH_TOOLS_HMDEVICE_IO_H_
