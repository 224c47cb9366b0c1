#include "shell/string_table.h"

#include <iterator>

#include "platform/window.h"

namespace {

const StringResource kStrings[] = {
    {101, u"Unable to add change notification"},
    {104, u"Unable to initialize communication"},
    {105, u"Insufficient memory to proceed"},
    {201, u"Hollowmarch Replication Server"},
    {202, u"Welcome to Hollowmarch Replication Server!"},
    {203, u"Checkpoint 1"},
    {204, u"Checkpoint 2"},
    {205, u"Checkpoint 3"},
    {206, u"Checkpoint 4"},
    {207, u"Checkpoint 5"},
    {208, u"Checkpoint 6"},
    {209, u"Checkpoint 7"},
    {210, u"Click OK to shut down the Hollowmarch fast-sync server. This disables fast-sync "
          u"capability. Click Cancel to leave the server running."},
    {211, u"The Hollowmarch fast-sync server is already running. If you restart, your next sync "
          u"will be a slow sync. Click OK to restart, Cancel to leave the server running."},
};

}  // namespace

void RegisterProgramStrings() {
  RegisterStringTable(kStrings, static_cast<int>(std::size(kStrings)));
}
