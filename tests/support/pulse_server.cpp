#include "pulse_server.h"

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

namespace qln::testing {

bool PulseServer::installed() {
  return !programOnPath("pulseaudio").empty() && !programOnPath("pactl").empty() && !programOnPath("paplay").empty() &&
         !programOnPath("parecord").empty();
}

PulseServer::PulseServer() {
  char dir[] = "/tmp/qln-pulse-XXXXXX";
  if (::mkdtemp(dir) == nullptr) {
    why_ = "mkdtemp failed";
    return;
  }
  folder_ = dir;
  {
    std::ofstream config(folder_ + "/default.pa");
    config << "load-module module-native-protocol-unix socket=" << folder_ << "/native auth-anonymous=1\n"
           << "load-module module-null-sink sink_name=call sink_properties=device.description=Call\n"
           << "load-module module-null-sink sink_name=micfeed sink_properties=device.description=MicFeed\n"
           << "load-module module-remap-source source_name=mic master=micfeed.monitor "
              "source_properties=device.description=TestMicrophone\n"
           << "load-module module-null-sink sink_name=mic2feed sink_properties=device.description=Mic2Feed\n"
           << "load-module module-remap-source source_name=mic2 master=mic2feed.monitor "
              "source_properties=device.description=SecondMicrophone\n"
           << "set-default-source mic\n"
           << "set-default-sink call\n";
  }
  start();
}

bool PulseServer::restart() {
  kill();
  ok_ = false;
  start();
  return ok_;
}

void PulseServer::start() {
  server_ = std::make_unique<RunningProcess>(ProcessOptions{
      .args = {programOnPath("pulseaudio"), "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
               "--disallow-exit", "--log-target=stderr", "-F", folder_ + "/default.pa"},
      .env = {{"HOME", folder_}, {"XDG_RUNTIME_DIR", folder_}, {"PULSE_RUNTIME_PATH", folder_ + "/runtime"},
              {"XDG_CONFIG_HOME", folder_ + "/config"}}});
  // The server is up once a client gets an answer from it.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    auto r = runProcess({.args = {programOnPath("pactl"), "info"}, .env = env(), .timeout = std::chrono::milliseconds(3000)});
    if (r.status == 0) {
      ok_ = true;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the next try
  }
  why_ = "pulseaudio did not answer";
}

PulseServer::~PulseServer() {
  kill();
  if (!folder_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }
}

std::map<std::string, std::optional<std::string>> PulseServer::env() const {
  return {{"PULSE_SERVER", "unix:" + folder_ + "/native"},
          {"PULSE_RUNTIME_PATH", folder_ + "/runtime"},
          {"PULSE_COOKIE", folder_ + "/cookie"},
          {"XDG_RUNTIME_DIR", folder_},
          {"HOME", folder_}};
}

// The stream properties name the stream; the client's own come from here.
std::map<std::string, std::optional<std::string>> PulseServer::clientEnv(const std::string& appId) const {
  auto e = env();
  e["PULSE_PROP"] = "application.id=" + appId;
  return e;
}

std::unique_ptr<RunningProcess> PulseServer::play(const std::string& wav, const std::string& sink,
                                                  const std::string& appId) const {
  return std::make_unique<RunningProcess>(ProcessOptions{
      .args = {programOnPath("paplay"), "--device=" + sink, "--property=application.id=" + appId,
               "--property=application.name=" + appId, wav},
      .env = clientEnv(appId),
      .timeout = std::chrono::milliseconds(120000)});
}

int PulseServer::playDetached(const std::string& wav, const std::string& sink, const std::string& appId) const {
  auto r = runProcess({.args = {"/bin/sh", "-c", "\"$0\" --device=\"$1\" \"$2\" </dev/null >/dev/null 2>&1 & echo $!",
                                programOnPath("paplay"), sink, wav},
                       .env = clientEnv(appId)});
  try {
    return std::stoi(r.out);
  } catch (...) {
    return -1;
  }
}

std::unique_ptr<RunningProcess> PulseServer::record(const std::string& appId) const {
  return std::make_unique<RunningProcess>(ProcessOptions{
      .args = {programOnPath("parecord"), "--device=mic", "--raw", "--property=application.id=" + appId, "/dev/null"},
      .env = clientEnv(appId),
      .timeout = std::chrono::milliseconds(120000)});
}

std::optional<std::string> PulseServer::pactl(const std::vector<std::string>& args) const {
  std::vector<std::string> all{programOnPath("pactl")};
  all.insert(all.end(), args.begin(), args.end());
  auto r = runProcess({.args = all, .env = env(), .timeout = std::chrono::milliseconds(10000)});
  if (r.status != 0) return std::nullopt;
  return r.out;
}

void PulseServer::kill() {
  if (!server_) return;
  server_->signal(SIGKILL);
  server_->wait();
  server_.reset();
}

void writeWav16(const std::string& path, double rate, const std::vector<std::int16_t>& samples) {
  std::ofstream out(path, std::ios::binary);
  auto u32 = [&](std::uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [&](std::uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
  const auto bytes = static_cast<std::uint32_t>(samples.size() * 2);
  const auto r = static_cast<std::uint32_t>(rate);
  out.write("RIFF", 4);
  u32(36 + bytes);
  out.write("WAVEfmt ", 8);
  u32(16);
  u16(1);
  u16(1);
  u32(r);
  u32(r * 2);
  u16(2);
  u16(16);
  out.write("data", 4);
  u32(bytes);
  out.write(reinterpret_cast<const char*>(samples.data()), static_cast<std::streamsize>(bytes));
}

}  // namespace qln::testing
