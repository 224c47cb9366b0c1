// hmpeer sync: the reference sync of each class into a mirror directory
// (peer/sync_engine.h), with a progress bar on a terminal.
#ifndef HOLLOWMARCH_TOOLS_HMPEER_SYNC_H_
#define HOLLOWMARCH_TOOLS_HMPEER_SYNC_H_

#include <string>
#include <vector>

#include "tools/hmpeer_session.h"

namespace hmpeer {

struct SyncArgs {
  std::string to;                   // the mirror directory
  std::vector<std::string> classes; // CLASS ...; empty: all five
  std::vector<std::string> dbs;     // CLASS=NAME or CLASS=@OID ...
};

// Prints one line per class (or, with --json, an array of one object per
// class); 0 when every class synced, 1 when one failed, 3 when the
// connection was lost.
int SyncCommand(Session& s, const SyncArgs& args);

}  // namespace hmpeer

#endif  // HOLLOWMARCH_TOOLS_HMPEER_SYNC_H_
