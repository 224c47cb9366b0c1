// Real processes for process-level tests.
#ifndef HOLLOWMARCH_TESTS_SUPPORT_PROCESS_H_
#define HOLLOWMARCH_TESTS_SUPPORT_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace hmtest {

struct RunResult {
  int exit_code = -1;  // -1 when killed by a signal or timed out
  int signal = 0;
  std::string out;
  std::string err;
};

// Runs a program to its end (killing it after `timeout`), feeding `input` to
// its standard input. `env` holds "NAME=VALUE" entries set in the program's
// environment on top of this process's; an entry "NAME" removes NAME.
RunResult Run(const std::vector<std::string>& argv, const std::string& input = "",
              std::chrono::milliseconds timeout = std::chrono::seconds(60),
              const std::vector<std::string>& env = {});

// The host's uptime in seconds (/proc/uptime): how long a device that was
// never reset has been up.
double HostUptime();

// A program running in the background; its output goes to files read back
// by Out()/Err(). Killed (SIGKILL) on destruction if still running.
class Process {
 public:
  // `env` as for Run.
  explicit Process(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  bool Running();
  void Signal(int sig);
  // Waits for the exit; false on time-out (the process is left running).
  bool Wait(std::chrono::milliseconds timeout, RunResult* result = nullptr);
  // Waits until standard error (or output) holds `text`; false on time-out.
  bool WaitForErr(const std::string& text, std::chrono::milliseconds timeout);
  bool WaitForOut(const std::string& text, std::chrono::milliseconds timeout);
  std::string Out() const;
  std::string Err() const;

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  RunResult result_;
  std::string out_path_;
  std::string err_path_;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
int FreePort();

}  // namespace hmtest

#endif  // HOLLOWMARCH_TESTS_SUPPORT_PROCESS_H_
