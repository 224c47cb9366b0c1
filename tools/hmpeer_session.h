// What every hmpeer command is given: the global options, the connection to
// the device (connect, hello, end of session), the output streams, and how a
// command ends (its exit status and the line that names a problem).
//
// Threads: one thread at a time.
#ifndef HOLLOWMARCH_TOOLS_HMPEER_SESSION_H_
#define HOLLOWMARCH_TOOLS_HMPEER_SESSION_H_

#include <cstdint>
#include <iosfwd>
#include <string>

#include <nlohmann/json.hpp>

#include "peer/device_requests.h"
#include "peer/peer_client.h"

namespace hmpeer {

// Exit status.
constexpr int kExitOk = 0;
constexpr int kExitRefused = 1;     // refused by the device, or a reply out of shape
constexpr int kExitUsage = 2;       // usage or input error; nothing was sent
constexpr int kExitConnection = 3;  // refused, closed, or no reply within the time-out

// The options that apply to every command.
struct GlobalOptions {
  std::string host = "127.0.0.1";
  uint16_t port = 40141;
  bool json = false;
  bool trace = false;
  double timeout = 5;  // seconds, for the connection and for each reply
};

// A 32-bit number, decimal or 0x-hex.
bool ParseU32(const std::string& text, uint32_t* out);
// The wire's class index of CLASS (24, 25, 26, 291 or 5454), or -1.
int ClassIndex(const std::string& text);
// "device answered 0xD3", or the reply's own error.
std::string StatusText(const peer::Reply& reply);

// The --json form of a failure: {"error": message, "status": code} as a
// line, with the members of `partial` (what was done before it failed).
void PrintJsonError(std::ostream& out, int code, const std::string& message,
                    const nlohmann::json& partial = nlohmann::json::object());

class Session {
 public:
  // `options`, `out` and `err` must outlive the session.
  Session(const GlobalOptions& options, std::ostream& out, std::ostream& err);
  // Ends the session, as Finish does, when it is open.
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Connects and says hello (again, after a connection was lost); 0, or the
  // exit status after the problem was printed.
  int Open();
  // Sends the end of session when the connection is still usable (not after
  // a time-out or a loss: that would only wait once more), closes it, and
  // returns `code`.
  int Finish(int code);
  // The end of session asked for (asking the device to close its
  // application when `shutdown` is set); the reply's status or -1. The
  // session is over either way.
  int End(bool shutdown);
  bool open() const { return client_.connected(); }

  // Prints "hmpeer: <message>" on the error stream, only.
  void Tell(const std::string& message);
  // Prints "hmpeer: <message>" on the error stream, and with --json also
  // {"error": message, "status": code} as a line on the output (a script
  // never reads a failure as an empty result), holding the members of
  // `partial` too; returns `code`.
  int Fail(int code, const std::string& message, const nlohmann::json& partial = nlohmann::json::object());
  // A request that did not succeed: "<what>: <why>", then Finish with 3 when
  // no reply came, 2 when the request was refused before it was sent, else 1.
  int Refused(const peer::Reply& reply, const std::string& what);
  // The command's result: `json` as one line with --json, else `text`.
  void Print(const nlohmann::json& json, const std::string& text);

  peer::PeerClient& client() { return client_; }
  const GlobalOptions& options() const { return options_; }
  std::ostream& out() { return out_; }
  std::ostream& err() { return err_; }

 private:
  peer::PeerClient::Millis Timeout() const;
  void Trace(bool sent, std::span<const uint8_t> bytes);

  const GlobalOptions& options_;
  std::ostream& out_;
  std::ostream& err_;
  peer::PeerClient client_;
  bool hello_done_ = false;
  // The type of the last request, so that a hello's reply is told as one.
  uint8_t last_sent_ = 0;
};

}  // namespace hmpeer

#endif  // HOLLOWMARCH_TOOLS_HMPEER_SESSION_H_
