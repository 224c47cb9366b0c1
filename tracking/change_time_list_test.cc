#include "tracking/change_time_list.h"

#include <vector>

#include "gtest/gtest.h"
#include "platform/fault.h"

namespace {

using platform::fault::Call;
using platform::fault::FailNext;

struct Item {
  DWORD time;
  CEOID oid;
};

std::vector<CEOID> NewestFirst(ChangeTimeList& list) {
  std::vector<CEOID> oids;
  for (ChangeEntry* e = list.FirstNewest(); e != nullptr; e = list.NextOlder()) {
    oids.push_back(e->oidRec);
  }
  return oids;
}

void Fill(ChangeTimeList& list, const std::vector<Item>& items,
          ChangeTimeList::Allocation allocation = ChangeTimeList::Allocation::kPooled) {
  for (const Item& i : items) {
    ASSERT_NE(list.Insert(ChangeTypeModify, i.oid, i.time, 0, kNoUid, 0, allocation), nullptr);
    ASSERT_EQ(list.CheckInvariants(), nullptr) << "after oid " << i.oid;
  }
}

// The list keeps time order whatever the order of insertion; an entry goes
// older than those of its time already there.
TEST(ChangeTimeListTest, KeepsTimeOrderAndPutsAnEqualTimeOlder) {
  struct Case {
    const char* name;
    std::vector<Item> inserted;
    std::vector<CEOID> newestFirst;
  };
  const Case cases[] = {
      {"in time order", {{1, 10}, {2, 20}, {3, 30}}, {30, 20, 10}},
      {"reversed", {{3, 30}, {2, 20}, {1, 10}}, {30, 20, 10}},
      {"one second", {{5, 10}, {5, 20}, {5, 30}}, {10, 20, 30}},
      {"into the middle of a run",
       {{1, 10}, {5, 20}, {5, 30}, {9, 40}, {5, 50}},
       {40, 20, 30, 50, 10}},
      {"older than all", {{4, 10}, {4, 20}, {1, 30}}, {10, 20, 30}},
      {"unsigned times", {{0xFFFFFFFF, 10}, {0, 20}}, {10, 20}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ChangeTimeList list;
    Fill(list, c.inserted);
    EXPECT_EQ(NewestFirst(list), c.newestFirst);
    EXPECT_EQ(list.EntriesInserted(), c.inserted.size());
  }
}

TEST(ChangeTimeListTest, AWalkMayRemoveItsEntryAndStepOn) {
  for (bool oldestFirst : {false, true}) {
    SCOPED_TRACE(oldestFirst ? "oldest first" : "newest first");
    ChangeTimeList list;
    Fill(list, {{1, 10}, {2, 20}, {3, 30}, {4, 40}});
    std::vector<CEOID> seen;
    ChangeEntry* e = oldestFirst ? list.FirstOldest() : list.FirstNewest();
    while (e != nullptr) {
      seen.push_back(e->oidRec);
      ASSERT_TRUE(list.RemoveEntry(e));
      ASSERT_EQ(list.CheckInvariants(), nullptr);
      e = oldestFirst ? list.NextNewer() : list.NextOlder();
    }
    EXPECT_EQ(seen, oldestFirst ? std::vector<CEOID>({10, 20, 30, 40})
                                : std::vector<CEOID>({40, 30, 20, 10}));
    EXPECT_FALSE(list.HasEntries());
  }
}

TEST(ChangeTimeListTest, CursorsTellARemovalAndAnEmptying) {
  ChangeTimeList list;
  Fill(list, {{1, 10}, {2, 20}});
  const ChangeCursor newest = list.NewestCursor();
  EXPECT_EQ(list.At(list.OlderCursor(newest))->oidRec, 10u);
  ASSERT_TRUE(list.RemoveEntry(list.FindEntry(10)));
  EXPECT_TRUE(list.IsCurrent(newest));
  EXPECT_FALSE(list.IsIntact(newest));
  EXPECT_EQ(list.At(newest), nullptr);
  ASSERT_TRUE(list.FreeEntries());
  EXPECT_FALSE(list.IsCurrent(newest));
  Fill(list, {{1, 10}});
  EXPECT_FALSE(list.IsCurrent(newest)) << "a new list does not revive it";
  ChangeTimeList other;
  EXPECT_FALSE(list.IsCurrent(other.NewestCursor()));
}

TEST(ChangeTimeListTest, ARepeatedRecordIsFoundNewestAndNoted) {
  ChangeTimeList list;
  ASSERT_TRUE(list.InsertEntry(ChangeTypeAdd, 10, 1, 0, kNoUid));
  ASSERT_TRUE(list.InsertEntry(ChangeTypeModify, 10, 2, 0, kNoUid));
  EXPECT_EQ(list.CheckInvariants(), nullptr) << "two entries of a record are allowed once noted";
  EXPECT_EQ(list.FindEntry(10)->dwTime, 2u);
  EXPECT_EQ(list.CursorEntry()->dwTime, 2u) << "the cursor stands on what was found";
}

TEST(ChangeTimeListTest, NoMemoryAddsNothing) {
  using Allocation = ChangeTimeList::Allocation;
  for (Allocation allocation : {Allocation::kOwnBlock, Allocation::kPooled}) {
    ChangeTimeList list;
    FailNext(Call::kLocalAlloc, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(list.Insert(ChangeTypeModify, 10, 1, 0, kNoUid, 0, allocation), nullptr);
    EXPECT_FALSE(list.HasEntries());
    EXPECT_EQ(list.FindEntry(10), nullptr);
    EXPECT_EQ(list.CheckInvariants(), nullptr);
  }
}

// The check must see a broken list: each case damages one link in place.
TEST(ChangeTimeListTest, CheckInvariantsNamesWhatBroke) {
  ChangeTimeList list;
  Fill(list, {{1, 10}, {2, 20}, {3, 30}});
  ChangeEntry* middle = list.FindEntry(20);
  ChangeEntry* newer = middle->pNewer;
  middle->pNewer = nullptr;
  EXPECT_STREQ(list.CheckInvariants(), "an entry's newer link does not lead back");
  middle->pNewer = newer;
  const DWORD time = middle->dwTime;
  middle->dwTime = 9;
  EXPECT_STREQ(list.CheckInvariants(), "the list is out of time order");
  middle->dwTime = time;
  EXPECT_EQ(list.CheckInvariants(), nullptr);
}

}  // namespace
