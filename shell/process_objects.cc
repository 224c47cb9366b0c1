#include "shell/process_objects.h"

#include "server/message_dispatch.h"
#include "settings/registry_store.h"

ProcessObjects* pProcessObjects = nullptr;
HINSTANCE hInstMain = 0;
WCHAR szTitle[256] = {};
HWND hwndMain = 0;

namespace {

TrackingContext MakeContext(ProcessObjects& p) {
  TrackingContext ctx;
  ctx.trackedDbs = &p.trackedDbs;
  ctx.mailFolders = &p.mailFolders;
  ctx.messageUids = &p.messageUids;
  ctx.syncStates = &p.syncStates;
  ctx.mail = &p.mail;
  ctx.lastLogged = &p.lastLogged;
  ctx.hold = &p.captureHold;
  ctx.capture = &p.capture;
  return ctx;
}

}  // namespace

// The context only takes the members' addresses, so it may be filled before
// they are constructed; the table keeps a reference to the cache in the same
// way and uses it only later.
ProcessObjects::ProcessObjects(DWORD port, DWORD address)
    : tracking(MakeContext(*this)),
      trackedDbs(syncStates),
      server(SessionDispatcher(), session, tracking, port == 0 ? GetPort() : port, address) {}
