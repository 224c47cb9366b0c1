// The durability point: what the system has shown to another party that
// will keep it survives a power cut of the device.
//
// The store's own commits (capture's, the writers', the server's) sync
// nothing to the disk, so a power cut returns the device to its last sync.
// The desktop commits a class only after command 3 has ended its reading of
// it (and never after the end of session), and a program that walks a
// change list locally may hand the changes on once its walk has ended: if
// the device could then lose what they were shown, the desktop would keep
// records the device no longer has while its log reads complete. So before
// the reply to command 3 and to the end of session, and at the end of a
// local walk, everything committed so far is synced: one sync of the
// store's log, however much was committed since the last point.
#ifndef HOLLOWMARCH_TRACKING_DURABILITY_POINT_H_
#define HOLLOWMARCH_TRACKING_DURABILITY_POINT_H_

// Syncs the store (CeFlushDBVol). A failure is told as a warning naming
// `where`; the caller's reply stays as it is (what was committed is kept,
// but may not outlive a power cut). Any thread, outside a store transaction.
void DurabilityPoint(const char* where);

#endif  // HOLLOWMARCH_TRACKING_DURABILITY_POINT_H_
