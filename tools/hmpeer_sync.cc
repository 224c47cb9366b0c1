#include "tools/hmpeer_sync.h"

#include <unistd.h>

#include <algorithm>
#include <optional>

#include "peer/sync_engine.h"
#include "tools/progress_bar.h"

namespace hmpeer {
namespace {

using nlohmann::json;

// The engine's options from the command line, or a usage error.
int MakeOptions(Session& s, const SyncArgs& args, peer::SyncOptions* so) {
  so->dir = args.to;
  for (const std::string& k : args.classes) {
    uint32_t v = 0;
    if (!ParseU32(k, &v) || peer::ClassIndexOf(v) < 0) return s.Fail(kExitUsage, "--class: " + k);
    so->classes.push_back(v);
  }
  for (const std::string& d : args.dbs) {
    const size_t eq = d.find('=');
    uint32_t v = 0, oid = 0;
    std::u16string name;
    if (eq == std::string::npos || !ParseU32(d.substr(0, eq), &v) || peer::ClassIndexOf(v) < 0 ||
        !peer::ParseDatabaseSpec(d.substr(eq + 1), &oid, &name)) {
      return s.Fail(kExitUsage, "--db " + d + ": CLASS=NAME or CLASS=@OID, CLASS 24, 25, 26, 291 or 5454");
    }
    std::vector<std::string>& named = so->databases[v];
    if (std::find(named.begin(), named.end(), d.substr(eq + 1)) == named.end()) named.push_back(d.substr(eq + 1));
  }
  return kExitOk;
}

}  // namespace

int SyncCommand(Session& s, const SyncArgs& args) {
  peer::SyncOptions so;
  if (int rc = MakeOptions(s, args, &so)) return rc;
  if (int rc = s.Open()) return rc;
  std::optional<ProgressBar> bar;
  if (isatty(2)) {
    so.progress = [&](const std::string& label) {
      bar.reset();  // the previous class's line ends
      bar.emplace(stderr, label);
    };
    so.onRecords = [&](size_t done, size_t total) { bar->Update(done, total); };
  }
  const std::vector<peer::ClassSyncResult> results = peer::Sync(s.client(), so);
  bar.reset();
  json array = json::array();
  std::string text;
  bool failed = false, lost = false;
  for (const auto& r : results) {
    array.push_back({{"class", r.dataClass}, {"kind", r.fast ? "fast" : "slow"}, {"moved", r.moved},
                     {"mirrored", r.mirrored}, {"anchor", r.anchor}, {"error", r.error}});
    text += "class " + std::to_string(r.dataClass) + ": " + (r.fast ? "fast" : "slow") + " sync, " +
            std::to_string(r.moved) + " record(s) moved, " + std::to_string(r.mirrored) + " mirrored" +
            (r.error.empty() ? "" : ", FAILED: " + r.error) + "\n";
    failed = failed || !r.error.empty();
    lost = lost || r.connectionLost;
  }
  s.Print(array, text);
  return s.Finish(lost ? kExitConnection : failed ? kExitRefused : kExitOk);
}

}  // namespace hmpeer
