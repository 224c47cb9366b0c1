// hmdevice's object-store commands: db create/list/delete and rec
// add/set/delete/list/import.
//
// Each command expects the device to be open in this process and runs on
// the calling thread. A command that refuses its input writes nothing; a
// database argument (DB) is a name or '@' and its identifier (decimal or
// 0x-hex), and must name an existing database.
#ifndef HOLLOWMARCH_TOOLS_HMDEVICE_STORE_H_
#define HOLLOWMARCH_TOOLS_HMDEVICE_STORE_H_

#include <optional>
#include <string>
#include <vector>

#include "platform/types.h"
#include "tools/hmdevice_io.h"
#include "tools/hmdevice_values.h"

namespace hmdevice {

// The identifier of the database that `db` names.
Result<CEOID> ResolveDatabase(const std::string& db);

// Prints the new database's identifier.
int CreateDatabaseCommand(Io& io, const std::string& name, const std::string& type);
// Every database (of one type, when given; type 0 is every type), in
// creation order: "OID TYPE RECORDS NAME" lines or the JSON array.
int ListDatabasesCommand(Io& io, const std::optional<std::string>& type, bool json);
int DeleteDatabaseCommand(Io& io, const std::string& db);

// Prints the new record's identifier.
int AddRecordCommand(Io& io, const std::string& db, const std::vector<std::string>& props);
// Replaces or adds the given properties of one record of `db`.
int SetRecordCommand(Io& io, const std::string& db, const std::string& oid,
                     const std::vector<std::string>& props);
int DeleteRecordCommand(Io& io, const std::string& db, const std::string& oid);
// Every record in read order: "OID PROP=VALUE ..." lines or the JSON array.
int ListRecordsCommand(Io& io, const std::string& db, bool json);
// Reads one JSON record a line from io.in and appends them all, or none:
// every line is checked before the first write, and when a write fails the
// records this import wrote are deleted again. Blank lines are skipped.
// Prints the count. When some of those records cannot be deleted again,
// the problem line says how many are left behind and names them.
int ImportRecordsCommand(Io& io, const std::string& db);

}  // namespace hmdevice

#endif  // HOLLOWMARCH_TOOLS_HMDEVICE_STORE_H_
