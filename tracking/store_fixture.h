// Small object-store fixtures for the tracking tests: databases with records,
// and mail stores laid out as the mail programs keep them (pmailMsgs,
// pmailFolders naming folder databases, folder records tying a message's oid
// to its MAPI uid). Header-only; used by tests and benchmarks only. A test
// that needs the tracking state builds a whole TrackingState
// (tracking/tracking_state.h), on the test's own device.
#ifndef HOLLOWMARCH_TRACKING_STORE_FIXTURE_H_
#define HOLLOWMARCH_TRACKING_STORE_FIXTURE_H_

#include <string>
#include <utility>
#include <vector>

#include "platform/kernel.h"
#include "platform/object_store.h"
#include "platform/types.h"
#include "tracking/mail_store.h"

namespace fixture {

inline CEPROPVAL Ui4(CEPROPID id, DWORD value) {
  CEPROPVAL prop{};
  prop.propid = id;
  prop.val.ulVal = value;
  return prop;
}

inline CEPROPVAL Str(CEPROPID id, const std::u16string& text) {
  CEPROPVAL prop{};
  prop.propid = id;
  prop.val.lpwstr = const_cast<LPWSTR>(text.c_str());
  return prop;
}

// A new database (0 when it cannot be created).
inline CEOID CreateDb(const std::u16string& name, DWORD type = 0) {
  return CeCreateDatabase(name.c_str(), type, 0, nullptr);
}

// Appends one record to database `db`; its oid, or 0.
inline CEOID AddRecord(CEOID db, std::vector<CEPROPVAL> props) {
  CEOID oid = db;
  HANDLE h = CeOpenDatabase(&oid, nullptr, 0, 0, 0);
  if (h == INVALID_HANDLE_VALUE) return 0;
  CEOID rec = CeWriteRecordProps(h, 0, static_cast<WORD>(props.size()),
                                 props.data());
  CloseHandle(h);
  return rec;
}

inline bool SetProps(CEOID db, CEOID rec, std::vector<CEPROPVAL> props) {
  CEOID oid = db;
  HANDLE h = CeOpenDatabase(&oid, nullptr, 0, 0, 0);
  if (h == INVALID_HANDLE_VALUE) return false;
  CEOID done = CeWriteRecordProps(h, rec, static_cast<WORD>(props.size()),
                                  props.data());
  CloseHandle(h);
  return done != 0;
}

inline bool DeleteRecord(CEOID db, CEOID rec) {
  CEOID oid = db;
  HANDLE h = CeOpenDatabase(&oid, nullptr, 0, 0, 0);
  if (h == INVALID_HANDLE_VALUE) return false;
  BOOL done = CeDeleteRecord(h, rec);
  CloseHandle(h);
  return done != 0;
}

// The oid of the database of that name, or 0.
inline CEOID FindDb(const std::u16string& name) {
  CEOID oid = 0;
  HANDLE h = CeOpenDatabase(&oid, name.c_str(), 0, 0, 0);
  if (h == INVALID_HANDLE_VALUE) return 0;
  CloseHandle(h);
  return oid;
}

// Record count of a database, or -1.
inline int RecordCount(CEOID db) {
  CEOIDINFO info{};
  if (!CeOidGetInfo(db, &info)) return -1;
  return info.infDatabase.wNumRecords;
}

// How a folder record carries its two properties.
enum class Layout { kOidThenUid, kUidThenOid, kOidOnly, kUidOnly };

struct Filed {
  CEOID oidMsg;
  DWORD uid;
  Layout layout = Layout::kOidThenUid;
};

struct Folder {
  CEOID oidDb = 0;
  std::vector<CEOID> records;  // one per Filed, in order
};

inline std::vector<CEPROPVAL> FolderRecordProps(const Filed& f) {
  // A property of another kind first, as real folder records have.
  std::vector<CEPROPVAL> props{Ui4(0x80010013, 7)};
  CEPROPVAL oid = Ui4(PROPID_MSG_OID, f.oidMsg);
  CEPROPVAL uid = Ui4(PROPID_MAPI_UID, f.uid);
  switch (f.layout) {
    case Layout::kOidThenUid: props.push_back(oid); props.push_back(uid); break;
    case Layout::kUidThenOid: props.push_back(uid); props.push_back(oid); break;
    case Layout::kOidOnly: props.push_back(oid); break;
    case Layout::kUidOnly: props.push_back(uid); break;
  }
  return props;
}

// A folder database `name` with one record per message filed there.
inline Folder MakeFolderDb(const std::u16string& name,
                           const std::vector<Filed>& filed) {
  Folder folder;
  folder.oidDb = CreateDb(name);
  for (const Filed& f : filed) {
    folder.records.push_back(AddRecord(folder.oidDb, FolderRecordProps(f)));
  }
  return folder;
}

// Appends a record to an existing folder database; its oid.
inline CEOID FileMessage(CEOID folderDb, const Filed& f) {
  return AddRecord(folderDb, FolderRecordProps(f));
}

// The two named databases of the mail store.
struct MailStore {
  CEOID oidMsgs = 0;
  CEOID oidFolders = 0;
};

inline MailStore MakeMailStore() {
  return MailStore{CreateDb(kMailMsgsDbName), CreateDb(kMailFoldersDbName)};
}

// A message record in pmailMsgs; its oid.
inline CEOID AddMessage(const MailStore& store) {
  return AddRecord(store.oidMsgs, {Ui4(0x80020013, 1)});
}

// A pmailFolders record naming the given folder databases (one
// PROPID_FOLDER_DBNAME property per name).
inline CEOID NameFolders(const MailStore& store,
                         const std::vector<std::u16string>& names) {
  std::vector<CEPROPVAL> props{Ui4(0x80040013, 1)};
  for (const std::u16string& name : names) {
    props.push_back(Str(PROPID_FOLDER_DBNAME, name));
  }
  return AddRecord(store.oidFolders, props);
}

}  // namespace fixture

#endif  // HOLLOWMARCH_TRACKING_STORE_FIXTURE_H_
