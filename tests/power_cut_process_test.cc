// A power cut loses what was not synced to the disk, and the desktop never
// keeps what the device loses. First the power-cut layer of the tests
// itself (the undo records; real processes killed over it), then the
// desktop's mirror after a cut, with and without the store's durability
// point.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "nlohmann/json.hpp"
#include "peer/mirror.h"
#include "tests/support/device_system.h"
#include "tests/support/power_cut_undo.h"
#include "tests/support/process.h"
#include "tests/support/temp_device.h"

namespace {

using namespace std::chrono_literals;
using hmtest::DeviceOptions;
using hmtest::DeviceSystem;
using hmtest::Process;
using hmtest::RunResult;
using nlohmann::json;
namespace pc = hmtest::power_cut;

constexpr char kPropText[] = "65567";  // LPWSTR, id 1

hmtest::ProgramPaths Paths() { return {HM_HOLLOWMARCH_PATH, HM_HMDEVICE_PATH, HM_HMPEER_PATH}; }

std::string Content(const std::string& path) {
  std::string s;
  int fd = open(path.c_str(), O_RDONLY);
  char buf[256];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) s.append(buf, static_cast<size_t>(n));
  close(fd);
  return s;
}

// One change to a file, with its undo record made first, as the layer
// makes it.
struct FileOp {
  int64_t offset;
  std::string bytes;  // written at offset; empty: truncate to offset
};

TEST(PowerCutUndoTest, RestoringReturnsTheFileToItsContentBeforeTheRecordedChanges) {
  const std::string kSynced = "0123456789";
  struct Case {
    const char* name;
    std::vector<FileOp> ops;
  };
  const Case cases[] = {
      {"an overwrite inside the file", {{3, "abc"}}},
      {"a write past the end", {{8, "WXYZ"}}},
      {"a write leaving a hole past the end", {{20, "Q"}}},
      {"a truncation", {{4, ""}}},
      {"a truncation, then the file grown again", {{2, ""}, {0, "abcdefghijklmn"}}},
      {"overwrites of one place", {{1, "aa"}, {1, "bbbb"}, {0, "c"}}},
      {"a truncation to nothing, then a write", {{0, ""}, {5, "zz"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    hmtest::TempDir dir;
    const std::string data = dir.path() + "/store.db";
    {
      int fd = open(data.c_str(), O_RDWR | O_CREAT, 0600);
      ASSERT_EQ(pwrite(fd, kSynced.data(), kSynced.size(), 0), static_cast<ssize_t>(kSynced.size()));
      close(fd);
    }
    const std::string undo = pc::UndoPath(dir.path(), data);
    int undo_fd = open(undo.c_str(), O_RDWR | O_CREAT, 0600);
    int fd = open(data.c_str(), O_RDWR);
    for (const FileOp& op : c.ops) {
      if (op.bytes.empty()) {
        ASSERT_TRUE(pc::RecordTruncate(undo_fd, fd, op.offset));
        ASSERT_EQ(ftruncate(fd, op.offset), 0);
      } else {
        ASSERT_TRUE(pc::RecordWrite(undo_fd, fd, op.offset, static_cast<int64_t>(op.bytes.size())));
        ASSERT_EQ(pwrite(fd, op.bytes.data(), op.bytes.size(), op.offset),
                  static_cast<ssize_t>(op.bytes.size()));
      }
    }
    // A writer killed while writing its next record leaves it cut short:
    // the write it announced never began, so it is ignored.
    const char torn[] = {'O', 'D', 'N'};
    ASSERT_EQ(write(undo_fd, torn, sizeof torn), static_cast<ssize_t>(sizeof torn));
    close(fd);
    close(undo_fd);
    std::string why;
    ASSERT_TRUE(pc::Restore(undo, data, &why)) << why;
    EXPECT_EQ(Content(data), kSynced);
    EXPECT_FALSE(std::filesystem::exists(undo));
  }
}

// The texts of the records of `db` on the device.
std::multiset<std::string> Texts(const DeviceSystem& s, const std::string& db) {
  std::multiset<std::string> texts;
  for (const json& r : s.Records(db)) {
    for (const json& p : r["props"]) {
      if (p["value"].is_string()) texts.insert(p["value"].get<std::string>());
    }
  }
  return texts;
}

std::string IntegrityCheck(const std::string& root) {
  sqlite3* db = nullptr;
  std::string result = "cannot open";
  if (sqlite3_open_v2((root + "/store.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
      result = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    }
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  return result;
}

// A program of the device that runs its steps and keeps the store open
// until the cut.
std::unique_ptr<Process> Helper(const DeviceSystem& s, const std::string& db,
                                const std::vector<std::string>& steps) {
  std::vector<std::string> argv = {HM_POWER_CUT_HELPER_PATH, s.root(), db};
  argv.insert(argv.end(), steps.begin(), steps.end());
  return std::make_unique<Process>(argv, s.DeviceEnv());
}

TEST(PowerCutTest, ACutKeepsWhatWasSyncedAndLosesTheRest) {
  struct Case {
    const char* name;
    std::vector<std::string> steps;
    bool skip_point;
    std::multiset<std::string> left;
  };
  const Case cases[] = {
      {"a commit never synced", {"add:a"}, false, {}},
      {"commits before and after the durability point", {"add:a", "flush", "add:b"}, false, {"a"}},
      {"commits before and after a checkpoint", {"add:a", "checkpoint", "add:b"}, false, {"a"}},
      {"the durability point switched off", {"add:a", "flush"}, true, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DeviceSystem s(Paths(), DeviceOptions{.power_cut = true, .skip_durability_point = c.skip_point});
    // Created by a program that then exits: the last connection's close
    // checkpoints the store, so the database itself is on the disk.
    ASSERT_EQ(s.Device({"db", "create", "T", "--type", "1"}).exit_code, 0);
    ASSERT_EQ(s.Device({"rec", "add", "T", std::string(kPropText) + "=before"}).exit_code, 0);
    // A second program holds the store open meanwhile, as the server does,
    // so that no close checkpoints it.
    auto holder = Helper(s, "T", {});
    ASSERT_TRUE(holder->WaitForOut("ready", 20s)) << holder->Err();
    auto helper = Helper(s, "T", c.steps);
    ASSERT_TRUE(helper->WaitForOut("ready", 20s)) << helper->Err();
    std::string why;
    ASSERT_TRUE(s.CutPower(&why)) << why;
    EXPECT_FALSE(helper->Running());
    EXPECT_FALSE(holder->Running());
    // The shared-memory index is gone, as after a reboot; the store opens
    // and is consistent as of its last sync.
    EXPECT_FALSE(std::filesystem::exists(s.root() + "/store.db-shm"));
    std::multiset<std::string> expected = c.left;
    expected.insert("before");
    EXPECT_EQ(Texts(s, "T"), expected);
    EXPECT_EQ(IntegrityCheck(s.root()), "ok");
  }
}

// A demo device over the power-cut layer, running, synced once to the
// desktop at `desk`, and its store checkpointed: what follows is all the
// layer can lose.
void SyncedAndCheckpointed(DeviceSystem& s, const std::string& desk) {
  ASSERT_EQ(s.Device({"init", "--demo"}).exit_code, 0);
  std::string why;
  ASSERT_TRUE(s.Start(&why)) << why;
  RunResult first = s.Peer({"--json", "sync", "--to", desk});
  ASSERT_EQ(first.exit_code, 0) << first.out << first.err;
  auto checkpoint = Helper(s, "Demo Contacts", {"checkpoint", "exit"});
  ASSERT_TRUE(checkpoint->Wait(30s));
}

// The class of "Demo Contacts" as hmpeer sync --json reports it.
json ContactsSync(const RunResult& sync) {
  for (const json& r : json::parse(sync.out)) {
    if (r["class"] == 24) return r;
  }
  return json();
}

// The identifiers of the records of "Demo Contacts" in the desktop's mirror.
std::set<std::string> MirroredContacts(const std::string& desk, long long dbOid) {
  peer::Mirror mirror;
  std::string error;
  std::set<std::string> oids;
  if (!mirror.Open(desk, &error)) {
    ADD_FAILURE() << error;
    return oids;
  }
  const std::string prefix = std::to_string(dbOid) + ":";
  const json records = mirror.Records(24);
  for (const auto& [key, record] : records.items()) {
    if (key.rfind(prefix, 0) == 0) oids.insert(key.substr(prefix.size()));
  }
  return oids;
}

// After an ordinary checkpoint a contact is added and fast-synced to the
// desktop, which commits it; then the power is cut. Without the durability
// point the device comes back without the contact, its log still complete,
// while the desktop keeps it: the next sync is fast, moves nothing and
// leaves the mirror ahead of the device for good. With the point the
// contact was on the disk before the desktop was told it could commit.
TEST(PowerCutTest, WhatTheDesktopCommittedSurvivesACut) {
  for (const bool point : {true, false}) {
    SCOPED_TRACE(point ? "with the durability point" : "with the durability point switched off");
    DeviceSystem s(Paths(), DeviceOptions{.power_cut = true, .skip_durability_point = !point});
    hmtest::TempDir desk;
    ASSERT_NO_FATAL_FAILURE(SyncedAndCheckpointed(s, desk.path()));
    std::string why;

    RunResult add = s.Device({"rec", "add", "Demo Contacts", std::string(kPropText) + "=new contact"});
    ASSERT_EQ(add.exit_code, 0) << add.err;
    const std::string oid = add.out.substr(0, add.out.find('\n'));
    ASSERT_TRUE(s.WaitCaptured());
    RunResult fast = s.Peer({"--json", "sync", "--to", desk.path()});
    ASSERT_EQ(fast.exit_code, 0) << fast.out << fast.err;
    EXPECT_EQ(ContactsSync(fast)["kind"], "fast") << fast.out;
    EXPECT_EQ(ContactsSync(fast)["moved"], 1) << fast.out;

    ASSERT_TRUE(s.CutPower(&why)) << why;
    // A reboot: the server starts within 30 s of the device, so it keeps
    // its logs.
    ASSERT_EQ(s.Device({"reset"}).exit_code, 0);
    ASSERT_TRUE(s.Start(&why)) << why;
    long long dbOid = 0;
    for (const json& db : json::parse(s.Device({"db", "list", "--json"}).out)) {
      if (db["name"] == "Demo Contacts") dbOid = db["oid"].get<long long>();
    }
    std::set<std::string> device;
    for (const json& r : s.Records("Demo Contacts")) device.insert(std::to_string(r["oid"].get<long long>()));
    EXPECT_EQ(s.ClassState(24), "tracking");
    RunResult next = s.Peer({"--json", "sync", "--to", desk.path()});
    ASSERT_EQ(next.exit_code, 0) << next.out << next.err;
    EXPECT_EQ(ContactsSync(next)["kind"], "fast") << next.out;
    const std::set<std::string> mirrored = MirroredContacts(desk.path(), dbOid);
    EXPECT_EQ(mirrored.count(oid), 1u);
    if (point) {
      EXPECT_EQ(device, mirrored);
    } else {
      // The fault the point prevents, found by the cut: the device lost the
      // contact and its change, the sync has nothing to move, and the mirror
      // stays ahead.
      EXPECT_EQ(device.count(oid), 0u);
      EXPECT_EQ(ContactsSync(next)["moved"], 0) << next.out;
    }
  }
}

// A program on the handheld that walks a class's change list may hand the
// changes on once the walk has ended (0x800A): what it was shown is on the
// disk by then.
TEST(PowerCutTest, WhatALocalWalkWasShownSurvivesACut) {
  for (const bool point : {true, false}) {
    SCOPED_TRACE(point ? "with the durability point" : "with the durability point switched off");
    DeviceSystem s(Paths(), DeviceOptions{.power_cut = true, .skip_durability_point = !point});
    hmtest::TempDir desk;
    ASSERT_NO_FATAL_FAILURE(SyncedAndCheckpointed(s, desk.path()));
    std::string why;
    RunResult add = s.Device({"rec", "add", "Demo Contacts", std::string(kPropText) + "=walked"});
    ASSERT_EQ(add.exit_code, 0) << add.err;
    ASSERT_TRUE(s.WaitCaptured());
    RunResult walk = s.Device({"changes", "24"});
    ASSERT_EQ(walk.exit_code, 0) << walk.err;
    ASSERT_NE(walk.out.find(add.out.substr(0, add.out.find('\n'))), std::string::npos) << walk.out;

    ASSERT_TRUE(s.CutPower(&why)) << why;
    EXPECT_EQ(Texts(s, "Demo Contacts").count("walked"), point ? 1u : 0u);
  }
}

}  // namespace
