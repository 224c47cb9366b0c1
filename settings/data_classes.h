// The data classes the system tracks.
//
// Their order is the peer's class index (0 to 4 on the wire) and the order of
// the sync-state cache's slots.
#ifndef HOLLOWMARCH_SETTINGS_DATA_CLASSES_H_
#define HOLLOWMARCH_SETTINGS_DATA_CLASSES_H_

#include "platform/types.h"

// The two classes the system names on their own: notes, and mail, whose
// databases are found by name.
constexpr DWORD kNotesDataClass = 291;
constexpr DWORD kMailDataClass = 5454;

constexpr int kDataClassCount = 5;
constexpr DWORD kDataClasses[kDataClassCount] = {24, 25, 26, kNotesDataClass, kMailDataClass};

// The first this many classes of kDataClasses are tracked on every
// platform; the notes class and mail only on one whose major version is
// above 1.
constexpr int kClassesOnEveryPlatform = 3;

#endif  // HOLLOWMARCH_SETTINGS_DATA_CLASSES_H_
