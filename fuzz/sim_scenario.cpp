// The scripted backend's scenario: any text either loads as an object or is
// refused with a fault naming the file, leaving the scenario as it was; a
// loaded one is read by every scripted seam without throwing, whatever its
// sections hold.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "dispatch/virtual_dispatcher.h"
#include "fuzz_check.h"
#include "output/output.h"
#include "platform/audio_engine.h"
#include "platform/capabilities.h"
#include "platform/capture_device.h"
#include "platform/child_launcher.h"
#include "platform/language_model.h"
#include "platform/process_info.h"
#include "platform/process_tap.h"
#include "platform/sim/scenario.h"
#include "platform/speech_recognizer.h"
#include "platform/window_server.h"
#include "process/own_process.h"
#include "speech/input_device.h"

namespace {

// What components ask of each seam first, on the scenario now loaded.
void readEverySeam() {
  using namespace qln::platform;
  auto& caps = capabilities();
  (void)caps.processTap();
  (void)caps.audioProcessList();
  (void)caps.analyzer();
  (void)caps.languageModel();
  (void)windowServer().copyWindowList();
  (void)windowServer().displayWithPoint(10, 10);
  (void)languageModel().availability();
  for (std::int32_t pid : {1, 500, 600, 700}) {
    (void)qln::qlnExecPath(pid);
    (void)qln::qlnParentPid(pid);
    (void)qln::qlnProcessExists(pid);
  }
  (void)qln::qlnInputDeviceID("Built-in Microphone");
  (void)speechRecognition().authorizationStatus();
  (void)captureDevices().defaultVideoDevice();
  (void)processTaps().available();
  (void)processTaps().runningApplicationPids("us.zoom.xos");
  (void)childLauncher().runToEnd({"/usr/bin/log", {"show"}});
  auto engine = makeAudioEngine();
  (void)engine->outputFormat();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qln::dispatch::ScopedVirtualDispatcher clock;
  qln::output::setSinkForTesting([](qln::output::Channel, std::string_view) {});
  qln::sim::setScenarioForTesting({{"before", true}});

  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string fault;
  const bool loaded = qln::sim::loadScenarioText(text, "fuzz.json", fault);
  if (loaded) {
    FUZZ_CHECK(qln::sim::scenario().is_object());
    FUZZ_CHECK(fault.empty());
    qln::sim::resetForTesting();
    readEverySeam();
    clock->runUntilIdle();
  } else {
    FUZZ_CHECK(fault.rfind("sim: malformed scenario fuzz.json: ", 0) == 0);
    FUZZ_CHECK(qln::sim::scenario() == nlohmann::json({{"before", true}}));
  }
  qln::output::setSinkForTesting(nullptr);
  return 0;
}
