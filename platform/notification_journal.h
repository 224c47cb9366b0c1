// Notification journals: durable delivery of the object store's record
// notifications, an extension of this platform.
//
// A window that is the notification target of a database (CeOpenDatabase)
// is told of each change only while its process lives: what had been posted
// to a process that dies is gone with it, and a change made while no
// process watches is told to nobody. A process that must never miss a
// change, whatever happens to it, holds a journal: a named, device-wide
// record, kept in the store, of the databases it watches and of how far it
// has handled their notifications.
//
// While a process holds a journal:
//  - every database it opens with a notify window is in the journal. The
//    store keeps recording that database's changes for the journal after
//    the process has died, until some process closes the journal;
//  - each notification posted to its windows carries its sequence. The
//    thread that took the message acknowledges it once handled
//    (CeAcknowledgeNotification). An acknowledgement made inside the
//    thread's transaction (CeBeginTransaction) becomes durable together
//    with the work that handled the notification, so a process killed at any
//    instant neither loses nor repeats that work.
// When a process claims a journal whose holder died, every notification of
// the journal's databases after the last one acknowledged is pending: for
// each database the new holder opens with a notify window that was in the
// journal, they are posted to that window, in their order, followed by new
// ones. Delivery to the new holder's windows waits until it has opened its
// databases and calls CeFlushNotifications, so that pending notifications of
// several databases still arrive in one order.
//
// Acknowledgements are cumulative: acknowledging one acknowledges every
// notification of the journal before it. A holder therefore handles its
// notifications in the order they are posted.
//
// Threads: any thread may open, flush and close; an acknowledgement names
// the message its calling thread took last (GetMessageW, PeekMessageW).
#ifndef HOLLOWMARCH_PLATFORM_NOTIFICATION_JOURNAL_H_
#define HOLLOWMARCH_PLATFORM_NOTIFICATION_JOURNAL_H_

#include "platform/types.h"

// Claims the journal `name` (at most 63 characters, compared without regard
// to ASCII case) for this process: creates it when it does not exist,
// nothing pending, or takes it over from a process that died holding it.
// *pfTakenOver (when not null) is TRUE when it was taken over. Delivery to
// every window of this process pauses until CeFlushNotifications. FALSE with
// ERROR_ALREADY_EXISTS when this process holds a journal already,
// ERROR_SHARING_VIOLATION when another live process holds this one, or the
// store's error; nothing is claimed then.
BOOL CeOpenNotificationJournal(LPCWSTR name, BOOL* pfTakenOver);

// Resumes delivery and returns once every notification committed before the
// call (pending ones included) has been posted to its window of this
// process. TRUE at once when this process watches nothing. FALSE with
// ERROR_TIMEOUT when delivery did not get that far within 30 seconds (the
// store refused to be read).
BOOL CeFlushNotifications();

// Acknowledges the notification of the message the calling thread took last,
// and every one of the journal before it. Inside the thread's transaction it
// is written with that transaction; outside one it is kept in memory and
// written within about a second (a process killed before that leaves those
// notifications pending for the next holder). FALSE with ERROR_NOT_FOUND
// when that message was no notification of this process's journal, or the
// store's error inside a transaction.
BOOL CeAcknowledgeNotification();

// Closes this process's journal: it is forgotten with its databases and its
// position, and the store stops recording for it. The process's watches go
// on as ordinary ones. FALSE with ERROR_INVALID_HANDLE when it holds none, or
// the store's error (the journal then stays).
BOOL CeCloseNotificationJournal();

// Leaves this process's journal to the next process that claims it, as if
// this process had died: the store goes on recording for it, its databases
// and every acknowledgement made so far (written now) stay, and the next
// claim takes it over at once, even while this process still runs. The
// process's watches go on as ordinary ones. FALSE with ERROR_INVALID_HANDLE
// when it holds none, or the store's error (the journal is then still held,
// and passes on when this process dies).
BOOL CeReleaseNotificationJournal();

// How many notifications of the journal `name` are after its stored
// position: those its holder has not acknowledged yet, or, for a holder
// that died, those the next one will be posted. Acknowledgements made
// outside a transaction count once written (within about a second). Any
// process may ask. FALSE with ERROR_FILE_NOT_FOUND when there is no such
// journal, or the store's error.
BOOL CeGetNotificationBacklog(LPCWSTR name, LPDWORD pcPending);

// Whether the instance this process took its journal over from was watching
// `oidDb` through it, and so was told of every write to it: *pfWatched TRUE
// when the database was among the journal's databases at the claim. FALSE
// with ERROR_NOT_FOUND when this process holds no journal that it took over
// (none claimed, or one made afresh). This process's thread only.
BOOL CeJournalWasWatching(CEOID oidDb, BOOL* pfWatched);

#endif  // HOLLOWMARCH_PLATFORM_NOTIFICATION_JOURNAL_H_
