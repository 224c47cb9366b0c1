// The whole system on a temporary device, for process-level tests: the
// server `hollowmarch` on a free port, `hmdevice` playing the handheld's other
// applications and `hmpeer` the desktop. The program paths are the ones CMake
// gives every test (HM_HOLLOWMARCH_PATH, HM_HMDEVICE_PATH, HM_HMPEER_PATH),
// passed in by the test.
#ifndef HOLLOWMARCH_TESTS_SUPPORT_DEVICE_SYSTEM_H_
#define HOLLOWMARCH_TESTS_SUPPORT_DEVICE_SYSTEM_H_

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "nlohmann/json.hpp"
#include "tests/support/process.h"
#include "tests/support/temp_device.h"

namespace hmtest {

struct ProgramPaths {
  std::string hollowmarch;
  std::string hmdevice;
  std::string hmpeer;
};

class DeviceSystem {
 public:
  // A new device (not opened in this process) whose Port is a free one.
  explicit DeviceSystem(ProgramPaths paths);
  // Kills a server still running.
  ~DeviceSystem();
  DeviceSystem(const DeviceSystem&) = delete;
  DeviceSystem& operator=(const DeviceSystem&) = delete;

  const std::string& root() const { return device_.root(); }
  int port() const { return port_; }

  // hmdevice --root ROOT ARGS... / hmpeer --port PORT ARGS...
  RunResult Device(const std::vector<std::string>& args, const std::string& input = "") const;
  RunResult Peer(const std::vector<std::string>& args) const;
  // hmdevice started in the background (an import to kill, say).
  std::unique_ptr<Process> DeviceInBackground(const std::vector<std::string>& args) const;

  // Starts the server and waits until it answers a hello; false (with the
  // server's output in *why) when it does not within 20 s. `commandLine`
  // (AppRunAfterRestore, say) follows the root on its command line.
  bool Start(std::string* why = nullptr, const std::string& commandLine = "");
  Process* server() const { return server_.get(); }
  bool ServerRunning() const;
  // Ends the server: kill -SIG and wait (true when it exited with status 0
  // for a signal that closes, or was killed by SIGKILL). The server's
  // standard error goes to *err when given.
  bool Signal(int sig, std::string* err = nullptr);
  // `hollowmarch Shutdown`, and the running server's exit; true when both
  // exited with status 0.
  bool Shutdown();
  // The end of session with the shutdown byte set, and the server's exit.
  bool EndSessionWithShutdown();
  // Starts a second instance, which closes the running one; true when the
  // old one exited with status 0 and the new one serves.
  bool Replace(std::string* why = nullptr);

  // hmdevice status --json.
  nlohmann::json Status() const;
  // The class's state name ("none", "tracking", "lost").
  std::string ClassState(unsigned dataClass) const;
  // Waits until the running system has captured every notification it was
  // posted (the journal has none left); false after `timeout`.
  bool WaitCaptured(std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;

  // The records of a database as `hmdevice rec list --json` prints them.
  nlohmann::json Records(const std::string& db) const;

 private:
  ProgramPaths paths_;
  TempDevice device_;
  int port_;
  std::unique_ptr<Process> server_;
};

}  // namespace hmtest

#endif  // HOLLOWMARCH_TESTS_SUPPORT_DEVICE_SYSTEM_H_
