// The data classes the system tracks.
//
// Their order is the peer's class index (0 to 4 on the wire) and the order of
// the sync-state cache's slots. Mail (5454) is the one class whose databases
// are known by name rather than by database type.
#ifndef HOLLOWMARCH_SETTINGS_DATA_CLASSES_H_
#define HOLLOWMARCH_SETTINGS_DATA_CLASSES_H_

#include "platform/types.h"

constexpr int kDataClassCount = 5;
constexpr DWORD kDataClasses[kDataClassCount] = {24, 25, 26, 291, 5454};

#endif  // HOLLOWMARCH_SETTINGS_DATA_CLASSES_H_
