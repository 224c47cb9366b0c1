// What the running server tells the device's other programs about itself:
// the address and port it listens on and the peer it serves, kept in the
// device's runtime folder (platform/runtime_file.h) for hmdevice status.
//
// Threads: any; each call writes or reads the whole state.
#ifndef HOLLOWMARCH_SERVER_SERVER_STATE_H_
#define HOLLOWMARCH_SERVER_SERVER_STATE_H_

#include <optional>
#include <string>

#include "platform/types.h"

struct ServerState {
  std::string listen;  // "127.0.0.1:40141"; 0.0.0.0 for every address
  std::string peer;    // "127.0.0.1:51234", or "" while no peer is connected
};

// Replaces the state: listening on `address` (host byte order) and `port`,
// serving `peer` ("" for none). A failure to write is not the server's: the
// state is then missing or old, and hmdevice says so by its absence.
void PublishServerState(DWORD address, DWORD port, const std::string& peer);
// Removes it (the server stopped).
void WithdrawServerState();
// The state last published; nullopt when there is none or it is malformed.
// Only a running server's state is current: the caller checks that one runs.
std::optional<ServerState> ReadServerState();

#endif  // HOLLOWMARCH_SERVER_SERVER_STATE_H_
