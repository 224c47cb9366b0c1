// The change stream over loopback: frame sizes and layout, the time filter,
// the record bytes, the end of a stream, and a stream whose lists change
// between frames. The test thread changes the lists under the lock while the
// server's worker streams them.
// HM_THREADING_TEST
#include "server/change_stream.h"

#include <gtest/gtest.h>

#include <set>
#include <tuple>
#include <vector>

#include "platform/fault.h"
#include "server/loopback_fixture.h"
#include "tracking/change_log_checks.h"
#include "tracking/clock.h"

namespace {

using hmtest::Be32;
using hmtest::Bytes;
using hmtest::Cat;
using hmtest::Head;
using hmtest::Slice;

constexpr DWORD kClass = 24;
constexpr BYTE kClassIndex = 0;
constexpr DWORD kBase = 100000;  // time of the oldest prepared change
constexpr CEOID kFirstRec = 5000;

struct Change {
  BYTE type;
  DWORD time;
  DWORD reserved;
  DWORD uid;
  CEOID oidDb;
  CEOID oidRec;
  bool operator<(const Change& o) const { return oidRec < o.oidRec; }
};

std::vector<Change> RecordsOf(const Bytes& frame) {
  std::vector<Change> out;
  for (size_t at = 6; at + 21 <= frame.size(); at += 21) {
    const BYTE* r = frame.data() + at;
    out.push_back({r[0], peer::ReadBe32(r + 1), peer::ReadBe32(r + 5), peer::ReadBe32(r + 9),
                   peer::ReadBe32(r + 13), peer::ReadBe32(r + 17)});
  }
  return out;
}

class ChangeStreamTest : public hmtest::LoopbackServerTest {
 protected:
  void SetUp() override {
    LoopbackServerTest::SetUp();
    SayHello();
  }

  // A tracked database of the class whose log holds `n` Modify changes at
  // times kBase .. kBase + n - 1 for records kFirstRec + i.
  TrackedDb* Prepare(int n) {
    MakeDatabase(kClass, u"Contacts");
    TrackedDb* node = Track(kClass);
    for (int i = 0; i < n; ++i) Record(node, 3, kBase + i, kFirstRec + i);
    return node;
  }

  // Asks for the changes since `since`; the first frame after the
  // acknowledgement.
  Bytes StartStream(DWORD since = 0) {
    EXPECT_EQ(Query(5, kClassIndex, since), Bytes({0xA0, 0x00, 0x03}));
    return Receive();
  }

  // Every frame of a stream, acknowledging each but the last.
  std::vector<Bytes> WholeStream(DWORD since = 0) {
    std::vector<Bytes> frames{StartStream(since)};
    while (!frames.back().empty() && frames.back()[0] == 0x02) frames.push_back(Ack());
    return frames;
  }
};

struct FrameCase {
  int changes;
  std::vector<size_t> records;  // records of each frame, in order
};

class FrameSizeTest : public ChangeStreamTest,
                      public ::testing::WithParamInterface<FrameCase> {};

TEST_P(FrameSizeTest, FramesHoldAtMost97RecordsAndAFullOneIsFollowedByALastOne) {
  const FrameCase& c = GetParam();
  Prepare(c.changes);
  std::vector<Bytes> frames = WholeStream();
  ASSERT_EQ(frames.size(), c.records.size());
  DWORD expectTime = kBase + c.changes;
  for (size_t i = 0; i < frames.size(); ++i) {
    const Bytes& f = frames[i];
    size_t n = c.records[i];
    bool last = i + 1 == frames.size();
    WORD length = static_cast<WORD>(6 + 21 * n);
    ASSERT_EQ(f.size(), length) << "frame " << i;
    EXPECT_EQ(Head(f, 6), Bytes({BYTE(last ? 0x82 : 0x02), BYTE(length >> 8), BYTE(length),
                                 BYTE(last ? 0x49 : 0x48), BYTE((length - 3) >> 8),
                                 BYTE(length - 3)}))
        << "frame " << i;
    for (const Change& r : RecordsOf(f)) EXPECT_EQ(r.time, --expectTime) << "newest first";
  }
  EXPECT_EQ(expectTime, kBase) << "every change sent once";
}

INSTANTIATE_TEST_SUITE_P(Counts, FrameSizeTest,
                         ::testing::Values(FrameCase{96, {96}},        // one frame of 2,022
                                           FrameCase{97, {97, 0}},     // 2,043, then empty
                                           FrameCase{200, {97, 97, 6}},
                                           FrameCase{0, {0}}));

TEST_F(ChangeStreamTest, RecordCarriesTheEntryAndItsDatabaseBigEndian) {
  TrackedDb* node = Prepare(0);
  Record(node, 1, 0x01020304, 0x0A0B0C0D, 0x11223344);
  Bytes frame = StartStream();
  ASSERT_EQ(frame.size(), 27u);
  EXPECT_EQ(Slice(frame, 6, 21),
            Cat({{0x01}, Be32(0x01020304), Be32(0), Be32(0x11223344), Be32(node->oidDb),
                 Be32(0x0A0B0C0D)}));
}

TEST_F(ChangeStreamTest, ChangesOlderThanThePeersTimeArePassedOverWithoutEndingTheWalk) {
  TrackedDb* node = Prepare(0);
  // Newest first: 1002, 999 (left out), 1000 (the boundary: sent).
  Record(node, 0, 1000, 1);
  Record(node, 0, 999, 2);
  Record(node, 0, 1002, 3);
  std::vector<Bytes> frames = WholeStream(1000);
  ASSERT_EQ(frames.size(), 1u);
  std::vector<Change> got = RecordsOf(frames[0]);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].oidRec, 3u);
  EXPECT_EQ(got[1].oidRec, 1u);
}

TEST_F(ChangeStreamTest, ClassWithoutDatabaseStreamsOneEmptyLastFrame) {
  EXPECT_EQ(WholeStream(), std::vector<Bytes>{Bytes({0x82, 0x00, 0x06, 0x49, 0x00, 0x03})});
}

TEST_F(ChangeStreamTest, AfterTheLastFramesAckNothingIsSentAndQueriesAreServedAgain) {
  Prepare(3);
  WholeStream();
  ASSERT_TRUE(peer_.SendBytes(peer::Frame(0xA0, {})));
  EXPECT_TRUE(peer_.NothingArrives(std::chrono::milliseconds(100)));
  EXPECT_EQ(Query(4, kClassIndex, 0).size(), 8u);
}

TEST_F(ChangeStreamTest, AnythingButAnAcknowledgementDuringAStreamIsDropped) {
  Prepare(200);
  Bytes first = StartStream();
  ASSERT_EQ(first[0], 0x02);
  ASSERT_TRUE(peer_.SendBytes(peer::Frame(MSG_QUERY, InfoItem({4, 0, 0, 0, 0, 0}))));
  ASSERT_TRUE(peer_.SendBytes(peer::Frame(MSG_COMMAND, InfoItem({2}))));
  EXPECT_TRUE(peer_.NothingArrives(std::chrono::milliseconds(100)));
  Bytes second = Ack();
  ASSERT_EQ(second.size(), 6u + 21 * 97);
  EXPECT_EQ(RecordsOf(second).front().time, kBase + 200 - 98);
  EXPECT_EQ(tracking_.capture.fCaptureSuppressed.load(), 0u) << "the command was not carried out";
}

TEST_F(ChangeStreamTest, EveryDatabaseOfTheClassIsStreamedWithItsOwnIdentifier) {
  CEOID first = MakeDatabase(kClass, u"Contacts A");
  CEOID second = MakeDatabase(kClass, u"Contacts B");
  Track(kClass);
  TrackedDb* nodes[2];
  {
    platform::MutexLock locked(&TrackingState::systemLock);
    nodes[0] = tracking_.trackedDbs.FirstTrackedOfClass(kClass);
    nodes[1] = tracking_.trackedDbs.NextTrackedOfClass(nodes[0]);
  }
  ASSERT_NE(nodes[1], nullptr);
  for (int i = 0; i < 60; ++i) {
    Record(nodes[0], 3, kBase + i, 100 + i);
    Record(nodes[1], 3, kBase + i, 200 + i);
  }
  std::vector<Bytes> frames = WholeStream();
  std::vector<Change> got;
  for (const Bytes& f : frames) {
    for (const Change& r : RecordsOf(f)) got.push_back(r);
  }
  ASSERT_EQ(got.size(), 120u);
  for (size_t i = 0; i < got.size(); ++i) {
    // Table order (the later-added node first), each log newest first.
    const TrackedDb* node = nodes[i / 60];
    EXPECT_EQ(got[i].oidDb, node->oidDb) << "record " << i;
    EXPECT_EQ(got[i].oidRec, (node == nodes[0] ? 100u : 200u) + 59 - i % 60) << "record " << i;
  }
  EXPECT_TRUE((nodes[0]->oidDb == first && nodes[1]->oidDb == second) ||
              (nodes[0]->oidDb == second && nodes[1]->oidDb == first));
}

// The window thread may change the list between two frames. Removed entries
// are never read or sent, nothing is sent twice, and every entry that stays
// is sent.
TEST_F(ChangeStreamTest, EntriesRemovedBetweenFramesAreSkippedAndTheRestSentOnce) {
  TrackedDb* node = Prepare(200);
  Bytes first = StartStream();
  std::vector<Change> got = RecordsOf(first);
  ASSERT_EQ(got.size(), 97u);  // times kBase+199 .. kBase+103
  std::set<CEOID> removed;
  {
    platform::MutexLock locked(&TrackingState::systemLock);
    ChangeLog* log = node->pLog;
    // The peer forgets changes as command 16 would: the entry the stream
    // stands on (kBase+102), one already sent and one still ahead.
    for (DWORD t : {102u, 150u, 50u}) {
      ChangeEntry* e = log->FindEntry(kFirstRec + t);
      ASSERT_NE(e, nullptr);
      ASSERT_TRUE(log->DeleteEntryRecord(e));
      ASSERT_TRUE(log->RemoveEntry(e));
      EXPECT_LIST_SOUND(log);
      removed.insert(kFirstRec + t);
    }
    // The daily purge with one day of age removes everything before kBase+20.
    HKEY key = CreateSettingsKey();
    DWORD days = 1;
    RegSetValueExW(key, u"PurgeDays", 0, REG_DWORD, reinterpret_cast<BYTE*>(&days), sizeof days);
    RegCloseKey(key);
    platform::fault::SetClock(kBase + 20 + 86400);
    tracking_.trackedDbs.PurgeOldChanges();
    EXPECT_LIST_SOUND(log);
    platform::fault::SetClock(std::nullopt);
    for (DWORD t = 0; t < 20; ++t) removed.insert(kFirstRec + t);
  }
  std::vector<Change> later;
  for (Bytes f = Ack();; f = Ack()) {
    for (const Change& r : RecordsOf(f)) later.push_back(r);
    if (f.empty() || f[0] != 0x02) break;
  }
  {
    platform::MutexLock locked(&TrackingState::systemLock);
    EXPECT_LIST_SOUND(node->pLog);
  }
  std::set<CEOID> seen;
  for (const Change& r : got) seen.insert(r.oidRec);
  for (const Change& r : later) {
    EXPECT_TRUE(seen.insert(r.oidRec).second) << "sent twice: " << r.oidRec;
    EXPECT_EQ(removed.count(r.oidRec), 0u) << "removed before its frame: " << r.oidRec;
  }
  // Left after the first frame: kBase+101 .. kBase+20 without kBase+50.
  EXPECT_EQ(later.size(), 81u);
  ASSERT_FALSE(later.empty());
  EXPECT_EQ(later.front().time, kBase + 101);
  EXPECT_EQ(later.back().time, kBase + 20);
}

// A local reader's end, or a trim's forced rewrite, releases the whole list
// between frames; the changes not yet sent are still in the log database,
// so the stream loads the list again and reads on after what it has passed,
// also among changes that share one time, whose order a rewrite may turn
// around. Parameters: every change at the same time; release by a rewrite.
class ReleasedListTest : public ChangeStreamTest,
                         public ::testing::WithParamInterface<std::tuple<bool, bool>> {};

TEST_P(ReleasedListTest, AListReleasedBetweenFramesIsLoadedAgainAndReadOn) {
  const auto [sameTime, rewrite] = GetParam();
  TrackedDb* node = Prepare(0);
  for (int i = 0; i < 150; ++i) Record(node, 3, sameTime ? kBase : kBase + i, kFirstRec + i);
  Bytes first = StartStream();
  ASSERT_EQ(first[0], 0x02);
  {
    platform::MutexLock locked(&TrackingState::systemLock);
    if (rewrite) {
      ASSERT_TRUE(node->pLog->RewriteLog(true));
    } else {
      tracking_.trackedDbs.EndClassLog(kClass);  // a local reader ends the list
    }
    EXPECT_LIST_SOUND(node->pLog);
  }
  std::vector<Change> got = RecordsOf(first);
  for (Bytes f = Ack();; f = Ack()) {
    for (const Change& r : RecordsOf(f)) got.push_back(r);
    if (f.empty() || f[0] != 0x02) break;
  }
  {
    platform::MutexLock locked(&TrackingState::systemLock);
    EXPECT_LIST_SOUND(node->pLog);  // the reload's list, with the position on it
  }
  std::set<CEOID> seen;
  for (const Change& r : got) EXPECT_TRUE(seen.insert(r.oidRec).second) << "sent twice: " << r.oidRec;
  EXPECT_EQ(seen.size(), 150u);
  EXPECT_EQ(got.size(), 150u);
}

INSTANTIATE_TEST_SUITE_P(Releases, ReleasedListTest,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool()));

}  // namespace
