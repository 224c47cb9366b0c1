// Who may connect to the sync server. The protocol has no authentication, so
// an operator names the peers to serve: IPv4 addresses and CIDR ranges
// ("192.168.1.20, 10.0.0.0/8"), from the program's --allow option, else the
// registry value AllowedPeers (REG_SZ), else every peer. A peer outside the
// list is closed at accept, before any byte of it is read.
//
// Threads: a list is built before the server starts and only read after.
#ifndef HOLLOWMARCH_SERVER_PEER_ALLOW_LIST_H_
#define HOLLOWMARCH_SERVER_PEER_ALLOW_LIST_H_

#include <string>
#include <vector>

#include "platform/types.h"

class PeerAllowList {
 public:
  // Every peer.
  PeerAllowList() = default;

  // Entries "A.B.C.D" or "A.B.C.D/N" (N from 0 to 32), separated by commas
  // with blanks around them allowed; host bits of a range are ignored. False
  // with *error (naming the entry that is wrong) and *list untouched for
  // anything else, also for text with no entry.
  static bool Parse(const std::string& text, PeerAllowList* list, std::string* error);

  // `address` in host byte order.
  bool Allows(DWORD address) const;
  bool AllowsEveryPeer() const { return ranges_.empty(); }
  // "every peer", or the entries as "10.0.0.0/8, 127.0.0.1".
  std::string Describe() const;

 private:
  struct Range {
    DWORD network;  // host byte order, host bits cleared
    DWORD mask;
  };
  std::vector<Range> ranges_;
};

// The list the program serves: `option` is --allow's text, or null when the
// option was not given; else the registry value AllowedPeers of the open
// device; else every peer. False with *error, a sentence naming the text and
// where it came from, when the choice is malformed or cannot be read: it is
// never widened to every peer.
bool ResolveAllowedPeers(const std::string* option, PeerAllowList* list, std::string* error);

// "127.0.0.1" for an address in host byte order.
std::string AddressText(DWORD address);

#endif  // HOLLOWMARCH_SERVER_PEER_ALLOW_LIST_H_
