// The floor of reading a database: its records read from start to end
// through the platform, one CeReadRecordProps after the other into one
// reused buffer, nothing kept. A benchmark of something that reads a whole
// database (a change log's load, say) divides its own time by this,
// measured in the same run.
#ifndef HOLLOWMARCH_BENCH_READ_FLOOR_H_
#define HOLLOWMARCH_BENCH_READ_FLOOR_H_

#include "platform/types.h"

namespace hmbench {

// Seconds to read every record of the database `oid` (opened anew, so that
// no read-ahead of another handle helps); negative when the database cannot
// be opened or holds other than `records` records. Any thread with the
// device open.
double PlainReadSeconds(CEOID oid, int records);

}  // namespace hmbench

#endif  // HOLLOWMARCH_BENCH_READ_FLOOR_H_
