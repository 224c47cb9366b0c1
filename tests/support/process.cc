#include "tests/support/process.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace hmtest {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string TempFile(const char* tag) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base ? base : "/tmp") + "/hmproc-" + tag + "-XXXXXX";
  int fd = mkstemp(pattern.data());
  if (fd >= 0) close(fd);
  return pattern;
}

pid_t Spawn(const std::vector<std::string>& argv, int in_fd, const std::string& out_path,
            const std::string& err_path, const std::vector<std::string>& env) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  for (const auto& entry : env) {
    if (entry.find('=') == std::string::npos) {
      unsetenv(entry.c_str());
    } else {
      putenv(const_cast<char*>(entry.c_str()));
    }
  }
  setpgid(0, 0);
  if (in_fd >= 0) {
    dup2(in_fd, 0);
  } else {
    int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, 0);
  }
  int out = open(out_path.c_str(), O_WRONLY | O_TRUNC);
  int err = open(err_path.c_str(), O_WRONLY | O_TRUNC);
  dup2(out, 1);
  dup2(err, 2);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}

void Decode(int status, RunResult* r) {
  if (WIFEXITED(status)) {
    r->exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    r->signal = WTERMSIG(status);
  }
}

}  // namespace

RunResult Run(const std::vector<std::string>& argv, const std::string& input,
              std::chrono::milliseconds timeout, const std::vector<std::string>& env) {
  std::string in_path = TempFile("in");
  {
    std::ofstream f(in_path, std::ios::binary);
    f << input;
  }
  int in_fd = open(in_path.c_str(), O_RDONLY);
  RunResult r;
  std::string out_path = TempFile("out"), err_path = TempFile("err");
  pid_t pid = Spawn(argv, in_fd, out_path, err_path, env);
  close(in_fd);
  auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  for (;;) {
    pid_t w = waitpid(pid, &status, WNOHANG);
    if (w == pid) {
      Decode(status, &r);
      break;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      kill(-pid, SIGKILL);
      waitpid(pid, &status, 0);
      r.exit_code = -1;
      r.signal = SIGKILL;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  r.out = ReadFile(out_path);
  r.err = ReadFile(err_path);
  unlink(in_path.c_str());
  unlink(out_path.c_str());
  unlink(err_path.c_str());
  return r;
}

Process::Process(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  if (argv.empty()) return;
  out_path_ = TempFile("out");
  err_path_ = TempFile("err");
  pid_ = Spawn(argv, -1, out_path_, err_path_, env);
}

Process::~Process() {
  if (pid_ > 0 && !reaped_) {
    kill(-pid_, SIGKILL);
    int status;
    waitpid(pid_, &status, 0);
  }
  if (!out_path_.empty()) unlink(out_path_.c_str());
  if (!err_path_.empty()) unlink(err_path_.c_str());
}

bool Process::Running() {
  if (pid_ <= 0 || reaped_) return false;
  int status;
  pid_t w = waitpid(pid_, &status, WNOHANG);
  if (w == pid_) {
    reaped_ = true;
    Decode(status, &result_);
    return false;
  }
  return true;
}

void Process::Signal(int sig) {
  if (pid_ > 0 && !reaped_) kill(pid_, sig);
}

bool Process::Wait(std::chrono::milliseconds timeout, RunResult* result) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (Running()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (result != nullptr) {
    *result = result_;
    result->out = Out();
    result->err = Err();
  }
  return true;
}

bool Process::WaitForErr(const std::string& text, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (Err().find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

bool Process::WaitForOut(const std::string& text, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (Out().find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::string Process::Out() const { return out_path_.empty() ? "" : ReadFile(out_path_); }
std::string Process::Err() const { return err_path_.empty() ? "" : ReadFile(err_path_); }

int FreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  int port = ntohs(addr.sin_port);
  ::close(fd);
  return port;
}

double HostUptime() {
  std::ifstream in("/proc/uptime");
  double up = 0;
  in >> up;
  return up;
}

}  // namespace hmtest
