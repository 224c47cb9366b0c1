#include "tracking/change_reader.h"

#include <memory>
#include <vector>

#include "gtest/gtest.h"
#include "platform/object_store.h"
#include "tests/support/temp_device.h"
#include "tracking/change_log.h"
#include "tracking/change_log_checks.h"
#include "tracking/tracked_class.h"
#include "tracking/tracked_db.h"
#include "tracking/tracking_state.h"

namespace {

constexpr DWORD kContacts = 24;

// What the other thread may do to the lists between two steps.
enum class Meanwhile {
  kNothing,
  kRemoveNext,       // the entry the reader would read next
  kRemovePassed,     // an entry it returned
  kForgetOlder,      // the peer forgets an older change (a look-up, then a removal)
  kLookUp,           // a look-up, which moves the log's own cursor
  kReleaseAndLoad,   // a local reader ends the lists, the peer loads them
  kRelease,          // a local reader ends the lists
};

// One class with two tracked databases; each log holds changes of records
// oid 1000 + i (the first database in table order) and 2000 + i (the
// second) at times 100 + i, loaded.
class ChangeReaderTest : public ::testing::Test {
 protected:
  void Build() REQUIRES(TrackingState::systemLock) {
    tracking_.reset();
    device_.reset();
    device_ = std::make_unique<hmtest::TempDevice>();
    tracking_ = std::make_unique<TrackingState>();
    ASSERT_NE(CeCreateDatabase(u"Contacts", kContacts, 0, nullptr), 0u);
    ASSERT_NE(CeCreateDatabase(u"Contacts 2", kContacts, 0, nullptr), 0u);
    TrackedDbList& table = tracking_->trackedDbs;
    ASSERT_TRUE(table.DiscoverClassDbs(kContacts, true, 0));
    first_ = table.FirstTrackedOfClass(kContacts);
    ASSERT_NE(first_, nullptr);
    second_ = table.NextTrackedOfClass(first_);
    ASSERT_NE(second_, nullptr);
    for (int i = 0; i < 4; ++i) {
      ASSERT_TRUE(first_->pLog->WriteEntry(ChangeTypeModify, 100 + i, 1000 + i, kNoUid));
    }
    for (int i = 0; i < 2; ++i) {
      ASSERT_TRUE(second_->pLog->WriteEntry(ChangeTypeModify, 100 + i, 2000 + i, kNoUid));
    }
    ASSERT_TRUE(LoadClassChanges(*tracking_, kContacts));
  }

  void TearDown() override {
    tracking_.reset();
    device_.reset();
  }

  // The oids of the next `n` steps (0 for a step that gave nothing).
  std::vector<CEOID> Read(ChangeReader& reader, int n, DWORD since = 0)
      REQUIRES(TrackingState::systemLock) {
    std::vector<CEOID> oids;
    for (int i = 0; i < n; ++i) {
      const ChangeEntry* e = reader.Next(*tracking_, since);
      oids.push_back(e != nullptr ? e->oidRec : 0);
      if (e == nullptr) continue;
      const TrackedDb* node = e->oidRec < 2000 ? first_ : second_;
      EXPECT_EQ(reader.DatabaseOid(), node->oidDb);
      EXPECT_EQ(node->pLog->At(reader.Current()), e);
    }
    return oids;
  }

  void Do(Meanwhile what) REQUIRES(TrackingState::systemLock) {
    switch (what) {
      case Meanwhile::kNothing:
        break;
      case Meanwhile::kRemoveNext:
        first_->pLog->RemoveEntry(first_->pLog->FindEntry(1001));
        break;
      case Meanwhile::kRemovePassed:
        first_->pLog->RemoveEntry(first_->pLog->FindEntry(1003));
        break;
      case Meanwhile::kForgetOlder:
        ForgetChange(*tracking_, kContacts, 1000);
        break;
      case Meanwhile::kLookUp:
        first_->pLog->FindEntry(1003);
        break;
      case Meanwhile::kReleaseAndLoad:
        EndClassChanges(*tracking_, kContacts);
        LoadClassChanges(*tracking_, kContacts);
        break;
      case Meanwhile::kRelease:
        EndClassChanges(*tracking_, kContacts);
        break;
    }
  }

  std::unique_ptr<hmtest::TempDevice> device_;
  std::unique_ptr<TrackingState> tracking_;
  TrackedDb* first_ = nullptr;
  TrackedDb* second_ = nullptr;
};

TEST_F(ChangeReaderTest, ReadsEveryDatabaseNewestFirstAndStartsAgainAfterTheEnd) {
  platform::MutexLock locked(&TrackingState::systemLock);
  Build();
  ChangeReader reader;
  EXPECT_EQ(reader.Next(*tracking_, 0), nullptr) << "not started";
  reader.Start(*tracking_, kContacts);
  EXPECT_EQ(Read(reader, 8), (std::vector<CEOID>{1003, 1002, 1001, 1000, 2001, 2000, 0, 1003}));
  reader.Start(*tracking_, kContacts);
  EXPECT_EQ(Read(reader, 3, 102), (std::vector<CEOID>{1003, 1002, 0}))
      << "older entries passed over without ending the walk";
  reader.Stop();
  EXPECT_EQ(reader.Next(*tracking_, 0), nullptr) << "stopped";
}

// After the reader returned 1003 and 1002, the other thread changes the
// lists; the reader goes on with what it has not read.
TEST_F(ChangeReaderTest, KeepsItsPlaceWhateverHappensToTheListsBetweenSteps) {
  platform::MutexLock locked(&TrackingState::systemLock);
  struct Case {
    const char* name;
    Meanwhile meanwhile;
    bool noted;  // NoteLists right after the load, as the change stream does
    std::vector<CEOID> rest;
  };
  const Case cases[] = {
      {"nothing", Meanwhile::kNothing, false, {1001, 1000, 2001, 2000, 0}},
      {"the next entry removed", Meanwhile::kRemoveNext, false, {1000, 2001, 2000, 0}},
      {"an entry passed removed", Meanwhile::kRemovePassed, false, {1001, 1000, 2001, 2000, 0}},
      {"an older change forgotten", Meanwhile::kForgetOlder, false, {1001, 2001, 2000, 0}},
      {"a look-up", Meanwhile::kLookUp, false, {1001, 1000, 2001, 2000, 0}},
      {"released and loaded again", Meanwhile::kReleaseAndLoad, false, {1001, 1000, 2001, 2000, 0}},
      {"released, not noted: nothing left", Meanwhile::kRelease, false, {0}},
      {"released, noted: loaded again", Meanwhile::kRelease, true, {1001, 1000, 2001, 2000, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Build();
    ChangeReader reader;
    if (c.noted) reader.NoteLists(*tracking_, kContacts);
    reader.Start(*tracking_, kContacts);
    ASSERT_EQ(Read(reader, 2), (std::vector<CEOID>{1003, 1002}));
    Do(c.meanwhile);
    EXPECT_EQ(Read(reader, static_cast<int>(c.rest.size())), c.rest);
    EXPECT_LIST_SOUND(first_->pLog);
    EXPECT_LIST_SOUND(second_->pLog);
  }
}

}  // namespace
