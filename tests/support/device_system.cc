#include "tests/support/device_system.h"

#include <signal.h>

#include <thread>

namespace hmtest {

using namespace std::chrono_literals;

DeviceSystem::DeviceSystem(ProgramPaths paths)
    : paths_(std::move(paths)), device_(false), port_(FreePort()) {
  Device({"reg", "set", "Port", std::to_string(port_)});
}

DeviceSystem::~DeviceSystem() {
  if (server_ != nullptr && server_->Running()) server_->Signal(SIGKILL);
}

RunResult DeviceSystem::Device(const std::vector<std::string>& args, const std::string& input) const {
  std::vector<std::string> argv = {paths_.hmdevice, "--root", root()};
  argv.insert(argv.end(), args.begin(), args.end());
  return Run(argv, input);
}

RunResult DeviceSystem::Peer(const std::vector<std::string>& args) const {
  std::vector<std::string> argv = {paths_.hmpeer, "--port", std::to_string(port_)};
  argv.insert(argv.end(), args.begin(), args.end());
  return Run(argv, "", 120s);
}

std::unique_ptr<Process> DeviceSystem::DeviceInBackground(const std::vector<std::string>& args) const {
  std::vector<std::string> argv = {paths_.hmdevice, "--root", root()};
  argv.insert(argv.end(), args.begin(), args.end());
  return std::make_unique<Process>(argv);
}

bool DeviceSystem::Start(std::string* why, const std::string& commandLine) {
  std::vector<std::string> argv = {paths_.hollowmarch, "--root", root()};
  if (!commandLine.empty()) argv.push_back(commandLine);
  server_ = std::make_unique<Process>(argv);
  for (int i = 0; i < 1000; ++i) {
    if (Peer({"--timeout", "1", "hello"}).exit_code == 0) return true;
    if (!server_->Running()) break;
    std::this_thread::sleep_for(20ms);
  }
  if (why != nullptr) *why = server_->Err();
  return false;
}

bool DeviceSystem::ServerRunning() const { return server_ != nullptr && server_->Running(); }

bool DeviceSystem::Signal(int sig, std::string* err) {
  if (server_ == nullptr) return false;
  server_->Signal(sig);
  RunResult r;
  bool ended = server_->Wait(30s, &r);
  if (err != nullptr) *err = server_->Err();
  if (!ended) return false;
  return sig == SIGKILL ? r.signal == SIGKILL : r.exit_code == 0;
}

bool DeviceSystem::Shutdown() {
  RunResult shutdown = Run({paths_.hollowmarch, "--root", root(), "Shutdown"}, "", 30s);
  if (server_ == nullptr) return shutdown.exit_code == 0;
  RunResult r;
  return shutdown.exit_code == 0 && server_->Wait(30s, &r) && r.exit_code == 0;
}

bool DeviceSystem::Replace(std::string* why) {
  std::unique_ptr<Process> old = std::move(server_);
  if (!Start(why)) return false;
  RunResult r;
  return old != nullptr && old->Wait(30s, &r) && r.exit_code == 0;
}

bool DeviceSystem::EndSessionWithShutdown() {
  RunResult end = Peer({"end", "--shutdown"});
  if (server_ == nullptr) return false;
  RunResult r;
  return end.exit_code == 0 && server_->Wait(30s, &r) && r.exit_code == 0;
}

nlohmann::json DeviceSystem::Status() const {
  RunResult r = Device({"status", "--json"});
  if (r.exit_code != 0) return nlohmann::json();
  return nlohmann::json::parse(r.out, nullptr, false);
}

std::string DeviceSystem::ClassState(unsigned dataClass) const {
  nlohmann::json status = Status();
  if (!status.is_object()) return "?";
  for (const auto& c : status["classes"]) {
    if (c["class"] == dataClass) return c["stateName"];
  }
  return "?";
}

bool DeviceSystem::WaitCaptured(std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    nlohmann::json status = Status();
    if (status.is_object() && status["uncaptured"] == 0) return true;
    std::this_thread::sleep_for(50ms);
  }
  return false;
}

nlohmann::json DeviceSystem::Records(const std::string& db) const {
  RunResult r = Device({"rec", "list", db, "--json"});
  if (r.exit_code != 0) return nlohmann::json::array();
  return nlohmann::json::parse(r.out, nullptr, false);
}

}  // namespace hmtest
