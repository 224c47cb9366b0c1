#include "tracking/durability_point.h"

#include "platform/kernel.h"
#include "platform/log.h"
#include "platform/object_store.h"

void DurabilityPoint(const char* where) {
  if (CeFlushDBVol()) return;
  platform::Logf(platform::LogPriority::kWarning,
                 "Hollowmarch Replication Server: the store could not be synced to the disk %s "
                 "(error %u); what the peer was shown may not survive a power cut",
                 where, static_cast<unsigned>(GetLastError()));
}
