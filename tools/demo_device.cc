#include "tools/demo_device.h"

#include <iterator>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "platform/object_store.h"
#include "tools/hmdevice_io.h"
#include "tools/hmdevice_values.h"
#include "tracking/mail_store.h"

namespace demo {

namespace {

using hmdevice::Property;
using Record = std::vector<Property>;

// The demo's own property identifiers (the mail store's are the system's).
constexpr CEPROPID kContactName = 0x4001001F;
constexpr CEPROPID kContactPhone = 0x4002001F;
constexpr CEPROPID kContactCategory = 0x40030013;
constexpr CEPROPID kContactPicture = 0x40040041;
constexpr CEPROPID kAppointmentSubject = 0x4101001F;
constexpr CEPROPID kAppointmentStart = 0x41020013;  // seconds since 1970
constexpr CEPROPID kAppointmentMinutes = 0x41030012;
constexpr CEPROPID kAppointmentReminder = 0x41040002;  // minutes before, -1 none
constexpr CEPROPID kTaskTitle = 0x4201001F;
constexpr CEPROPID kTaskPriority = 0x42020003;
constexpr CEPROPID kTaskDone = 0x42030012;
constexpr CEPROPID kNoteText = 0x4301001F;
constexpr CEPROPID kNoteInk = 0x43020041;
constexpr CEPROPID kMessageSubject = 0x4401001F;
constexpr CEPROPID kMessageFrom = 0x4402001F;
constexpr CEPROPID kMessageSize = 0x44030013;
constexpr CEPROPID kFolderDisplayName = 0x4501001F;

Property Text(CEPROPID id, std::u16string text) {
  Property property;
  property.id = id;
  property.text = std::move(text);
  return property;
}

Property Number(CEPROPID id, int64_t value) {
  Property property;
  property.id = id;
  property.integer = value;
  return property;
}

Property Bytes(CEPROPID id, std::vector<uint8_t> bytes) {
  Property property;
  property.id = id;
  property.bytes = std::move(bytes);
  return property;
}

std::u16string Wide(const char* ascii) { return std::u16string(ascii, ascii + std::char_traits<char>::length(ascii)); }

CEOID FindDatabase(const char* name) {
  CEOID oid = 0;
  const std::u16string wide = Wide(name);
  HANDLE handle = CeOpenDatabase(&oid, wide.c_str(), 0, 0, 0);
  if (handle == INVALID_HANDLE_VALUE) return 0;
  CloseHandle(handle);
  return oid;
}

// Databases created by this run, deleted again unless Keep() is called.
class CreatedDatabases {
 public:
  ~CreatedDatabases() {
    for (CEOID oid : oids_) CeDeleteDatabase(oid);
  }
  void Add(CEOID oid) { oids_.push_back(oid); }
  void Keep() { oids_.clear(); }

 private:
  std::vector<CEOID> oids_;
};

// Creates database `name` holding `records`; the records' identifiers go to
// *oids. An existing database of that name is left alone (*oids empty).
platform::Status CreateFilled(const char* name, DWORD type, const std::vector<Record>& records,
                              CreatedDatabases* created, std::vector<CEOID>* oids = nullptr) {
  if (FindDatabase(name) != 0) return platform::Status::Ok();
  const std::u16string wide = Wide(name);
  CEOID db = CeCreateDatabase(wide.c_str(), type, 0, nullptr);
  if (db == 0) {
    return platform::Status::Error(std::string("cannot create ") + name + ": " + hmdevice::DescribeError(GetLastError()));
  }
  created->Add(db);
  HANDLE handle = CeOpenDatabase(&db, nullptr, 0, 0, 0);
  if (handle == INVALID_HANDLE_VALUE) {
    return platform::Status::Error(std::string("cannot open ") + name + ": " + hmdevice::DescribeError(GetLastError()));
  }
  for (const Record& record : records) {
    hmdevice::PropertyBlock block(record);
    CEOID oid = CeWriteRecordProps(handle, 0, block.count(), block.data());
    if (oid == 0) {
      const DWORD error = GetLastError();
      CloseHandle(handle);
      return platform::Status::Error(std::string("cannot fill ") + name + ": " + hmdevice::DescribeError(error));
    }
    if (oids != nullptr) oids->push_back(oid);
  }
  CloseHandle(handle);
  return platform::Status::Ok();
}

std::vector<Record> Contacts() {
  return {
      {Text(kContactName, u"Ada Lovelace"), Text(kContactPhone, u"+44 20 7946 0001"),
       Number(kContactCategory, 1), Bytes(kContactPicture, {0x89, 0x50, 0x4E, 0x47})},
      {Text(kContactName, u"Alan Turing"), Text(kContactPhone, u"+44 20 7946 0002"),
       Number(kContactCategory, 2)},
      {Text(kContactName, u"Grace Hopper"), Text(kContactPhone, u"+1 202 555 0143"),
       Number(kContactCategory, 1)},
  };
}

std::vector<Record> Appointments() {
  return {
      {Text(kAppointmentSubject, u"Dentist"), Number(kAppointmentStart, 1767261600),
       Number(kAppointmentMinutes, 30), Number(kAppointmentReminder, 15)},
      {Text(kAppointmentSubject, u"Team meeting"), Number(kAppointmentStart, 1767348000),
       Number(kAppointmentMinutes, 60), Number(kAppointmentReminder, -1)},
      {Text(kAppointmentSubject, u"Caf\u00e9 with Ada"), Number(kAppointmentStart, 1767452400),
       Number(kAppointmentMinutes, 90), Number(kAppointmentReminder, 30)},
  };
}

std::vector<Record> Tasks() {
  return {
      {Text(kTaskTitle, u"Renew passport"), Number(kTaskPriority, 2), Number(kTaskDone, 0)},
      {Text(kTaskTitle, u"Buy batteries"), Number(kTaskPriority, 1), Number(kTaskDone, 1)},
      {Text(kTaskTitle, u"Back up the handheld"), Number(kTaskPriority, 3), Number(kTaskDone, 0)},
  };
}

std::vector<Record> Notes() {
  return {
      {Text(kNoteText, u"Gate code 4711")},
      {Text(kNoteText, u"Sketch of the garden"), Bytes(kNoteInk, {0x01, 0x02, 0x03, 0x04, 0x05, 0x06})},
  };
}

std::vector<Record> Messages() {
  return {
      {Text(kMessageSubject, u"Welcome"), Text(kMessageFrom, u"ada@example.com"), Number(kMessageSize, 812)},
      {Text(kMessageSubject, u"Lunch?"), Text(kMessageFrom, u"alan@example.com"), Number(kMessageSize, 344)},
      {Text(kMessageSubject, u"Compiler notes"), Text(kMessageFrom, u"grace@example.com"), Number(kMessageSize, 2048)},
      {Text(kMessageSubject, u"Re: Lunch?"), Text(kMessageFrom, u"me@example.com"), Number(kMessageSize, 401)},
  };
}

// Folder records filing `messages` with `uids`, pairwise.
std::vector<Record> Filed(const CEOID* messages, const DWORD* uids, size_t count) {
  std::vector<Record> records;
  for (size_t i = 0; i < count; ++i) {
    records.push_back({Number(PROPID_MSG_OID, messages[i]), Number(PROPID_MAPI_UID, uids[i])});
  }
  return records;
}

platform::Status CreateMailStore() {
  if (FindDatabase(kMailMessagesDb) != 0) return platform::Status::Ok();
  CreatedDatabases created;
  std::vector<CEOID> messages;
  platform::Status status = CreateFilled(kMailMessagesDb, kMailMessagesType, Messages(), &created, &messages);
  if (!status.ok()) return status;

  constexpr size_t kInboxCount = std::size(kInboxUids);
  constexpr size_t kSentCount = std::size(kSentUids);
  if (messages.size() != kInboxCount + kSentCount) {
    // Another process made pmailMsgs in the meantime: leave its mail alone.
    return platform::Status::Ok();
  }
  status = CreateFilled(kInboxFolderDb, kMailFolderType, Filed(messages.data(), kInboxUids, kInboxCount), &created);
  if (!status.ok()) return status;
  status = CreateFilled(kSentFolderDb, kMailFolderType,
                        Filed(messages.data() + kInboxCount, kSentUids, kSentCount), &created);
  if (!status.ok()) return status;
  status = CreateFilled(kMailFoldersDb, kMailFoldersType,
                        {{Text(PROPID_FOLDER_DBNAME, Wide(kInboxFolderDb)), Text(kFolderDisplayName, u"Inbox")},
                         {Text(PROPID_FOLDER_DBNAME, Wide(kSentFolderDb)), Text(kFolderDisplayName, u"Sent Items")}},
                        &created);
  if (!status.ok()) return status;
  created.Keep();
  return platform::Status::Ok();
}

}  // namespace

platform::Status InitDemoDevice() {
  struct Plain {
    const char* name;
    DWORD type;
    std::vector<Record> records;
  };
  const Plain plain[] = {
      {kContactsDb, kContactsType, Contacts()},
      {kAppointmentsDb, kAppointmentsType, Appointments()},
      {kTasksDb, kTasksType, Tasks()},
      {kNotesDb, kNotesType, Notes()},
  };
  for (const Plain& db : plain) {
    CreatedDatabases created;
    platform::Status status = CreateFilled(db.name, db.type, db.records, &created);
    if (!status.ok()) return status;
    created.Keep();
  }
  return CreateMailStore();
}

}  // namespace demo
