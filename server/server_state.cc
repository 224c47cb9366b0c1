#include "server/server_state.h"

#include "platform/runtime_file.h"
#include "server/peer_allow_list.h"

namespace {

constexpr char kStateFile[] = "server-state";

}  // namespace

void PublishServerState(DWORD address, DWORD port, const std::string& peer) {
  platform::WriteRuntimeFile(kStateFile, "listen " + AddressText(address) + ":" + std::to_string(port & 0xFFFF) +
                                             "\npeer " + (peer.empty() ? "-" : peer) + "\n");
}

void WithdrawServerState() { platform::RemoveRuntimeFile(kStateFile); }

std::optional<ServerState> ReadServerState() {
  const std::optional<std::string> text = platform::ReadRuntimeFile(kStateFile);
  if (!text) return std::nullopt;
  ServerState state;
  bool listen = false, peer = false;
  size_t start = 0;
  while (start < text->size()) {
    const size_t end = text->find('\n', start);
    const std::string line = text->substr(start, end == std::string::npos ? std::string::npos : end - start);
    start = end == std::string::npos ? text->size() : end + 1;
    if (line.rfind("listen ", 0) == 0) {
      state.listen = line.substr(7);
      listen = true;
    } else if (line.rfind("peer ", 0) == 0) {
      state.peer = line.substr(5) == "-" ? "" : line.substr(5);
      peer = true;
    }
  }
  if (!listen || !peer) return std::nullopt;
  return state;
}
