// The store commands in this process, where the failure seam can make the
// store refuse a write half-way through a command.
#include "tools/hmdevice_store.h"

#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/fault.h"
#include "tests/support/temp_device.h"

namespace hmdevice {
namespace {

struct Captured {
  int code;
  std::string out;
  std::string err;
};

template <typename Command>
Captured RunCommand(Command command, const std::string& input = "") {
  std::istringstream in(input);
  std::ostringstream out, err;
  Io io{in, out, err};
  int code = command(io);
  return {code, out.str(), err.str()};
}

std::string ListJson(const std::string& db) {
  return RunCommand([&](Io& io) { return ListRecordsCommand(io, db, true); }).out;
}

class StoreCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Captured created = RunCommand([](Io& io) { return CreateDatabaseCommand(io, "Notes", "291"); });
    ASSERT_EQ(created.code, kExitOk) << created.err;
    Captured added = RunCommand([](Io& io) { return AddRecordCommand(io, "Notes", {"0x1001F=kept"}); });
    ASSERT_EQ(added.code, kExitOk) << added.err;
  }

  hmtest::TempDevice device_;
};

TEST_F(StoreCommandsTest, ImportThatFailsHalfWayLeavesTheDatabaseAsItWas) {
  const std::string before = ListJson("Notes");
  // The third write of the import fails as a full store would.
  platform::fault::FailNext(platform::fault::Call::kCeWriteRecordProps, ERROR_DISK_FULL, 1, 2);
  Captured import = RunCommand([](Io& io) { return ImportRecordsCommand(io, "Notes"); },
                               "{\"props\":[{\"id\":65567,\"value\":\"a\"}]}\n"
                               "{\"props\":[{\"id\":65567,\"value\":\"b\"}]}\n"
                               "{\"props\":[{\"id\":65567,\"value\":\"c\"}]}\n"
                               "{\"props\":[{\"id\":65567,\"value\":\"d\"}]}\n");
  platform::fault::Clear();
  EXPECT_EQ(import.code, kExitFailed);
  EXPECT_NE(import.err.find("store is full"), std::string::npos) << import.err;
  EXPECT_NE(import.err.find("nothing imported"), std::string::npos) << import.err;
  EXPECT_EQ(import.out, "");  // no count: a failure is not reported as success
  EXPECT_EQ(ListJson("Notes"), before);
}

// When the records already written cannot all be deleted again, the
// import says how many it left behind and which, and they are exactly the
// ones still there.
TEST_F(StoreCommandsTest, ImportThatCannotTakeItsRecordsBackSaysWhatItLeft) {
  const std::string lines =
      "{\"props\":[{\"id\":65567,\"value\":\"a\"}]}\n"
      "{\"props\":[{\"id\":65567,\"value\":\"b\"}]}\n"
      "{\"props\":[{\"id\":65567,\"value\":\"c\"}]}\n"
      "{\"props\":[{\"id\":65567,\"value\":\"d\"}]}\n";
  struct Case {
    const char* name;
    int failing_deletes;  // of the three taken back, after `skip` that succeed
    int skip;
    size_t left;
    const char* says;
  } cases[] = {
      {"one delete fails", 1, 1, 1, "1 of the 3 records written is left in Notes"},
      {"every delete fails", -1, 0, 3, "3 of the 3 records written are left in Notes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const nlohmann::json before = nlohmann::json::parse(ListJson("Notes"));
    platform::fault::FailNext(platform::fault::Call::kCeWriteRecordProps, ERROR_DISK_FULL, 1, 3);
    platform::fault::FailNext(platform::fault::Call::kCeDeleteRecord, ERROR_DISK_FULL, c.failing_deletes, c.skip);
    Captured import = RunCommand([](Io& io) { return ImportRecordsCommand(io, "Notes"); }, lines);
    platform::fault::Clear();
    EXPECT_EQ(import.code, kExitFailed);
    EXPECT_EQ(import.out, "");
    EXPECT_NE(import.err.find("record 4 of 4 failed"), std::string::npos) << import.err;
    EXPECT_NE(import.err.find(c.says), std::string::npos) << import.err;
    EXPECT_EQ(import.err.find("nothing imported"), std::string::npos) << import.err;
    const nlohmann::json after = nlohmann::json::parse(ListJson("Notes"));
    ASSERT_EQ(after.size(), before.size() + c.left);
    for (size_t i = before.size(); i < after.size(); ++i) {
      const std::string oid = std::to_string(after[i]["oid"].get<uint32_t>());
      EXPECT_NE(import.err.find(" " + oid), std::string::npos) << "names " << oid << ": " << import.err;
      Captured removed = RunCommand([&](Io& io) { return DeleteRecordCommand(io, "Notes", oid); });
      ASSERT_EQ(removed.code, kExitOk) << removed.err;
    }
  }
}

TEST_F(StoreCommandsTest, FailedWritesReportFailureAndPrintNoIdentifier) {
  platform::fault::FailNext(platform::fault::Call::kCeWriteRecordProps, ERROR_DISK_FULL);
  Captured added = RunCommand([](Io& io) { return AddRecordCommand(io, "Notes", {"0x1001F=x"}); });
  EXPECT_EQ(added.code, kExitFailed);
  EXPECT_EQ(added.out, "");

  platform::fault::FailNext(platform::fault::Call::kCeCreateDatabase, ERROR_DISK_FULL);
  Captured created = RunCommand([](Io& io) { return CreateDatabaseCommand(io, "More", "24"); });
  EXPECT_EQ(created.code, kExitFailed);
  EXPECT_EQ(created.out, "");
}

TEST_F(StoreCommandsTest, DatabasesResolveByNameOrIdentifier) {
  Result<CEOID> by_name = ResolveDatabase("Notes");
  ASSERT_TRUE(by_name.ok()) << by_name.error();
  char hex[16];
  std::snprintf(hex, sizeof hex, "@0x%x", by_name.value());
  EXPECT_EQ(ResolveDatabase(hex).value(), by_name.value());
  EXPECT_EQ(ResolveDatabase("@" + std::to_string(by_name.value())).value(), by_name.value());

  // A record's identifier is not a database's.
  Captured added = RunCommand([](Io& io) { return AddRecordCommand(io, "Notes", {}); });
  ASSERT_EQ(added.code, kExitOk) << added.err;
  const std::string record = added.out.substr(0, added.out.find('\n'));
  for (const std::string& bad : std::vector<std::string>{"Nope", "@0", "@" + record, "@x", "@99999999999", ""}) {
    EXPECT_FALSE(ResolveDatabase(bad).ok()) << "case " << bad;
  }
}

}  // namespace
}  // namespace hmdevice
