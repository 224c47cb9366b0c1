// The IPv4 address the sync server binds, chosen once per process: the
// program's --listen option when given, else the registry value
// ListenAddress, else every address. A malformed choice is refused, never
// widened to every address: an operator who narrowed the server to one
// address must not find it reachable on all of them.
//
// Threads: any; no state of its own.
#ifndef HOLLOWMARCH_SHELL_LISTEN_ADDRESS_H_
#define HOLLOWMARCH_SHELL_LISTEN_ADDRESS_H_

#include <string>

#include "platform/types.h"

// `option` is the option's text, or null when the option was not given
// (an empty option is malformed). True and *address in host byte order
// (INADDR_ANY for every address); false and *error, a sentence that names
// the text, where it came from and what is wanted, with *address untouched.
// Reads the registry of the open device only when `option` is null.
bool ResolveListenAddress(const std::string* option, DWORD* address, std::string* error);

// "127.0.0.1:40141", or "every address, port 40141" for INADDR_ANY; the
// low 16 bits of `port` count, as the server uses them.
std::string DescribeListenEndpoint(DWORD address, DWORD port);

#endif  // HOLLOWMARCH_SHELL_LISTEN_ADDRESS_H_
