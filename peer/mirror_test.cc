#include "peer/mirror.h"

#include <fstream>
#include <string>

#include "gtest/gtest.h"
#include "tests/support/temp_device.h"

namespace {

using nlohmann::json;

json Record(int value) { return {{"props", json::array({value})}}; }

// What a sync commits is there when the mirror is opened again; what a sync
// rolls back (or never commits) is not, records and anchor alike.
TEST(Mirror, RecordsAndAnchorMoveTogether) {
  hmtest::TempDir dir;
  std::string error;
  {
    peer::Mirror m;
    ASSERT_TRUE(m.Open(dir.path() + "/desk", &error)) << error;
    EXPECT_EQ(m.Anchor(24), 0u);
    ASSERT_TRUE(m.Begin());
    ASSERT_TRUE(m.Put(24, 5, 10, Record(1)));
    ASSERT_TRUE(m.Put(24, 5, 11, Record(2)));
    ASSERT_TRUE(m.Put(25, 6, 10, Record(3)));  // another class, same record identifier
    ASSERT_TRUE(m.AddDatabase(24, "Contacts", 5));
    ASSERT_TRUE(m.AddDatabase(24, "@5", 5));  // the same one by another name
    ASSERT_TRUE(m.AddDatabase(25, "Appointments", 6));
    ASSERT_TRUE(m.SetAnchor(24, 1000));
    ASSERT_TRUE(m.Commit());

    ASSERT_TRUE(m.Begin());
    ASSERT_TRUE(m.Put(24, 5, 10, Record(9)));
    ASSERT_TRUE(m.Remove(24, 5, 11));
    ASSERT_TRUE(m.SetAnchor(24, 2000));
    m.Rollback();

    ASSERT_TRUE(m.Begin());
    ASSERT_TRUE(m.ClearClass(24));
    ASSERT_TRUE(m.AddDatabase(24, "Other", 7));
    // Killed before the commit: the destructor rolls back.
  }
  peer::Mirror m;
  ASSERT_TRUE(m.Open(dir.path() + "/desk", &error)) << error;
  EXPECT_EQ(m.Anchor(24), 1000u);
  EXPECT_EQ(m.Records(24), (json{{"5:10", Record(1)}, {"5:11", Record(2)}}));
  EXPECT_EQ(m.Count(25), 1u);
  EXPECT_EQ(m.Databases(24), (std::vector<peer::MirroredDatabase>{{"@5", 5}, {"Contacts", 5}}));
  ASSERT_TRUE(m.Begin());
  ASSERT_TRUE(m.ClearClass(24));
  ASSERT_TRUE(m.Commit());
  EXPECT_TRUE(m.Databases(24).empty());
  EXPECT_EQ(m.Databases(25), (std::vector<peer::MirroredDatabase>{{"Appointments", 6}}));
}

TEST(Mirror, AFileThatIsNoMirrorIsAnError) {
  hmtest::TempDir dir;
  std::ofstream(dir.path() + "/mirror.db") << "these are not the records you are looking for\n";
  peer::Mirror m;
  std::string error;
  EXPECT_FALSE(m.Open(dir.path(), &error));
  EXPECT_NE(error.find("mirror.db"), std::string::npos) << error;
}

}  // namespace
