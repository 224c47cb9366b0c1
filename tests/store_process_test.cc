// The object store shared by real processes: notifications of another
// process's writes, and a writer killed in the middle of a burst.
#include <signal.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "platform/device.h"
#include "platform/kernel.h"
#include "platform/object_store.h"
#include "platform/window.h"
#include "tests/support/process.h"
#include "tests/support/temp_device.h"

namespace {

using std::chrono::milliseconds;

hmtest::RunResult Hmdevice(const std::string& root, std::vector<std::string> args,
                           const std::string& input = "") {
  args.insert(args.begin(), {HM_HMDEVICE_PATH, "--root", root});
  hmtest::RunResult result = hmtest::Run(args, input);
  EXPECT_EQ(result.exit_code, 0) << args[3] << " " << args[4] << ": " << result.err;
  return result;
}

CEOID FirstNumber(const std::string& text) { return static_cast<CEOID>(std::stoul(text)); }

struct Notification {
  UINT message;
  WPARAM record;
  LPARAM db;
  bool operator==(const Notification&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Notification& n) {
  return out << "{" << n.message << ", " << n.record << ", " << n.db << "}";
}

constexpr UINT kTimeoutTimer = 1;

// The next object-store notification of this thread's queue; a WM_TIMER
// (the time-out) gives message 0.
Notification NextNotification() {
  MSG msg{};
  while (GetMessageW(&msg, 0, 0, 0) > 0) {
    if (msg.message == WM_TIMER) return {0, 0, 0};
    if (msg.message == DB_CEOID_CREATED || msg.message == DB_CEOID_CHANGED ||
        msg.message == DB_CEOID_RECORD_DELETED) {
      return {msg.message, msg.wParam, msg.lParam};
    }
  }
  return {0, 0, 0};
}

TEST(StoreProcessTest, AnotherProcesssWritesReachTheNotifyWindowOnceEachInOrder) {
  hmtest::TempDevice device;
  const CEOID db = CeCreateDatabase(u"Watched", 24, 0, nullptr);
  ASSERT_NE(db, 0u);
  WNDCLASSW window_class{};
  window_class.lpfnWndProc = DefWindowProcW;
  window_class.lpszClassName = u"StoreProcessTestWindow";
  RegisterClassW(&window_class);  // may exist already from an earlier test of this process
  const HWND window = CreateWindowExW(0, u"StoreProcessTestWindow", u"", 0, 0, 0, 0, 0, 0, 0, 0, nullptr);
  ASSERT_NE(window, 0u);
  CEOID open_oid = db;
  const HANDLE watched = CeOpenDatabase(&open_oid, nullptr, 0, 0, window);
  ASSERT_NE(watched, INVALID_HANDLE_VALUE);

  const std::string& root = device.root();
  const CEOID record = FirstNumber(Hmdevice(root, {"rec", "add", "Watched", "0x1001F=a"}).out);
  Hmdevice(root, {"rec", "set", "Watched", std::to_string(record), "0x1001F=b"});
  Hmdevice(root, {"rec", "delete", "Watched", std::to_string(record)});
  std::string burst;
  for (int i = 0; i < 20; ++i) burst += "{\"props\":[{\"id\":65555,\"value\":" + std::to_string(i) + "}]}\n";
  Hmdevice(root, {"rec", "import", "Watched"}, burst);

  std::vector<Notification> expected = {
      {DB_CEOID_CREATED, record, static_cast<LPARAM>(db)},
      {DB_CEOID_CHANGED, record, static_cast<LPARAM>(db)},
      {DB_CEOID_RECORD_DELETED, record, static_cast<LPARAM>(db)},
  };
  std::istringstream listed(Hmdevice(root, {"rec", "list", "Watched"}).out);
  for (std::string line; std::getline(listed, line);) {
    expected.push_back({DB_CEOID_CREATED, FirstNumber(line), static_cast<LPARAM>(db)});
  }
  ASSERT_EQ(expected.size(), 23u);
  // One more write after the burst: the notification that follows the
  // burst's must be this one, so nothing came twice.
  const CEOID last = FirstNumber(Hmdevice(root, {"rec", "add", "Watched"}).out);
  expected.push_back({DB_CEOID_CREATED, last, static_cast<LPARAM>(db)});

  ASSERT_NE(SetTimer(window, kTimeoutTimer, 10'000, nullptr), 0u);
  for (size_t i = 0; i < expected.size(); ++i) {
    Notification got = NextNotification();
    ASSERT_EQ(got, expected[i]) << "notification " << i << " (message 0: timed out)";
  }
  KillTimer(window, kTimeoutTimer);
  CloseHandle(watched);
  DestroyWindow(window);
}

struct Written {
  CEOID oid;
  unsigned long seq;
};

// The "OID SEQ" lines the writer finished printing.
std::vector<Written> ReturnedWrites(const std::string& out) {
  std::vector<Written> writes;
  std::istringstream lines(out.substr(0, out.rfind('\n') + 1));
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    Written w{};
    fields >> w.oid >> w.seq;
    writes.push_back(w);
  }
  return writes;
}

std::vector<std::string> IntegrityCheck(const std::string& path) {
  std::vector<std::string> rows;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    rows.push_back(std::string("cannot open: ") + sqlite3_errmsg(db));
  } else {
    auto collect = [](void* out, int, char** values, char**) {
      static_cast<std::vector<std::string>*>(out)->push_back(values[0] ? values[0] : "NULL");
      return 0;
    };
    char* error = nullptr;
    if (sqlite3_exec(db, "PRAGMA integrity_check", collect, &rows, &error) != SQLITE_OK) {
      rows.push_back(std::string("check failed: ") + (error ? error : "?"));
      sqlite3_free(error);
    }
  }
  sqlite3_close(db);
  return rows;
}

struct StoredRecord {
  unsigned long seq = 0;
  std::u16string text;
  std::vector<BYTE> blob;
  int props = 0;
};

std::map<CEOID, StoredRecord> ReadAll(const char16_t* name) {
  std::map<CEOID, StoredRecord> records;
  CEOID oid = 0;
  HANDLE db = CeOpenDatabase(&oid, name, 0, CEDB_AUTOINCREMENT, 0);
  EXPECT_NE(db, INVALID_HANDLE_VALUE);
  for (;;) {
    WORD count = 0;
    LPBYTE buffer = nullptr;
    DWORD size = 0;
    CEOID record = CeReadRecordProps(db, CEDB_ALLOWREALLOC, &count, nullptr, &buffer, &size);
    if (record == 0) break;
    StoredRecord& r = records[record];
    const auto* props = reinterpret_cast<const CEPROPVAL*>(buffer);
    r.props = count;
    for (WORD i = 0; i < count; ++i) {
      if (props[i].propid == 0x00010013) r.seq = props[i].val.ulVal;
      if (props[i].propid == 0x0002001F) r.text = props[i].val.lpwstr;
      if (props[i].propid == 0x00030041) {
        r.blob.assign(props[i].val.blob.lpb, props[i].val.blob.lpb + props[i].val.blob.dwCount);
      }
    }
    LocalFree(buffer);
  }
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
  CloseHandle(db);
  return records;
}

void ExpectWhole(const StoredRecord& r, CEOID oid) {
  const std::string text = "record " + std::to_string(r.seq);
  EXPECT_EQ(r.props, 3) << "record " << oid;
  EXPECT_EQ(r.text, std::u16string(text.begin(), text.end())) << "record " << oid;
  EXPECT_EQ(r.blob, std::vector<BYTE>(512, static_cast<BYTE>(r.seq))) << "record " << oid;
}

TEST(StoreProcessTest, WriterKilledMidBurstLeavesASoundStoreHoldingEveryReturnedWrite) {
  hmtest::TempDevice device(/*open=*/false);
  const std::string& root = device.root();
  Hmdevice(root, {"db", "create", "Burst", "--type", "26"});

  hmtest::Process writer({HM_STORE_WRITER_HELPER_PATH, root, "Burst", "100000000"});
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (ReturnedWrites(writer.Out()).size() < 200 && std::chrono::steady_clock::now() < deadline &&
         writer.Running()) {
    std::this_thread::sleep_for(milliseconds(5));
  }
  ASSERT_TRUE(writer.Running()) << "the writer stopped early: " << writer.Err();
  writer.Signal(SIGKILL);
  hmtest::RunResult ended;
  ASSERT_TRUE(writer.Wait(std::chrono::seconds(10), &ended));
  ASSERT_EQ(ended.signal, SIGKILL);
  const std::vector<Written> returned = ReturnedWrites(writer.Out());
  ASSERT_GE(returned.size(), 200u);

  int checked = 0;
  for (const auto& entry : std::filesystem::directory_iterator(root)) {
    if (entry.path().extension() != ".db") continue;
    EXPECT_EQ(IntegrityCheck(entry.path().string()), std::vector<std::string>{"ok"}) << entry.path();
    ++checked;
  }
  EXPECT_GT(checked, 0) << "no store file in " << root;

  ASSERT_TRUE(platform::OpenDevice(root).ok());
  const std::map<CEOID, StoredRecord> stored = ReadAll(u"Burst");
  for (const Written& w : returned) {
    auto it = stored.find(w.oid);
    ASSERT_NE(it, stored.end()) << "returned write " << w.seq << " (record " << w.oid << ") is lost";
    EXPECT_EQ(it->second.seq, w.seq) << "record " << w.oid;
  }
  // At most the write under way when the kill came may have landed without
  // its line; whatever landed is whole.
  EXPECT_LE(stored.size(), returned.size() + 1);
  for (const auto& [oid, record] : stored) {
    ExpectWhole(record, oid);
    if (stored.size() > returned.size()) {
      EXPECT_LE(record.seq, returned.size()) << "record " << oid;
    }
  }
  platform::CloseDevice();
}

}  // namespace
