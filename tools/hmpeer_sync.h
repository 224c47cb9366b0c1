// hmpeer sync: the reference sync of each class into a mirror directory
// (peer/sync_engine.h), with a progress bar on a terminal; once, or, with
// --watch, as a docked desktop does: one connection kept, a round every so
// many seconds.
#ifndef HOLLOWMARCH_TOOLS_HMPEER_SYNC_H_
#define HOLLOWMARCH_TOOLS_HMPEER_SYNC_H_

#include <optional>
#include <string>
#include <vector>

#include "tools/hmpeer_session.h"

namespace hmpeer {

struct SyncArgs {
  std::string to;                    // the mirror directory
  std::vector<std::string> classes;  // CLASS ...; empty: all five
  std::vector<std::string> dbs;      // CLASS=NAME or CLASS=@OID ...
  std::optional<double> watch;       // seconds between rounds
};

// One sync: prints one line per class (or, with --json, an array of one
// object per class); 0 when every class synced, 1 when one failed, 3 when
// the connection was lost.
//
// With `watch`: a round, then one every `watch` seconds, over the one
// connection (one hello), each printed as "round N" and its class lines
// (with --json, one line {"round":N,"classes":[...]} a round). A device
// that goes away is connected to again, after 0.5 s, then twice as long
// each time up to 30 s, and the round follows at once. SIGINT or SIGTERM
// ends it after the round under way has committed (a second one ends the
// program at once); the status is then that of the last round, or 3 while
// the device was away. A first connection that fails ends it as without
// --watch. Installs handlers for SIGINT and SIGTERM for its length.
int SyncCommand(Session& s, const SyncArgs& args);

}  // namespace hmpeer

#endif  // HOLLOWMARCH_TOOLS_HMPEER_SYNC_H_
