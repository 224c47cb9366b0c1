// hmpeer: the desktop side. A client for every message of the protocol, and
// a reference fast/slow sync into a mirror directory.
//
//   hmpeer [--host H] [--port P] [--json] [--trace] [--timeout S] COMMAND
//
// Exit status: 0 done, 1 the device refused or answered out of shape, 2
// usage, 3 connection failure (refused, closed, timed out).
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "CLI/CLI.hpp"
#include "peer/device_requests.h"
#include "peer/frame_trace.h"
#include "peer/peer_client.h"
#include "peer/sync_engine.h"
#include "tools/progress_bar.h"

namespace {

using nlohmann::json;

constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;
constexpr int kExitConnection = 3;

struct Options {
  std::string host = "127.0.0.1";
  uint16_t port = 40141;
  bool json = false;
  bool trace = false;
  double timeout = 5;
  std::string cls;
  std::optional<std::string> since;
  std::string oid;
  std::string db;
  std::string volume;
  bool shutdown = false;
  std::string to;
  std::vector<std::string> classes;
  std::vector<std::string> dbs;
  // alarm
  std::string handle = "0";
  std::string at;
  std::string app, title, text, sound;
  int flags = 0;
};

int Fail(int code, const std::string& message) {
  std::cerr << "hmpeer: " << message << "\n";
  return code;
}

bool ParseU32(const std::string& text, uint32_t* out) {
  try {
    size_t used = 0;
    unsigned long long v = std::stoull(text, &used, 0);
    if (used != text.size() || v > 0xFFFFFFFFull) return false;
    *out = static_cast<uint32_t>(v);
    return true;
  } catch (...) {
    return false;
  }
}

// Seconds since 1970, or ISO 8601 "YYYY-MM-DDTHH:MM:SS" (UTC).
bool ParseTime(const std::string& text, uint32_t* out) {
  if (ParseU32(text, out)) return true;
  std::tm tm{};
  if (strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &tm) == nullptr) return false;
  time_t t = timegm(&tm);
  if (t < 0 || t > 0xFFFFFFFFll) return false;
  *out = static_cast<uint32_t>(t);
  return true;
}

std::string StatusText(const peer::Reply& r) {
  if (!r.error.empty()) return r.error;
  char buf[32];
  std::snprintf(buf, sizeof buf, "device answered 0x%02X", r.status & 0xFF);
  return buf;
}

// Every frame on standard error: a line telling it in words (direction,
// size, type, length, meaning, items), then its bytes in hex, 16 to a line.
void TraceFrame(bool sent, std::span<const uint8_t> bytes) {
  // The type of the last request, so that a hello's reply is read as one.
  static uint8_t last_sent = 0;
  std::fprintf(stderr, "%s", peer::DescribeFrame(sent, bytes, sent ? 0 : last_sent).c_str());
  if (sent && !bytes.empty()) last_sent = bytes[0];
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i % 16 == 0) std::fprintf(stderr, "\n  %04zx ", i);
    std::fprintf(stderr, " %02x", bytes[i]);
  }
  std::fprintf(stderr, "\n");
}

class Session {
 public:
  explicit Session(const Options& o) : o_(o) {
    if (o.trace) client_.trace = TraceFrame;
    client_.set_reply_timeout(Timeout());
  }
  // Connects and says hello; an exit status on failure, else 0.
  int Open() {
    std::string error;
    if (!client_.Connect(o_.host, o_.port, Timeout(), &error)) {
      return Fail(kExitConnection, "cannot connect to " + o_.host + ":" + std::to_string(o_.port) + ": " + error);
    }
    int status = client_.Hello();
    if (status < 0) {
      const bool broken = client_.last_result() == peer::ReceiveResult::kBadLength;
      return Fail(broken ? kExitRefused : kExitConnection, "hello: " + client_.LastFailure());
    }
    if (status != peer::kStatusOk) {
      char buf[64];
      std::snprintf(buf, sizeof buf, "hello refused (0x%02X)", status);
      return Fail(kExitRefused, buf);
    }
    return 0;
  }
  void End() { client_.EndSession(false); }
  peer::PeerClient& client() { return client_; }

 private:
  peer::PeerClient::Millis Timeout() const {
    return std::chrono::duration_cast<peer::PeerClient::Millis>(std::chrono::duration<double>(o_.timeout));
  }

  const Options& o_;
  peer::PeerClient client_;
};

int ClassIndex(const std::string& text) {
  uint32_t c = 0;
  if (!ParseU32(text, &c)) return -1;
  return peer::ClassIndexOf(c);
}

void Print(const Options& o, const json& j, const std::string& text) {
  if (o.json) {
    std::cout << j.dump() << "\n";
  } else {
    std::cout << text;
  }
}

const char* ChangeTypeName(uint8_t t) { return t == 0 ? "add" : t == 1 ? "delete" : t == 3 ? "modify" : "?"; }

int Run(const std::string& command, Options& o) {
  Session s(o);
  if (int rc = s.Open()) return rc;
  peer::PeerClient& c = s.client();
  auto refused = [&](const peer::Reply& r, const char* what) {
    s.End();
    return Fail(r.status < 0 ? kExitConnection : kExitRefused, std::string(what) + ": " + StatusText(r));
  };
  int index = ClassIndex(o.cls);
  if (!o.cls.empty() && index < 0) return Fail(kExitUsage, "CLASS must be 24, 25, 26, 291 or 5454");
  uint32_t since = 0;
  if (o.since && !ParseTime(*o.since, &since)) return Fail(kExitUsage, "--since: not a time");
  const uint8_t ci = static_cast<uint8_t>(index < 0 ? 0 : index);

  if (command == "hello") {
    Print(o, {{"hello", "accepted"}}, "hello accepted\n");
  } else if (command == "state") {
    uint8_t answer = 0;
    peer::Reply r = peer::QuerySyncState(c, ci, since, &answer);
    if (!r.ok()) return refused(r, "state");
    const char* names[] = {"complete", "untracked", "incomplete"};
    std::string name = answer < 3 ? names[answer] : "unknown";
    Print(o, {{"class", o.cls}, {"answer", answer}, {"state", name}}, std::to_string(answer) + " " + name + "\n");
  } else if (command == "changes") {
    std::vector<peer::ChangeRecord> changes;
    peer::Reply r = peer::ReadChanges(c, ci, since, &changes);
    if (!r.ok()) return refused(r, "changes");
    json array = json::array();
    std::string text;
    for (const auto& ch : changes) {
      array.push_back({{"type", ch.type}, {"time", ch.time}, {"reserved", ch.reserved}, {"uid", ch.uid},
                       {"db", ch.oidDb}, {"oid", ch.oidRec}});
      char line[128];
      std::snprintf(line, sizeof line, "%-6s %10u db %08x rec %08x uid %08x\n", ChangeTypeName(ch.type), ch.time,
                    ch.oidDb, ch.oidRec, ch.uid);
      text += line;
    }
    Print(o, array, text);
  } else if (command == "enable" || command == "forget") {
    uint32_t time = 0;
    peer::Reply r;
    if (command == "enable") {
      r = peer::EnableClass(c, ci, &time);
    } else {
      uint32_t oid = 0;
      if (!ParseU32(o.oid, &oid)) return Fail(kExitUsage, "OID: not a number");
      std::vector<peer::ChangeRecord> loaded;
      peer::Reply load = peer::ReadChanges(c, ci, 0, &loaded);
      if (!load.ok()) return refused(load, "changes");
      r = peer::ForgetChange(c, ci, oid, &time);
    }
    if (!r.ok()) return refused(r, command.c_str());
    Print(o, {{"deviceTime", time}}, "device time " + std::to_string(time) + "\n");
  } else if (command == "disable" || command == "flush" || command == "suspend" || command == "resume") {
    peer::Reply r = command == "disable" ? peer::DisableClass(c, ci)
                    : command == "flush" ? peer::FlushChanges(c)
                    : command == "suspend" ? peer::SuspendCapture(c)
                                           : peer::ResumeCapture(c);
    if (!r.ok()) return refused(r, command.c_str());
    Print(o, {{command, "done"}}, command + " done\n");
  } else if (command == "timezone") {
    peer::Bytes tz;
    peer::Reply r = peer::QueryTimeZone(c, &tz);
    if (!r.ok()) return refused(r, "timezone");
    auto i32 = [&](size_t at) {
      return static_cast<int32_t>(tz[at] | tz[at + 1] << 8 | tz[at + 2] << 16 | static_cast<uint32_t>(tz[at + 3]) << 24);
    };
    auto name = [&](size_t at) {
      std::u16string n;
      for (size_t k = 0; k < 32 && (tz[at + 2 * k] | tz[at + 2 * k + 1]); ++k) {
        n.push_back(static_cast<char16_t>(tz[at + 2 * k] | tz[at + 2 * k + 1] << 8));
      }
      return peer::Utf16ToUtf8(n);
    };
    json j = {{"bias", i32(0)}, {"standardName", name(4)}, {"standardBias", i32(84)},
              {"daylightName", name(88)}, {"daylightBias", i32(168)}};
    Print(o, j, "bias " + std::to_string(i32(0)) + " min, standard \"" + name(4) + "\", daylight \"" + name(88) +
                    "\" (bias " + std::to_string(i32(168)) + ")\n");
  } else if (command == "free") {
    uint32_t v = 0;
    if (!ParseU32(o.volume, &v) || v > 255) return Fail(kExitUsage, "VOLUME: 0 Storage Card, 1 Program Files, 2 the store");
    peer::FreeSpace f;
    peer::Reply r = peer::QueryFreeSpace(c, static_cast<uint8_t>(v), &f);
    if (!r.ok()) return refused(r, "free");
    Print(o, {{"volume", f.volume}, {"available", f.availableBytes}, {"total", f.totalBytes}, {"free", f.freeBytes}},
          "available " + std::to_string(f.availableBytes) + ", total " + std::to_string(f.totalBytes) + ", free " +
              std::to_string(f.freeBytes) + "\n");
  } else if (command == "alarm-set" || command == "alarm-clear") {
    peer::Alarm a;
    if (!ParseU32(o.handle, &a.handle)) return Fail(kExitUsage, "HANDLE: not a number");
    a.set = command == "alarm-set";
    if (a.set) {
      uint32_t at = 0;
      if (!ParseTime(o.at, &at)) return Fail(kExitUsage, "--at: not a time");
      time_t t = at;
      std::tm tm{};
      gmtime_r(&t, &tm);
      a.time = {static_cast<uint16_t>(tm.tm_year + 1900), static_cast<uint16_t>(tm.tm_mon + 1),
                static_cast<uint16_t>(tm.tm_wday), static_cast<uint16_t>(tm.tm_mday),
                static_cast<uint16_t>(tm.tm_hour), static_cast<uint16_t>(tm.tm_min),
                static_cast<uint16_t>(tm.tm_sec), 0};
      a.actionFlags = static_cast<uint8_t>(o.flags);
      a.application = o.app, a.title = o.title, a.text = o.text, a.sound = o.sound;
    }
    uint32_t handle = 0;
    peer::Reply r = peer::SetAlarm(c, a, &handle);
    if (!r.ok()) return refused(r, "alarm");
    Print(o, {{"handle", handle}}, "handle " + std::to_string(handle) + "\n");
  } else if (command == "dump") {
    uint32_t oid = 0;
    std::u16string name;
    if (!o.db.empty() && o.db[0] == '@') {
      if (!ParseU32(o.db.substr(1), &oid) || oid == 0) return Fail(kExitUsage, "DB: @ and an identifier");
    } else {
      name = peer::Utf8ToUtf16(o.db);
    }
    std::vector<peer::Record> records;
    uint32_t oidDb = 0;
    std::string error;
    std::optional<hmpeer::ProgressBar> bar;
    peer::DumpProgress progress;
    if (isatty(2)) {
      bar.emplace(stderr, o.db);
      progress = [&](size_t done, size_t total) { bar->Update(done, total); };
    }
    bool ok = peer::DumpDatabase(c, oid, name, &records, &oidDb, &error, progress);
    bar.reset();
    json array = json::array();
    std::string text;
    for (const auto& rec : records) {
      json props = json::array();
      text += std::to_string(rec.oid);
      for (const auto& p : rec.props) {
        props.push_back({{"id", p.propId}, {"type", p.type()}, {"value", peer::PropertyValueText(p)}});
        char id[16];
        std::snprintf(id, sizeof id, "0x%08X", p.propId);
        text += std::string(" ") + id + "=" + peer::PropertyValueText(p);
      }
      text += "\n";
      array.push_back({{"oid", rec.oid}, {"props", props}});
    }
    Print(o, {{"db", oidDb}, {"records", array}}, text);
    if (!ok) {
      s.End();
      return Fail(kExitRefused, error);
    }
  } else if (command == "end") {
    int status = c.EndSession(o.shutdown);
    if (status != peer::kStatusOk) return Fail(kExitRefused, "end of session refused");
    Print(o, {{"end", "done"}}, "session ended\n");
    return 0;
  } else if (command == "sync") {
    peer::SyncOptions so;
    so.dir = o.to;
    for (const std::string& k : o.classes) {
      uint32_t v = 0;
      if (!ParseU32(k, &v) || peer::ClassIndexOf(v) < 0) return Fail(kExitUsage, "--class: " + k);
      so.classes.push_back(v);
    }
    for (const std::string& d : o.dbs) {
      size_t eq = d.find('=');
      uint32_t v = 0;
      if (eq == std::string::npos || !ParseU32(d.substr(0, eq), &v)) return Fail(kExitUsage, "--db: CLASS=NAME");
      so.databases[v].push_back(d.substr(eq + 1));
    }
    std::optional<hmpeer::ProgressBar> bar;
    if (isatty(2)) {
      so.progress = [&](const std::string& label) {
        bar.reset();  // the previous class's line ends
        bar.emplace(stderr, label);
      };
      so.onRecords = [&](size_t done, size_t total) { bar->Update(done, total); };
    }
    std::vector<peer::ClassSyncResult> results = peer::Sync(c, so);
    bar.reset();
    json array = json::array();
    std::string text;
    bool failed = false;
    for (const auto& r : results) {
      array.push_back({{"class", r.dataClass}, {"kind", r.fast ? "fast" : "slow"}, {"moved", r.moved},
                       {"mirrored", r.mirrored}, {"anchor", r.anchor}, {"error", r.error}});
      text += "class " + std::to_string(r.dataClass) + ": " + (r.fast ? "fast" : "slow") + " sync, " +
              std::to_string(r.moved) + " record(s) moved, " + std::to_string(r.mirrored) + " mirrored" +
              (r.error.empty() ? "" : ", FAILED: " + r.error) + "\n";
      failed = failed || !r.error.empty();
    }
    Print(o, array, text);
    if (failed) {
      s.End();
      return kExitRefused;
    }
  }
  s.End();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app("hmpeer: the desktop side of Hollowmarch", "hmpeer");
  app.require_subcommand(1);
  Options o;
  std::string command;
  app.add_option("--host", o.host, "device address (IPv4)")->capture_default_str();
  app.add_option("--port", o.port, "device port")->capture_default_str();
  app.add_flag("--json", o.json, "one JSON document on standard output");
  app.add_flag("--trace", o.trace, "every frame sent and received, in hex, on standard error");
  app.add_option("--timeout", o.timeout, "seconds to wait for the connection and for each reply")
      ->check(CLI::Range(0.001, 86400.0))
      ->capture_default_str();
  auto sub = [&](const char* name, const char* help) {
    CLI::App* s = app.add_subcommand(name, help);
    s->callback([&command, name] { command = name; });
    return s;
  };
  sub("hello", "hello and end of session");
  for (const char* name : {"state", "changes"}) {
    CLI::App* s = sub(name, name == std::string("state") ? "query 4: complete / untracked / incomplete"
                                                         : "query 5: the recorded changes");
    s->add_option("CLASS", o.cls)->required();
    s->add_option("--since", o.since, "seconds since 1970 or ISO 8601");
  }
  sub("enable", "command 6")->add_option("CLASS", o.cls)->required();
  sub("disable", "command 17")->add_option("CLASS", o.cls)->required();
  CLI::App* forget = sub("forget", "command 16, after loading the class's changes");
  forget->add_option("CLASS", o.cls)->required();
  forget->add_option("OID", o.oid)->required();
  sub("flush", "command 3");
  sub("suspend", "command 2");
  sub("resume", "command 7");
  CLI::App* alarm = app.add_subcommand("alarm", "command 9");
  alarm->require_subcommand(1);
  CLI::App* aset = alarm->add_subcommand("set", "set a notification");
  aset->callback([&] { command = "alarm-set"; });
  aset->add_option("--handle", o.handle);
  aset->add_option("--at", o.at)->required();
  aset->add_option("--app", o.app);
  aset->add_option("--title", o.title);
  aset->add_option("--text", o.text);
  aset->add_option("--sound", o.sound);
  aset->add_option("--flags", o.flags);
  CLI::App* aclear = alarm->add_subcommand("clear", "clear a notification");
  aclear->callback([&] { command = "alarm-clear"; });
  aclear->add_option("HANDLE", o.handle)->required();
  sub("timezone", "query 8");
  sub("free", "query 15")->add_option("VOLUME", o.volume)->required();
  sub("dump", "commands 10 to 13: every record of a database")->add_option("DB", o.db)->required();
  sub("end", "end of session")->add_flag("--shutdown", o.shutdown);
  CLI::App* sync = sub("sync", "fast or slow sync of each class into a mirror directory");
  sync->add_option("--to", o.to)->required();
  sync->add_option("--class", o.classes);
  sync->add_option("--db", o.dbs, "CLASS=NAME: a database a slow sync of the class reads");
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    return Fail(kExitUsage, e.what());
  }
  return Run(command, o);
}
