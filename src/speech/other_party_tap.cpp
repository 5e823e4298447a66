#include "speech/other_party_tap.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>

#include "output/output.h"
#include "platform/hardware.h"
#include "platform/process_info.h"
#include "process/own_process.h"

namespace qln {

using platform::AudioFormat;
using platform::ObjectId;
using platform::Status;

namespace {

constexpr double kResolveIntervalSeconds = 2.0;
constexpr const char* kAggregateName = "qln-other-tap";
constexpr const char* kHostBundleId = QLN_HOST_BUNDLE_ID;

std::optional<std::string> nonEmpty(std::optional<std::string> value) {
  if (value && value->empty()) return std::nullopt;
  return value;
}

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// A random (version 4) UUID in the system's upper-case string form.
std::string randomUUIDString() {
  static thread_local std::mt19937_64 engine{std::random_device{}()};
  std::uint64_t hi = engine(), lo = engine();
  hi = (hi & ~0xF000ull) | 0x4000ull;                   // version 4
  lo = (lo & ~(0xC0ull << 56)) | (0x80ull << 56);       // RFC 4122 variant
  char text[40];
  std::snprintf(text, sizeof text, "%08llX-%04llX-%04llX-%04llX-%012llX",
                static_cast<unsigned long long>(hi >> 32), static_cast<unsigned long long>((hi >> 16) & 0xFFFF),
                static_cast<unsigned long long>(hi & 0xFFFF), static_cast<unsigned long long>(lo >> 48),
                static_cast<unsigned long long>(lo & 0xFFFFFFFFFFFFull));
  return text;
}

}  // namespace

std::optional<std::string> qlnTapUUIDString(const platform::TapDescription* description) {
  if (description == nullptr) return std::nullopt;
  return description->uuidString();
}

std::shared_ptr<OtherPartyTap> OtherPartyTap::make(std::string recordPath, std::int32_t selfPid,
                                                   std::uint64_t startAnchor) {
  std::shared_ptr<OtherPartyTap> tap(new OtherPartyTap(std::move(recordPath), selfPid, startAnchor));
  tap->meter.emplace(AcousticMeter::Line::other, tap->ctrl,
                     std::shared_ptr<const std::atomic<bool>>(tap, &tap->stopped), startAnchor);
  return tap;
}

OtherPartyTap::OtherPartyTap(std::string path, std::int32_t self, std::uint64_t anchor)
    : recordPath(std::move(path)),
      selfPid(self),
      startAnchor(anchor),
      ctrl(dispatch::current().makeSerialQueue("qln.other.tap")),
      ioQueue(dispatch::current().makeSerialQueue("qln.other.tap.io")) {}

OtherPartyTap::~OtherPartyTap() {
  if (timer) timer->cancel();
}

void OtherPartyTap::start(std::optional<std::string> initialBundle) {
  ctrl->async([weak = weak_from_this(), initialBundle = std::move(initialBundle)] {
    auto self = weak.lock();
    if (!self) return;
    self->bundleId = nonEmpty(initialBundle);
    // After stop nothing is resolved and no timer is left polling.
    if (self->stopped) return;
    self->rebuild(self->resolveProcs());
    self->timer = dispatch::current().makeTimer(
        self->ctrl, dispatch::secondsNs(kResolveIntervalSeconds), dispatch::secondsNs(kResolveIntervalSeconds),
        [weak] {
          auto tap = weak.lock();
          if (!tap || tap->stopped) return;
          auto procs = tap->resolveProcs();
          if (procs == tap->currentProcs) return;
          tap->rebuild(procs);
        });
  });
}

void OtherPartyTap::setBundle(std::optional<std::string> bundle) {
  bool posted;
  {
    std::lock_guard<std::mutex> guard(pendingMutex);
    posted = pendingBundle.has_value();
    pendingBundle = std::move(bundle);
  }
  if (posted) return;  // the step already queued takes this one
  ctrl->async([weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self) return;
    std::optional<std::string> newest;
    {
      std::lock_guard<std::mutex> guard(self->pendingMutex);
      newest = std::move(*self->pendingBundle);
      self->pendingBundle.reset();
    }
    auto next = nonEmpty(newest);
    if (next == self->bundleId) return;
    self->bundleId = std::move(next);
    if (self->stopped) return;
    self->rebuild(self->resolveProcs());
  });
}

void OtherPartyTap::stop() {
  auto body = [this] {
    if (stopped) return;
    stopped = true;
    if (timer) {
      timer->cancel();
      timer.reset();
    }
    teardownTap();
    if (recorder) {
      std::uint64_t ms = recorder->finalize();
      recorder.reset();
      output::writeLine("{\"ev\":\"recordedOther\",\"ms\":" + std::to_string(ms) + "}");
    }
  };
  // Waiting on ctrl from ctrl would never return.
  if (ctrl->isCurrent()) {
    body();
  } else {
    ctrl->sync(body);
  }
}

void OtherPartyTap::rebuild(const std::vector<ObjectId>& procs) {
  teardownTap();
  currentProcs.clear();
  if (!procs.empty()) buildTap(procs);
}

std::vector<ObjectId> OtherPartyTap::resolveProcs() {
  if (!bundleId) return {};
  const std::string& target = *bundleId;
  auto& info = platform::processInfo();
  std::int32_t own = info.ownPid();
  std::set<std::int32_t> ownRoots{own};
  if (auto parent = qlnParentPid(own, info)) ownRoots.insert(*parent);
  if (selfPid > 0) ownRoots.insert(selfPid);

  auto appPidList = platform::processTaps().runningApplicationPids(target);
  std::set<std::int32_t> appPids(appPidList.begin(), appPidList.end());

  auto& objects = platform::audioObjects();
  std::vector<ObjectId> taken;
  for (ObjectId object : platform::readObjectIdArray(objects, platform::kSystemObject,
                                                     platform::audioAddress(platform::kQLNProcessObjectList))) {
    auto pid = platform::readInt32(objects, object, platform::audioAddress(platform::kQLNProcessPID), -1);
    if (!pid || *pid < 1) continue;
    if (qlnIsOwnPidTree(*pid, ownRoots, info)) continue;
    std::string bundle =
        objects.getPropertyString(object, platform::audioAddress(platform::kQLNProcessBundleID)).value_or("");
    if (startsWith(bundle, kHostBundleId)) continue;
    bool take = bundle == target || startsWith(bundle, target + ".") ||
                (!appPids.empty() && qlnIsOwnPidTree(*pid, appPids, info));
    if (take) taken.push_back(object);
  }
  std::sort(taken.begin(), taken.end());
  return taken;
}

void OtherPartyTap::buildTap(const std::vector<ObjectId>& procs) {
  auto& taps = platform::processTaps();
  bool entryPoints = taps.available();
  auto destroyTap = [&](ObjectId id) {
    if (entryPoints) taps.destroyProcessTap(id);
  };

  auto description = taps.makeTapDescription(procs);
  if (!description) {
    emitError("descUnavailable");
    return;
  }

  platform::CreatedObject tap{platform::kQLNUnsupportedOp, 0};
  if (entryPoints) tap = taps.createProcessTap(*description);
  if (tap.status != platform::kStatusOK || tap.id == 0) {
    emitError("tapCreate:" + std::to_string(tap.status));
    return;
  }

  platform::StreamDescription stream;
  std::uint32_t size = sizeof stream;
  Status formatStatus = taps.getTapPropertyData(tap.id, platform::audioAddress(platform::kQLNTapFormat), size, &stream);
  std::optional<AudioFormat> format;
  if (formatStatus == platform::kStatusOK && stream.sampleRate > 0 && stream.channelsPerFrame != 0)
    format = AudioFormat::fromStreamDescription(stream);
  if (!format) {
    destroyTap(tap.id);
    emitError("tapFormat");
    return;
  }

  auto uuid = qlnTapUUIDString(description.get());
  if (!uuid) {
    destroyTap(tap.id);
    emitError("tapUUID");
    return;
  }

  auto aggregate = taps.createAggregateDevice(aggregateDict(*uuid));
  if (aggregate.status != platform::kStatusOK || aggregate.id == 0) {
    destroyTap(tap.id);
    emitError("aggregate:" + std::to_string(aggregate.status));
    return;
  }

  if (!recorder) {
    recorder = speech::WavRecorder::make(recordPath, *format);
    if (!recorder) {
      taps.destroyAggregateDevice(aggregate.id);
      destroyTap(tap.id);
      emitError("recorderOpen");
      return;
    }
    recorderFormat = format;
  } else if (recorderFormat != format) {
    // A tap of another format gets a converter of its own into the same
    // file. No I/O path holds the recorder now (torn down before building),
    // so the switch cannot race an append.
    if (!recorder->switchInputFormat(*format)) {
      taps.destroyAggregateDevice(aggregate.id);
      destroyTap(tap.id);
      emitError("recorderOpen");
      return;
    }
    recorderFormat = format;
  }

  auto proc = taps.createIOProc(aggregate.id, ioQueue,
                                [weak = weak_from_this()](std::span<const platform::RawBuffer> input) {
                                  if (auto self = weak.lock()) self->handleIO(input);
                                });
  if (proc.status != platform::kStatusOK || !proc.id) {
    taps.destroyAggregateDevice(aggregate.id);
    destroyTap(tap.id);
    emitError("ioproc:" + std::to_string(proc.status));
    return;
  }

  // The I/O path gets its format and recorder before the first cycle can
  // run, so no audio of a fresh tap is dropped.
  publishToIO(format, recorder);
  Status started = taps.deviceStart(aggregate.id, *proc.id);
  if (started != platform::kStatusOK) {
    taps.destroyIOProc(aggregate.id, *proc.id);
    publishToIO(std::nullopt, nullptr);
    taps.destroyAggregateDevice(aggregate.id);
    destroyTap(tap.id);
    emitError("deviceStart:" + std::to_string(started));
    return;
  }

  tapID = tap.id;
  aggID = aggregate.id;
  ioProcID = proc.id;
  liveFormat = format;
  currentProcs = procs;
}

platform::AggregateDescription OtherPartyTap::aggregateDict(const std::string& tapUUID) const {
  platform::AggregateDescription d;
  d.name = kAggregateName;
  d.uid = randomUUIDString();
  d.isPrivate = true;
  d.stacked = false;
  d.tapAutoStart = true;
  d.taps = {platform::AggregateTap{tapUUID, true}};
  return d;
}

void OtherPartyTap::teardownTap() {
  auto& taps = platform::processTaps();
  if (ioProcID && aggID != 0) {
    taps.deviceStop(aggID, *ioProcID);
    taps.destroyIOProc(aggID, *ioProcID);
  }
  ioProcID.reset();
  if (aggID != 0) {
    taps.destroyAggregateDevice(aggID);
    aggID = 0;
  }
  if (tapID != 0) {
    if (taps.available()) taps.destroyProcessTap(tapID);
    tapID = 0;
  }
  if (liveFormat) {
    liveFormat.reset();
    // Waits out an I/O block still on its queue: from here on none can
    // append to the recorder, which stop may then finalize.
    publishToIO(std::nullopt, nullptr);
  }
}

void OtherPartyTap::publishToIO(std::optional<AudioFormat> format, speech::WavRecorderPtr rec) {
  ioQueue->sync([this, &format, &rec] {
    ioFormat = std::move(format);
    ioRecorder = std::move(rec);
  });
}

void OtherPartyTap::emitError(const std::string& message) {
  if (stopped) return;
  if (!emittedErrors.insert(message).second) return;
  output::writeLine("{\"ev\":\"recordOtherError\",\"message\":" + output::jsonQuoted(message) + "}");
}

void OtherPartyTap::handleIO(std::span<const platform::RawBuffer> input) {
  if (!ioFormat || !ioRecorder) return;
  std::uint32_t bytesPerFrame = ioFormat->streamDescription().bytesPerFrame;
  if (bytesPerFrame == 0 || input.empty() || input[0].dataByteSize < bytesPerFrame) return;
  std::uint32_t frames = input[0].dataByteSize / bytesPerFrame;
  if (!ioBuffer || ioBuffer->format() != *ioFormat || ioBuffer->frameCapacity() < frames) {
    ioBuffer = platform::PcmBuffer::make(*ioFormat, frames);
    if (!ioBuffer) return;
  }
  ioBuffer->setFrameLength(frames);
  auto destination = ioBuffer->audioBufferList();
  for (std::size_t i = 0, n = std::min(input.size(), destination.size()); i < n; ++i) {
    const auto& from = input[i];
    const auto& to = destination[i];
    if (from.data == nullptr || to.data == nullptr) continue;
    std::uint32_t bytes = std::min(to.dataByteSize, from.dataByteSize);
    std::memcpy(to.data, from.data, bytes);
    // The buffer is reused: a short source must not leave the last cycle's
    // samples behind.
    std::memset(static_cast<std::byte*>(to.data) + bytes, 0, to.dataByteSize - bytes);
  }
  ioRecorder->append(*ioBuffer);
  if (!emittedRecording.exchange(true)) {
    std::uint64_t ms = (dispatch::nowNs() - startAnchor) / dispatch::kNsPerMs;
    output::writeLine("{\"ev\":\"recordingOther\",\"path\":" + output::jsonQuoted(recordPath) +
                      ",\"tSinceSpeechStartMs\":" + std::to_string(ms) + "}");
  }
  accumulateAcoustic(*ioBuffer, ioFormat->sampleRate);
}

void OtherPartyTap::accumulateAcoustic(const platform::PcmBuffer& buffer, double sampleRate) {
  meter->accumulate(buffer, sampleRate);
}

}  // namespace qln
