// The product's process taps: the audio family's monitor streams on the
// target's playback. Without the family the entry points count as missing,
// so the other-party tap reports its failure once and records nothing.
#include "platform/linux/families.h"
#include "platform/process_tap.h"

namespace qln::platform {

namespace {

class LinuxProcessTaps final : public ProcessTaps {
 public:
  bool available() override { return false; }
  TapDescriptionPtr makeTapDescription(const std::vector<ObjectId>&) override { return nullptr; }
  CreatedObject createProcessTap(const TapDescription&) override { return {kQLNUnsupportedOp, 0}; }
  void destroyProcessTap(ObjectId) override {}
  Status getTapPropertyData(ObjectId, const PropertyAddress&, std::uint32_t& size, void*) override {
    size = 0;
    return kStatusBadObject;
  }
  CreatedObject createAggregateDevice(const AggregateDescription&) override { return {kQLNUnsupportedOp, 0}; }
  void destroyAggregateDevice(ObjectId) override {}
  CreatedIOProc createIOProc(ObjectId, dispatch::QueuePtr, IOBlock) override { return {kQLNUnsupportedOp, {}}; }
  Status deviceStart(ObjectId, IOProcId) override { return kQLNUnsupportedOp; }
  Status deviceStop(ObjectId, IOProcId) override { return kQLNUnsupportedOp; }
  Status destroyIOProc(ObjectId, IOProcId) override { return kQLNUnsupportedOp; }
  // Nothing to tap, so no application needs finding yet; the /proc match on
  // application id or executable name comes with the monitor-stream tap.
  std::vector<std::int32_t> runningApplicationPids(const std::string&) override { return {}; }
};

}  // namespace

ProcessTaps& processTaps() {
  if (auto* family = linux_backend::audioFamily()) return family->processTaps();
  static auto* taps = new LinuxProcessTaps;
  return *taps;
}

}  // namespace qln::platform
