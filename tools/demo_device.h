// The demo device: a few databases of each tracked kind and a small mail
// store, enough for a first sync to have something to carry.
//
//   "Demo Contacts"      type 24   3 records
//   "Demo Appointments"  type 25   3 records
//   "Demo Tasks"         type 26   3 records
//   "Demo Notes"         type 291  2 records
//   pmailMsgs            type 5454 4 messages
//   pmailFolders         type 5455 2 records, naming the two folders below
//   "Demo Inbox"         type 5456 3 messages filed (message oid, MAPI uid)
//   "Demo Sent Items"    type 5456 1 message filed
//
// The desktop tools may default to these names.
#ifndef HOLLOWMARCH_TOOLS_DEMO_DEVICE_H_
#define HOLLOWMARCH_TOOLS_DEMO_DEVICE_H_

#include "platform/status.h"
#include "platform/types.h"

namespace demo {

inline constexpr char kContactsDb[] = "Demo Contacts";
inline constexpr char kAppointmentsDb[] = "Demo Appointments";
inline constexpr char kTasksDb[] = "Demo Tasks";
inline constexpr char kNotesDb[] = "Demo Notes";
inline constexpr char kMailMessagesDb[] = "pmailMsgs";
inline constexpr char kMailFoldersDb[] = "pmailFolders";
inline constexpr char kInboxFolderDb[] = "Demo Inbox";
inline constexpr char kSentFolderDb[] = "Demo Sent Items";

inline constexpr DWORD kContactsType = 24;
inline constexpr DWORD kAppointmentsType = 25;
inline constexpr DWORD kTasksType = 26;
inline constexpr DWORD kNotesType = 291;
inline constexpr DWORD kMailMessagesType = 5454;
inline constexpr DWORD kMailFoldersType = 5455;
inline constexpr DWORD kMailFolderType = 5456;

// The MAPI uids of the filed messages: the inbox's, then the sent folder's.
inline constexpr DWORD kInboxUids[] = {1001, 1002, 1003};
inline constexpr DWORD kSentUids[] = {2001};

// Creates whatever of the demo content is missing on the open device and
// leaves existing databases alone, so running it twice adds nothing. A
// database that cannot be filled completely is deleted again (a later run
// creates it anew). The mail store is created as a whole only when pmailMsgs
// is missing. Call with the device open, on any one thread.
platform::Status InitDemoDevice();

}  // namespace demo

#endif  // HOLLOWMARCH_TOOLS_DEMO_DEVICE_H_
