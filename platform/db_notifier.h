// Delivery of the object store's record notifications (internal to the
// platform).
//
// A write that adds, changes or deletes a record of a database that some
// handle of the device watches appends a row to the store's notification log
// in the same transaction; the sequence numbers of the log are the commit
// order. Each process that watches a database runs one delivery thread. It
// sleeps on the store's change signal (no polling), reads the rows past its
// watches' positions and posts each to the watching window with
// PostMessageW(window, message, record, database): in commit order, each
// once, whichever process wrote. Rows every live watcher and every journal
// has passed are pruned; watches of dead processes are dropped, journals of
// dead processes are kept (that is what they are for).
#ifndef HOLLOWMARCH_PLATFORM_DB_NOTIFIER_H_
#define HOLLOWMARCH_PLATFORM_DB_NOTIFIER_H_

#include <cstdint>
#include <string>

#include "platform/store_db.h"
#include "platform/types.h"

namespace platform {

// Starts delivering the changes of `database` committed from now on to
// `window`. *watch receives the watch's identifier. ERROR_SUCCESS or the
// error; nothing is registered on failure. Any thread.
DWORD AddDbWatch(CEOID database, HWND window, int64_t* watch);
// Stops a watch: once this returns, nothing more is posted for it.
void RemoveDbWatch(int64_t watch);

// Inside a write transaction on `conn`: records `message` for `record` of
// `database` when some process watches that database.
DWORD RecordDbNotification(store::Connection* conn, CEOID database, CEOID record, UINT message);

// Inside a write transaction on `conn`: deletes the notifications recorded
// for `database` (it is being deleted), keeping the numbering past them.
DWORD ForgetDbNotifications(store::Connection* conn, CEOID database);

// Drops the watches of processes that have died and prunes the log rows
// that no live watch still needs. Run when a process opens the device, so
// the log cannot grow without bound once every watcher is gone.
void PruneDeadWatches();

// Stops this process's delivery thread and forgets its watches and its
// journal (the device is closing; a journal this process held stays in the
// store, as if the process had died). Must not race with AddDbWatch.
void StopDbNotifier();

// The notification journal of this process (platform/notification_journal.h
// gives the contract; these return ERROR_SUCCESS or the error).
DWORD ClaimJournal(const std::string& name, bool* taken_over);
DWORD FlushDelivery();
DWORD AcknowledgeDelivered(uint64_t journal_seq);
DWORD CloseJournal();
DWORD ReleaseJournal();
DWORD JournalBacklog(const std::string& name, int64_t* pending);
DWORD JournalInherited(CEOID database, bool* watched);

}  // namespace platform

#endif  // HOLLOWMARCH_PLATFORM_DB_NOTIFIER_H_
