// hmdevice as its users run it: the real program on a temporary device root.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/device.h"
#include "platform/user_notification.h"
#include "platform/window.h"
#include "tests/support/process.h"
#include "tests/support/temp_device.h"

namespace {

using nlohmann::json;

class HmdeviceTest : public ::testing::Test {
 protected:
  void SetUp() override { Ok({"init"}); }

  hmtest::RunResult Hm(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), {HM_HMDEVICE_PATH, "--root", dir_.path()});
    return hmtest::Run(args, input);
  }

  // Runs a command that must succeed and returns its output.
  std::string Ok(const std::vector<std::string>& args, const std::string& input = "") {
    hmtest::RunResult result = Hm(args, input);
    EXPECT_EQ(result.exit_code, 0) << Describe(args) << ": " << result.err;
    return result.out;
  }

  json OkJson(const std::vector<std::string>& args) {
    const std::string out = Ok(args);
    json parsed = json::parse(out, nullptr, false);
    EXPECT_FALSE(parsed.is_discarded()) << Describe(args) << " printed " << out;
    return parsed;
  }

  static std::string Describe(const std::vector<std::string>& args) {
    std::string text;
    for (const std::string& arg : args) text += arg + " ";
    return text;
  }

  static std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

  hmtest::TempDir dir_;
};

TEST_F(HmdeviceTest, DatabasesAreCreatedListedAndDeleted) {
  const std::string people = FirstLine(Ok({"db", "create", "People", "--type", "24"}));
  const std::string todo = FirstLine(Ok({"db", "create", "Todo", "--type", "0x1a"}));
  Ok({"rec", "add", "People", "0x1001F=Ann"});

  json all = OkJson({"db", "list", "--json"});
  ASSERT_EQ(all.size(), 2u) << all;
  EXPECT_EQ(all[0], (json{{"oid", std::stoul(people)}, {"name", "People"}, {"type", 24}, {"records", 1}}));
  EXPECT_EQ(all[1], (json{{"oid", std::stoul(todo)}, {"name", "Todo"}, {"type", 26}, {"records", 0}}));
  EXPECT_EQ(OkJson({"db", "list", "--type", "26", "--json"}).size(), 1u);
  EXPECT_EQ(Ok({"db", "list", "--type", "25"}), "");
  EXPECT_EQ(Ok({"db", "list"}), people + " 24 1 People\n" + todo + " 26 0 Todo\n");

  hmtest::RunResult duplicate = Hm({"db", "create", "people", "--type", "24"});
  EXPECT_EQ(duplicate.exit_code, 2);
  EXPECT_NE(duplicate.err.find("exists"), std::string::npos) << duplicate.err;

  Ok({"db", "delete", "@" + people});
  Ok({"db", "delete", "Todo"});
  EXPECT_EQ(OkJson({"db", "list", "--json"}), json::array());
}

TEST_F(HmdeviceTest, RecordsKeepEveryTypeAndTheirReadOrder) {
  const std::string db = FirstLine(Ok({"db", "create", "Mixed", "--type", "25"}));
  const std::string first = FirstLine(Ok({"rec", "add", "Mixed", "0x10002=-7", "0x20003=0x80000000",
                                          "0x30012=65535", "0x40013=4294967295", "0x5000B=1",
                                          "0x60005=-0.5", "0x70040=132000000000000000",
                                          "0x8001F=Caf\xC3\xA9 au lait", "0x90041=00ff10", "0xA0041="}));
  const std::string second = FirstLine(Ok({"rec", "add", "@" + db, "0x1001F=two"}));
  const std::string third = FirstLine(Ok({"rec", "add", "Mixed"}));

  json records = OkJson({"rec", "list", "Mixed", "--json"});
  ASSERT_EQ(records.size(), 3u) << records;
  EXPECT_EQ(records[0]["oid"], std::stoul(first));
  EXPECT_EQ(records[1]["oid"], std::stoul(second));
  EXPECT_EQ(records[2], (json{{"oid", std::stoul(third)}, {"props", json::array()}}));
  const json expected = json::parse(R"([
      {"id":65538,"type":2,"value":-7},
      {"id":131075,"type":3,"value":-2147483648},
      {"id":196626,"type":18,"value":65535},
      {"id":262163,"type":19,"value":4294967295},
      {"id":327691,"type":11,"value":1},
      {"id":393221,"type":5,"value":-0.5},
      {"id":458816,"type":64,"value":132000000000000000},
      {"id":524319,"type":31,"value":"Caf\u00e9 au lait"},
      {"id":589889,"type":65,"value":"00ff10"},
      {"id":655425,"type":65,"value":""}])");
  // The store may keep properties in any order; compare them as a set.
  std::set<std::string> got, want;
  for (const json& p : records[0]["props"]) got.insert(p.dump());
  for (const json& p : expected) want.insert(p.dump());
  EXPECT_EQ(got, want) << records[0];

  // set replaces one property and adds another; delete removes the record.
  Ok({"rec", "set", "Mixed", second, "0x1001F=TWO", "0x20013=9"});
  json after = OkJson({"rec", "list", "Mixed", "--json"});
  std::set<std::string> second_props;
  for (const json& p : after[1]["props"]) second_props.insert(p.dump());
  EXPECT_EQ(second_props, (std::set<std::string>{R"({"id":65567,"type":31,"value":"TWO"})",
                                                 R"({"id":131091,"type":19,"value":9})"}));
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%lx", std::stoul(first));
  Ok({"rec", "delete", "Mixed", hex});
  json left = OkJson({"rec", "list", "Mixed", "--json"});
  ASSERT_EQ(left.size(), 2u);
  EXPECT_EQ(left[0]["oid"], std::stoul(second));
  EXPECT_EQ(Ok({"rec", "list", "Mixed"}), second + " 0x0001001F=TWO 0x00020013=9\n" + third + "\n");
}

TEST_F(HmdeviceTest, BadInputIsRefusedWithOneLineAndWritesNothing) {
  Ok({"db", "create", "Notes", "--type", "291"});
  Ok({"db", "create", "Other", "--type", "24"});
  const std::string other_record = FirstLine(Ok({"rec", "add", "Other", "0x10013=1"}));
  const std::string record = FirstLine(Ok({"rec", "add", "Notes", "0x1001F=original"}));
  Ok({"reg", "set", "Port", "40141"});
  const std::string notes_before = Ok({"rec", "list", "Notes", "--json"});
  const std::string dbs_before = Ok({"db", "list", "--json"});
  const std::string reg_before = Ok({"reg", "list", "--json"});

  struct Case {
    std::vector<std::string> args;
    const char* problem;  // part of the one line on stderr
  } cases[] = {
      {{"rec", "add", "Nope", "0x1001F=x"}, "Nope"},
      {{"rec", "add", "@12345678", "0x1001F=x"}, "12345678"},
      {{"rec", "add", "Notes", "0x1001F=x", "0x10002=40000"}, "out of range"},
      {{"rec", "add", "Notes", "0x10013=-1"}, "out of range"},
      {{"rec", "add", "Notes", "0x10007=1"}, "unknown type"},
      {{"rec", "add", "Notes", "junk"}, "PROP=VALUE"},
      {{"rec", "add", "Notes", "0x10041=abc"}, "hex"},
      {{"rec", "add", "Notes", "0x1000B=yes"}, "BOOL"},
      {{"rec", "add", "Notes", "0x1001F=a", "0x1001F=b"}, "twice"},
      {{"rec", "set", "Notes", record, "0x1001F=x", "0x10012=70000"}, "out of range"},
      {{"rec", "set", "Notes", other_record, "0x1001F=x"}, "no record"},
      {{"rec", "set", "Notes", "99999999", "0x1001F=x"}, "no record"},
      {{"rec", "delete", "Notes", other_record}, "no record"},
      {{"rec", "delete", "Notes", "zz"}, "not a number"},
      {{"db", "create", "A name far longer than thirty-one characters", "--type", "1"}, "characters"},
      {{"db", "create", "X", "--type", "-1"}, "type"},
      {{"db", "delete", "Nope"}, "Nope"},
      {{"reg", "set", "Port", "-1"}, "dword"},
      {{"reg", "set", "Port", "4294967296"}, "out of range"},
      {{"reg", "set", "Blob", "0g", "--type", "binary"}, "hex"},
      {{"reg", "set", "Port", "1", "--type", "qword"}, "qword"},
      {{"reg", "set", "Port", "1", "--key", "HKEY_NOWHERE\\Software"}, "HKEY_NOWHERE"},
      {{"config", "colour", "blue"}, "colour"},
      {{"config", "os-version", "three"}, ""},
      {{"send", "0x8001", "nope"}, "wParam"},
      {{"nosuchcommand"}, ""},
  };
  for (const Case& c : cases) {
    hmtest::RunResult result = Hm(c.args);
    EXPECT_EQ(result.exit_code, 2) << "case " << Describe(c.args) << ": " << result.err;
    EXPECT_EQ(result.out, "") << "case " << Describe(c.args);
    EXPECT_NE(result.err.find(c.problem), std::string::npos) << "case " << Describe(c.args) << ": " << result.err;
    if (std::string(c.problem) != "") {
      EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << "case " << Describe(c.args) << ": " << result.err;
    }
  }
  EXPECT_EQ(Ok({"rec", "list", "Notes", "--json"}), notes_before);
  EXPECT_EQ(Ok({"db", "list", "--json"}), dbs_before);
  EXPECT_EQ(Ok({"reg", "list", "--json"}), reg_before);
  EXPECT_EQ(Ok({"config", "os-version"}), "3.0\n");
}

TEST_F(HmdeviceTest, ImportAppendsAllLinesOrNone) {
  Ok({"db", "create", "Tasks", "--type", "26"});
  const std::string good =
      "{\"props\":[{\"id\":65567,\"value\":\"first\"},{\"id\":131075,\"value\":-1}]}\n"
      "\n"
      "{\"props\":[{\"id\":65567,\"value\":\"second\"},{\"id\":196673,\"value\":\"beef\"}]}\n"
      "{\"props\":[]}\n";
  EXPECT_EQ(Ok({"rec", "import", "Tasks"}, good), "3\n");
  json records = OkJson({"rec", "list", "Tasks", "--json"});
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[1]["props"].size(), 2u);
  EXPECT_EQ(records[2]["props"], json::array());

  // What rec list prints, rec import reads back: one record a line, or the
  // array itself as rec list --json prints it (a bad record in it names it).
  std::string round_trip;
  for (const json& record : records) round_trip += json{{"props", record["props"]}}.dump() + "\n";
  EXPECT_EQ(Ok({"rec", "import", "Tasks"}, round_trip), "3\n");
  EXPECT_EQ(Ok({"rec", "import", "Tasks"}, Ok({"rec", "list", "Tasks", "--json"})), "6\n");
  EXPECT_EQ(OkJson({"rec", "list", "Tasks", "--json"}).size(), 12u);
  hmtest::RunResult bad_array = Hm({"rec", "import", "Tasks"}, "[{\"props\":[]},\n {\"oid\":7}]\n");
  EXPECT_EQ(bad_array.exit_code, 2);
  EXPECT_NE(bad_array.err.find("record 2: expected {\"props\":[...]}; nothing imported"), std::string::npos)
      << bad_array.err;
  EXPECT_EQ(OkJson({"rec", "list", "Tasks", "--json"}).size(), 12u);
  Ok({"db", "delete", "Tasks"});
  Ok({"db", "create", "Tasks", "--type", "26"});
  EXPECT_EQ(Ok({"rec", "import", "Tasks"}, good), "3\n");
  records = OkJson({"rec", "list", "Tasks", "--json"});

  const std::string before = Ok({"rec", "list", "Tasks", "--json"});
  const std::string bad =
      "{\"props\":[{\"id\":65567,\"value\":\"fine\"}]}\n"
      "{\"props\":[{\"id\":65538,\"value\":99999}]}\n"
      "{\"props\":[{\"id\":65567,\"value\":\"also fine\"}]}\n";
  hmtest::RunResult refused = Hm({"rec", "import", "Tasks"}, bad);
  EXPECT_EQ(refused.exit_code, 2);
  EXPECT_NE(refused.err.find("line 2"), std::string::npos) << refused.err;
  EXPECT_EQ(Ok({"rec", "list", "Tasks", "--json"}), before);

  hmtest::RunResult unknown = Hm({"rec", "import", "Nope"}, good);
  EXPECT_EQ(unknown.exit_code, 2);
}

TEST_F(HmdeviceTest, RegistryValuesOfEachType) {
  Ok({"reg", "set", "PurgeDays", "0x10"});
  Ok({"reg", "set", "Greeting", "h\xC3\xA9llo", "--type", "sz"});
  Ok({"reg", "set", "Blob", "00FF7f", "--type", "binary"});
  Ok({"reg", "set", "Elsewhere", "5", "--key", "HKCU\\Software\\Other"});

  EXPECT_EQ(Ok({"reg", "get", "purgedays"}), "16\n");
  EXPECT_EQ(Ok({"reg", "get", "Greeting"}), "h\xC3\xA9llo\n");
  EXPECT_EQ(Ok({"reg", "get", "Blob"}), "00ff7f\n");
  EXPECT_EQ(Ok({"reg", "get", "Elsewhere", "--key", "HKEY_CURRENT_USER\\Software\\Other"}), "5\n");
  EXPECT_EQ(OkJson({"reg", "list", "--json"}),
            json::parse(R"([{"name":"Blob","type":3,"value":"00ff7f"},)"
                        R"({"name":"Greeting","type":1,"value":"h\u00e9llo"},)"
                        R"({"name":"PurgeDays","type":4,"value":16}])"));

  struct Missing {
    std::vector<std::string> args;
  } missing[] = {
      {{"reg", "get", "Port"}},
      {{"reg", "get", "PurgeDays", "--key", "HKLM\\Software\\Nowhere"}},
      {{"reg", "delete", "Port"}},
      {{"reg", "list", "--key", "HKLM\\Software\\Nowhere"}},
  };
  for (const Missing& m : missing) {
    hmtest::RunResult result = Hm(m.args);
    EXPECT_EQ(result.exit_code, 1) << "case " << Describe(m.args) << ": " << result.err;
    EXPECT_EQ(result.out, "") << "case " << Describe(m.args);
  }

  Ok({"reg", "delete", "Greeting"});
  EXPECT_EQ(Hm({"reg", "get", "Greeting"}).exit_code, 1);
  EXPECT_EQ(OkJson({"reg", "list", "--json"}).size(), 2u);
}

TEST_F(HmdeviceTest, ConfigResetAndSend) {
  EXPECT_EQ(Ok({"config"}), "os-version=3.0\nstore-capacity=0\ntimezone=\nclock-offset=0\n");
  Ok({"config", "os-version", "1.0"});
  EXPECT_EQ(Ok({"config", "os-version"}), "1.0\n");

  Ok({"reset"});
  ASSERT_TRUE(platform::OpenDevice(dir_.path()).ok());
  EXPECT_LT(platform::DeviceUptimeMs(), 60'000u);  // the host has been up longer than this test
  platform::CloseDevice();

  hmtest::RunResult send = Hm({"send", "0x8001", "0", "-1"});
  EXPECT_EQ(send.exit_code, 1) << send.err;
  EXPECT_NE(send.err.find("Hollowmarch Replication Server"), std::string::npos) << send.err;
}

// What the stand-in system window received.
struct Received {
  UINT message = 0;
  WPARAM wparam = 0;
  LPARAM lparam = 0;
};
Received g_received;

LRESULT StandInServerProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message >= WM_APP) {
    g_received = {message, wparam, lparam};
    return static_cast<LRESULT>(0xFFFFFFFEu);  // results are 32-bit words
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

TEST_F(HmdeviceTest, SendReachesTheSystemWindowAndPrintsItsResult) {
  ASSERT_TRUE(platform::OpenDevice(dir_.path()).ok());
  WNDCLASSW window_class{};
  window_class.lpfnWndProc = StandInServerProc;
  window_class.lpszClassName = u"Hollowmarch Replication Server";
  RegisterClassW(&window_class);
  const HWND window = CreateWindowExW(0, u"Hollowmarch Replication Server", u"Hollowmarch Replication Server",
                                      0, 0, 0, 0, 0, 0, 0, 0, nullptr);
  ASSERT_NE(window, 0u);
  hmtest::Process send({HM_HMDEVICE_PATH, "--root", dir_.path(), "send", "0x8005", "7", "-2"});
  // The send is answered only while this thread dispatches; a timer lets the
  // loop look whether the sender is done.
  ASSERT_NE(SetTimer(window, 1, 20, nullptr), 0u);
  hmtest::RunResult result;
  for (int ticks = 0; ticks < 500 && !send.Wait(std::chrono::milliseconds(0), &result); ++ticks) {
    MSG msg{};
    if (GetMessageW(&msg, 0, 0, 0) <= 0) break;
    DispatchMessageW(&msg);
  }
  KillTimer(window, 1);
  DestroyWindow(window);
  platform::CloseDevice();

  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "4294967294\n");
  EXPECT_EQ(g_received.message, 0x8005u);
  EXPECT_EQ(g_received.wparam, 7u);
  EXPECT_EQ(g_received.lparam, -2);
}

TEST_F(HmdeviceTest, NotificationsAreListedAsSet) {
  EXPECT_EQ(Ok({"notifications", "--json"}), "[]\n");
  ASSERT_TRUE(platform::OpenDevice(dir_.path()).ok());
  const SYSTEMTIME when{2026, 12, 3, 24, 7, 5, 9, 42};
  std::u16string title = u"Alarm Reminder", text = u"Caf\u00e9 at 8", sound = u"Alarm1.wav";
  CE_USER_NOTIFICATION alarm{PUN_SOUND | PUN_DIALOG, title.data(), text.data(), sound.data(), 0, 0};
  const HANDLE handle = CeSetUserNotification(0, u"CALENDAR.EXE", &when, &alarm);
  platform::CloseDevice();
  ASSERT_NE(handle, 0u);

  EXPECT_EQ(OkJson({"notifications", "--json"}),
            json::array({{{"handle", handle}, {"app", "CALENDAR.EXE"}, {"time", "2026-12-24T07:05:09.042"},
                          {"flags", 12}, {"title", "Alarm Reminder"}, {"text", "Caf\u00e9 at 8"},
                          {"sound", "Alarm1.wav"}}}));
}

TEST_F(HmdeviceTest, DemoDeviceHoldsEveryClassAndATiedMailStoreAndIsNotDuplicated) {
  Ok({"init", "--demo"});
  const std::string first = Ok({"db", "list", "--json"});
  Ok({"init", "--demo"});
  EXPECT_EQ(Ok({"db", "list", "--json"}), first) << "a second init duplicated the demo";

  json dbs = json::parse(first);
  std::set<unsigned> types;
  std::set<std::string> names;
  for (const json& db : dbs) {
    names.insert(db["name"].get<std::string>());
    if (db["records"].get<unsigned>() > 0) types.insert(db["type"].get<unsigned>());
  }
  for (unsigned type : {24u, 25u, 26u, 291u}) EXPECT_TRUE(types.count(type)) << "case type " << type;

  // Every folder that pmailFolders names exists, and every message it files
  // is a record of pmailMsgs, with a uid.
  std::set<unsigned long> messages;
  for (const json& record : OkJson({"rec", "list", "pmailMsgs", "--json"})) messages.insert(record["oid"].get<unsigned long>());
  EXPECT_EQ(messages.size(), 4u);
  std::set<unsigned long> filed;
  for (const json& folder : OkJson({"rec", "list", "pmailFolders", "--json"})) {
    std::string folder_db;
    for (const json& p : folder["props"]) {
      if (p["id"] == 0x8003001Fu) folder_db = p["value"].get<std::string>();
    }
    ASSERT_TRUE(names.count(folder_db)) << "folder database " << folder_db;
    for (const json& record : OkJson({"rec", "list", folder_db, "--json"})) {
      unsigned long msg = 0, uid = 0;
      for (const json& p : record["props"]) {
        if (p["id"] == 0x80050013u) msg = p["value"].get<unsigned long>();
        if (p["id"] == 0x80110013u) uid = p["value"].get<unsigned long>();
      }
      EXPECT_TRUE(messages.count(msg)) << "message " << msg << " in " << folder_db;
      EXPECT_NE(uid, 0u);
      filed.insert(msg);
    }
  }
  EXPECT_EQ(filed, messages);
}

// The global options go before or after the command, and every command's
// help lists them; hmpeer's help speaks of what a command does, not of its
// number alone.
TEST_F(HmdeviceTest, GlobalOptionsGoAnywhereAndEveryHelpTellsThem) {
  hmtest::RunResult after = hmtest::Run({HM_HMDEVICE_PATH, "db", "list", "--json", "--root", dir_.path()});
  EXPECT_EQ(after.exit_code, 0) << after.err;
  EXPECT_EQ(after.out, "[]\n");
  struct Case {
    const char* program;
    std::vector<std::string> command;
    const char* global;
  } cases[] = {
      {HM_HMDEVICE_PATH, {"rec", "add"}, "--root DIR"},
      {HM_HMDEVICE_PATH, {"status"}, "--root DIR"},
      {HM_HMPEER_PATH, {"enable"}, "--port P"},
      {HM_HMPEER_PATH, {"alarm", "clear"}, "--host H"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv = {c.program};
    argv.insert(argv.end(), c.command.begin(), c.command.end());
    argv.push_back("--help");
    SCOPED_TRACE(Describe(argv));
    hmtest::RunResult help = hmtest::Run(argv);
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_NE(help.out.find("Global options, before or after the command:"), std::string::npos) << help.out;
    EXPECT_NE(help.out.find(c.global), std::string::npos) << help.out;
  }
  const std::string peer_help = hmtest::Run({HM_HMPEER_PATH, "--help"}).out;
  for (const char* bare : {"command 6\n", "query 8\n", "command 9\n", "query 15\n"}) {
    EXPECT_EQ(peer_help.find(bare), std::string::npos) << bare << " alone describes a command";
  }
}

mode_t ModeOf(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return 01000;  // no file: matches no mode
  return st.st_mode & 07777;
}

hmtest::RunResult RunAt(const std::string& root, std::vector<std::string> args) {
  args.insert(args.begin(), {HM_HMDEVICE_PATH, "--root", root});
  return hmtest::Run(args);
}

// A root that is not the program's is left exactly as it was: a folder of
// other files is no device, read-only commands make nothing, and a folder
// made beforehand keeps its mode.
TEST(HmdeviceRootTest, AFolderThatIsNotADeviceIsRefusedAndLeftAsItWas) {
  struct Case {
    const char* name;
    const char* sub;  // the root under the temporary folder
    bool make;        // made beforehand (with mode), else missing
    mode_t mode;
    bool with_file;
    std::vector<std::string> args;
    int exit_code;
    const char* says;  // "%" stands for the root
  } cases[] = {
      {"folder of files, db list", "docs", true, 0755, true, {"db", "list"}, 2,
       "no device at % (create one with `hmdevice init`)"},
      {"folder of files, status", "docs", true, 0700, true, {"status"}, 2, "no device at %"},
      {"folder of files, reg set", "docs", true, 0700, true, {"reg", "set", "Port", "1"}, 2, "no device at %"},
      {"folder of files, init", "docs", true, 0700, true, {"init"}, 3, "% holds other files and no device"},
      {"missing path, status", "x/sub/dir", false, 0, false, {"status"}, 2, "no device at %"},
      {"missing path, rec list", "x/sub/dir", false, 0, false, {"rec", "list", "Contacts"}, 2, "no device at %"},
      {"empty folder 0755, init", "open", true, 0755, false, {"init"}, 3,
       "the device root % is open to other users (mode 0755); make it private first: chmod 700 '%'"},
      {"empty folder 0777, init", "open", true, 0777, false, {"init"}, 3, "chmod 700 '%'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    hmtest::TempDir dir;
    const std::string root = dir.path() + "/" + c.sub;
    if (c.make) {
      ASSERT_EQ(mkdir(root.c_str(), 0700), 0);
      if (c.with_file) {
        FILE* f = std::fopen((root + "/notes.txt").c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fclose(f);
      }
      ASSERT_EQ(chmod(root.c_str(), c.mode), 0);
    }
    hmtest::RunResult r = RunAt(root, c.args);
    EXPECT_EQ(r.exit_code, c.exit_code) << r.err;
    std::string says = c.says;
    for (size_t at = says.find('%'); at != std::string::npos; at = says.find('%', at + root.size())) {
      says.replace(at, 1, root);
    }
    EXPECT_NE(r.err.find(says), std::string::npos) << r.err;
    if (c.make) {
      EXPECT_EQ(ModeOf(root), c.mode);
      for (const char* made : {"/store.db", "/store.signal", "/Storage Card", "/Program Files"}) {
        EXPECT_FALSE(std::filesystem::exists(root + made)) << made;
      }
    } else {
      EXPECT_FALSE(std::filesystem::exists(dir.path() + "/x")) << "a read-only command made a folder";
    }
  }
}

TEST(HmdeviceRootTest, InitMakesAPrivateDeviceInAMissingOrEmptyFolderAndEmptyRootIsRefused) {
  hmtest::TempDir dir;
  for (const std::string& root : {dir.path() + "/new/device", dir.path() + "/empty"}) {
    SCOPED_TRACE(root);
    if (root.ends_with("empty")) {
      ASSERT_EQ(mkdir(root.c_str(), 0700), 0);
    }
    hmtest::RunResult made = RunAt(root, {"init"});
    ASSERT_EQ(made.exit_code, 0) << made.err;
    EXPECT_EQ(ModeOf(root), 0700u);
    EXPECT_EQ(ModeOf(root + "/store.db"), 0600u);
    EXPECT_EQ(RunAt(root, {"db", "list"}).exit_code, 0) << "the device is found again";
  }
  hmtest::RunResult empty = RunAt("", {"status"});
  EXPECT_EQ(empty.exit_code, 2);
  EXPECT_NE(empty.err.find("--root is empty"), std::string::npos) << empty.err;
}

}  // namespace
