#include "tools/hmpeer_commands.h"

#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <optional>
#include <string_view>
#include <vector>

#include "peer/device_time_zone.h"
#include "peer/sync_engine.h"
#include "tools/progress_bar.h"
#include "tools/time_text.h"

namespace hmpeer {
namespace {

using nlohmann::json;


// The class index of CLASS and the time of --since, or a usage error.
int ClassAndSince(Session& s, const std::string& cls, const std::optional<std::string>& since,
                  uint8_t* index, uint32_t* time) {
  const int i = ClassIndex(cls);
  if (i < 0) return s.Fail(kExitUsage, "CLASS must be 24, 25, 26, 291 or 5454");
  *time = 0;
  if (since && !ParseTime(*since, time)) return s.Fail(kExitUsage, "--since: not a time");
  *index = static_cast<uint8_t>(i);
  return kExitOk;
}

// A command answered by its status alone.
// A command answered by a status alone; `note` (when not empty) says what
// the result means beyond "done".
int StatusCommand(Session& s, const std::string& name, peer::Reply (*request)(peer::PeerClient&),
                  const std::string& note = "") {
  if (int rc = s.Open()) return rc;
  const peer::Reply r = request(s.client());
  if (!r.ok()) return s.Refused(r, name);
  json result = {{name, "done"}};
  if (!note.empty()) result["note"] = note;
  s.Print(result, name + " done" + (note.empty() ? "" : ": " + note) + "\n");
  return s.Finish(kExitOk);
}

// Capture's suspension is the session's: the device lifts it when the
// session ends, and each hmpeer command is one session.
constexpr char kUntilSessionEnds[] =
    "until this session ends, which is when this command ends (each hmpeer command is one session)";

// A command answered by the device time.
int TimeCommand(Session& s, const std::string& name, const peer::Reply& r, uint32_t time) {
  if (!r.ok()) return s.Refused(r, name);
  s.Print({{"deviceTime", time}, {"deviceTimeText", tools::IsoTime(time)}},
          "device time " + tools::IsoTime(time) + " (" + std::to_string(time) + ")\n");
  return s.Finish(kExitOk);
}

std::string TimeText(const peer::SystemTime& t) {
  char text[64];
  std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u", t.year, t.month, t.day, t.hour, t.minute,
                t.second);
  return text;
}

int SetAlarm(Session& s, const peer::Alarm& alarm) {
  uint32_t handle = 0;
  const peer::Reply r = peer::SetAlarm(s.client(), alarm, &handle);
  if (!r.ok()) return s.Refused(r, "alarm");
  if (alarm.set && handle == 0) {
    // The device answers "done" whatever became of the notification.
    s.Fail(kExitRefused, "alarm: the device did not set the notification (handle 0)");
    return s.Finish(kExitRefused);
  }
  if (!alarm.set) {
    // The device answers the same whether or not it had the notification.
    const std::string note = "cleared if the device had it; the device does not tell whether it did";
    s.Print({{"handle", handle}, {"note", note}}, "handle " + std::to_string(handle) + ": " + note + "\n");
  } else {
    const auto& f = alarm.time;
    const std::string at = TimeText({f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7]});
    s.Print({{"handle", handle}, {"localTime", at}}, "handle " + std::to_string(handle) + " at " + at +
                                                          " device time\n");
  }
  return s.Finish(kExitOk);
}

// The device's zone by query 8, or the exit status after the problem was
// printed.
int DeviceZone(Session& s, peer::TimeZone* zone) {
  peer::Bytes tz;
  const peer::Reply r = peer::QueryTimeZone(s.client(), &tz);
  if (!r.ok()) return s.Refused(r, "timezone");
  std::string error;
  if (!peer::DecodeTimeZone(tz, zone, &error)) {
    s.Fail(kExitRefused, "timezone: " + error);
    return s.Finish(kExitRefused);
  }
  return kExitOk;
}

}  // namespace

bool ParseTime(const std::string& text, uint32_t* out) {
  if (ParseU32(text, out)) return true;
  std::tm tm{};
  const char* end = strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &tm);
  // A trailing "Z" says UTC again; nothing else may follow.
  if (end == nullptr || (*end != '\0' && std::string_view(end) != "Z")) return false;
  time_t t = timegm(&tm);
  if (t < 0 || t > 0xFFFFFFFFll) return false;
  *out = static_cast<uint32_t>(t);
  return true;
}

int HelloCommand(Session& s) {
  if (int rc = s.Open()) return rc;
  s.Print({{"hello", "accepted"}}, "hello accepted\n");
  return s.Finish(kExitOk);
}

int StateCommand(Session& s, const std::string& cls, const std::optional<std::string>& since) {
  uint8_t index = 0;
  uint32_t time = 0;
  if (int rc = ClassAndSince(s, cls, since, &index, &time)) return rc;
  if (int rc = s.Open()) return rc;
  uint8_t answer = 0;
  const peer::Reply r = peer::QuerySyncState(s.client(), index, time, &answer);
  if (!r.ok()) return s.Refused(r, "state");
  const char* names[] = {"complete", "untracked", "incomplete"};
  const std::string name = answer < 3 ? names[answer] : "unknown";
  s.Print({{"class", cls}, {"answer", answer}, {"state", name}}, std::to_string(answer) + " " + name + "\n");
  return s.Finish(kExitOk);
}

int ChangesCommand(Session& s, const std::string& cls, const std::optional<std::string>& since) {
  uint8_t index = 0;
  uint32_t time = 0;
  if (int rc = ClassAndSince(s, cls, since, &index, &time)) return rc;
  if (int rc = s.Open()) return rc;
  std::vector<peer::ChangeRecord> changes;
  const peer::Reply r = peer::ReadChanges(s.client(), index, time, &changes);
  if (!r.ok()) return s.Refused(r, "changes");
  json array = json::array();
  std::string text;
  for (const auto& ch : changes) {
    array.push_back({{"type", tools::ChangeTypeWord(ch.type)}, {"typeCode", ch.type}, {"time", ch.time},
                     {"timeText", tools::IsoTime(ch.time)}, {"reserved", ch.reserved}, {"uid", ch.uid},
                     {"db", ch.oidDb}, {"oid", ch.oidRec}});
    char uid[16];
    std::snprintf(uid, sizeof uid, "0x%08x", static_cast<unsigned>(ch.uid));
    text += std::string(tools::ChangeTypeWord(ch.type)) + " " + tools::IsoTime(ch.time) + " db " +
            std::to_string(ch.oidDb) + " rec " + std::to_string(ch.oidRec) + " uid " + uid + "\n";
  }
  s.Print(array, text);
  return s.Finish(kExitOk);
}

int EnableCommand(Session& s, const std::string& cls) {
  uint8_t index = 0;
  uint32_t unused = 0;
  if (int rc = ClassAndSince(s, cls, std::nullopt, &index, &unused)) return rc;
  if (int rc = s.Open()) return rc;
  uint32_t time = 0;
  const peer::Reply r = peer::EnableClass(s.client(), index, &time);
  return TimeCommand(s, "enable", r, time);
}

int ForgetCommand(Session& s, const std::string& cls, const std::string& oid_text) {
  uint8_t index = 0;
  uint32_t unused = 0;
  if (int rc = ClassAndSince(s, cls, std::nullopt, &index, &unused)) return rc;
  uint32_t oid = 0;
  if (!ParseU32(oid_text, &oid)) return s.Fail(kExitUsage, "OID: not a number");
  if (int rc = s.Open()) return rc;
  // The device forgets a change only while the class's list is loaded.
  std::vector<peer::ChangeRecord> loaded;
  const peer::Reply load = peer::ReadChanges(s.client(), index, 0, &loaded);
  if (!load.ok()) return s.Refused(load, "changes");
  uint32_t time = 0;
  const peer::Reply r = peer::ForgetChange(s.client(), index, oid, &time);
  return TimeCommand(s, "forget", r, time);
}

int DisableCommand(Session& s, const std::string& cls) {
  uint8_t index = 0;
  uint32_t unused = 0;
  if (int rc = ClassAndSince(s, cls, std::nullopt, &index, &unused)) return rc;
  if (int rc = s.Open()) return rc;
  const peer::Reply r = peer::DisableClass(s.client(), index);
  if (!r.ok()) return s.Refused(r, "disable");
  s.Print({{"disable", "done"}}, "disable done\n");
  return s.Finish(kExitOk);
}

int FlushCommand(Session& s) { return StatusCommand(s, "flush", peer::FlushChanges); }
int SuspendCommand(Session& s) {
  return StatusCommand(s, "suspend", peer::SuspendCapture,
                       std::string("the device drops changes ") + kUntilSessionEnds);
}
int ResumeCommand(Session& s) {
  return StatusCommand(s, "resume", peer::ResumeCapture,
                       std::string("the device captures changes, and a suspend has no effect until a flush, ") +
                           kUntilSessionEnds);
}

int AlarmSetCommand(Session& s, const AlarmArgs& args) {
  peer::Alarm a;
  if (!ParseU32(args.handle, &a.handle)) return s.Fail(kExitUsage, "--handle: not a number");
  uint32_t at = 0;
  if (!ParseTime(args.at, &at)) return s.Fail(kExitUsage, "--at: not a time");
  if (args.flags < 0 || args.flags > 255) return s.Fail(kExitUsage, "--flags: 0 to 255");
  a.actionFlags = static_cast<uint8_t>(args.flags);
  a.application = args.app, a.title = args.title, a.text = args.text, a.sound = args.sound;
  if (int rc = s.Open()) return rc;
  // The device reads the time as its local time.
  peer::SystemTime t = peer::CivilTime(at);
  if (!args.local) {
    peer::TimeZone zone;
    if (int rc = DeviceZone(s, &zone)) return rc;
    t = peer::LocalTime(zone, at);
  }
  a.time = {t.year, t.month, t.dayOfWeek, t.day, t.hour, t.minute, t.second, 0};
  return SetAlarm(s, a);
}

int AlarmClearCommand(Session& s, const std::string& handle) {
  peer::Alarm a;
  a.set = false;
  if (!ParseU32(handle, &a.handle)) return s.Fail(kExitUsage, "HANDLE: not a number");
  if (int rc = s.Open()) return rc;
  return SetAlarm(s, a);
}

int TimeZoneCommand(Session& s) {
  if (int rc = s.Open()) return rc;
  peer::TimeZone zone;
  if (int rc = DeviceZone(s, &zone)) return rc;
  const std::string standard = peer::Utf16ToUtf8(zone.standardName);
  const std::string daylight = peer::Utf16ToUtf8(zone.daylightName);
  json j = {{"bias", zone.bias}, {"standardName", standard}, {"standardBias", zone.standardBias},
            {"daylightName", daylight}, {"daylightBias", zone.daylightBias}};
  s.Print(j, "bias " + std::to_string(zone.bias) + " min, standard \"" + standard + "\", daylight \"" + daylight +
                 "\" (bias " + std::to_string(zone.daylightBias) + ")\n");
  return s.Finish(kExitOk);
}

int FreeCommand(Session& s, const std::string& volume) {
  uint32_t v = 0;
  if (!ParseU32(volume, &v) || v > 255) {
    return s.Fail(kExitUsage, "VOLUME: 0 Storage Card, 1 Program Files, 2 the store");
  }
  if (int rc = s.Open()) return rc;
  peer::FreeSpace f;
  const peer::Reply r = peer::QueryFreeSpace(s.client(), static_cast<uint8_t>(v), &f);
  if (!r.ok()) return s.Refused(r, "free");
  s.Print({{"volume", f.volume}, {"available", f.availableBytes}, {"total", f.totalBytes}, {"free", f.freeBytes}},
          "available " + std::to_string(f.availableBytes) + ", total " + std::to_string(f.totalBytes) + ", free " +
              std::to_string(f.freeBytes) + "\n");
  return s.Finish(kExitOk);
}

// A dumped record: as JSON (integers as numbers, as rec list --json gives
// them; other types as their text), and as a text line.
json DumpedRecordJson(const peer::Record& rec) {
  json props = json::array();
  for (const auto& p : rec.props) {
    const bool integer = p.type() == 2 || p.type() == 3 || p.type() == 18 || p.type() == 19;
    props.push_back({{"id", p.propId},
                     {"type", p.type()},
                     {"value", integer ? json(p.integer) : json(peer::PropertyValueText(p))}});
  }
  return {{"oid", rec.oid}, {"props", props}};
}

std::string DumpedRecordText(const peer::Record& rec) {
  std::string text = std::to_string(rec.oid);
  for (const auto& p : rec.props) {
    char id[16];
    std::snprintf(id, sizeof id, "0x%08X", p.propId);
    text += std::string(" ") + id + "=" + peer::PropertyValueText(p);
  }
  return text + "\n";
}

int DumpDatabaseCommand(Session& s, const std::string& db) {
  uint32_t oid = 0;
  std::u16string name;
  if (!peer::ParseDatabaseRef(db, &oid, &name)) return s.Fail(kExitUsage, "DB: a name, or @ and an identifier");
  if (int rc = s.Open()) return rc;
  uint32_t oidDb = 0;
  std::string error;
  // The records are printed batch by batch as they come, never held: with
  // --json as one object written in pieces, {"db":N,"records":[...]}.
  const bool as_json = s.options().json;
  bool started = false;
  size_t count = 0;
  auto start = [&] {
    if (!started && as_json) s.out() << "{\"db\":" << oidDb << ",\"records\":[";
    started = true;
  };
  const peer::DumpRecords print = [&](const std::vector<peer::Record>& batch) {
    start();
    for (const peer::Record& rec : batch) {
      if (as_json) {
        s.out() << (count++ > 0 ? "," : "") << DumpedRecordJson(rec).dump();
      } else {
        s.out() << DumpedRecordText(rec);
      }
    }
    s.out().flush();
  };
  // The bar only where it does not mix with the records on one terminal.
  std::optional<ProgressBar> bar;
  peer::DumpProgress progress;
  if (isatty(2) && !isatty(1)) {
    bar.emplace(stderr, db);
    progress = [&](size_t done, size_t total) { bar->Update(done, total); };
  }
  const bool ok = peer::DumpDatabase(s.client(), oid, name, nullptr, &oidDb, &error, progress, print);
  bar.reset();
  if (!ok) {
    // The records read before the failure stay with it, never as the whole
    // database: with --json the one object holds the error too.
    const int code = s.client().last_result() == peer::ReceiveResult::kTooLarge ? kExitUsage : kExitRefused;
    const std::string message = "dump " + db + ": " + error;
    if (!started) {
      s.Fail(code, message, {{"db", oidDb}, {"records", json::array()}});
    } else {
      s.Tell(message);
      if (as_json) s.out() << "],\"error\":" << json(message).dump() << ",\"status\":" << code << "}\n";
    }
    s.out().flush();
    return s.Finish(code);
  }
  start();
  if (as_json) s.out() << "]}\n";
  s.out().flush();
  return s.Finish(kExitOk);
}

int EndCommand(Session& s, bool shutdown) {
  if (int rc = s.Open()) return rc;
  if (s.End(shutdown) != peer::kStatusOk) return s.Fail(kExitRefused, "end of session refused");
  s.Print({{"end", "done"}}, "session ended\n");
  return kExitOk;
}

}  // namespace hmpeer
