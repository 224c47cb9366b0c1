// The store commands in this process, where the failure seam can make the
// store refuse a write half-way through a command.
#include "tools/hmdevice_store.h"

#include <sstream>

#include <gtest/gtest.h>

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
