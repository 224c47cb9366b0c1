#include "shell/process_objects.h"

#include "server/message_dispatch.h"
#include "settings/registry_store.h"

ProcessObjects* pProcessObjects = nullptr;
HINSTANCE hInstMain = 0;
WCHAR szTitle[256] = {};
HWND hwndMain = 0;

ProcessObjects::ProcessObjects(DWORD port, DWORD address, PeerAllowList allowed)
    : dispatcher(session, tracking),
      server(dispatcher, tracking.hwndMain, port == 0 ? GetPort() : port, address,
             std::move(allowed)) {}
