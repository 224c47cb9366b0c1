// The program's string table: the texts it shows or keeps as resources,
// compiled into the program and registered with the platform at start-up
// (LoadStringW reads them).
#ifndef HOLLOWMARCH_SHELL_STRING_TABLE_H_
#define HOLLOWMARCH_SHELL_STRING_TABLE_H_

#include "platform/types.h"

constexpr UINT IDS_ADD_CHANGE_FAILED = 101;  // "Unable to add change notification"
constexpr UINT IDS_COMM_INIT_FAILED = 104;   // "Unable to initialize communication"
constexpr UINT IDS_NO_MEMORY = 105;
constexpr UINT IDS_APP_TITLE = 201;  // window class, window name, box caption
constexpr UINT IDS_HELLO = 202;      // drawn when the window is painted
constexpr UINT IDS_CHECKPOINT_FIRST = 203;
constexpr UINT IDS_CHECKPOINT_LAST = 209;
constexpr UINT IDS_CONFIRM_SHUTDOWN = 210;
constexpr UINT IDS_ALREADY_RUNNING = 211;

// The class icon's resource id.
constexpr int IDI_APP_ICON = 102;

// Registers the table with the platform; call once before any LoadStringW.
void RegisterProgramStrings();

#endif  // HOLLOWMARCH_SHELL_STRING_TABLE_H_
