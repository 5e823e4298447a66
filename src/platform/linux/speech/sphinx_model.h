// The en-US PocketSphinx model, loaded once per process and shared by the
// legacy recogniser and the analyzer. Loading one copy costs ~40 MB and a
// second or so, so there is one decoder; an engine leases it for as long as
// its utterances run, and another engine waits for the lease.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "platform/linux/speech_model_files.h"

struct ps_decoder_s;

namespace qln::platform::linux_backend::sphinx {

// Names the calling thread "qln.sphinx", so that the decoder's share of the
// process's CPU can be told apart from the rest (the speech bench reads it).
void nameDecoderThread();

using linux_backend::ModelPaths;
using linux_backend::debianEnUs;

class SphinxModel {
 public:
  explicit SphinxModel(ModelPaths paths);
  SphinxModel(const SphinxModel&) = delete;
  SphinxModel& operator=(const SphinxModel&) = delete;

  // The process-wide model at Debian's place; never freed.
  static SphinxModel& shared();

  // Every file of the model is there and readable; does not load it.
  bool installed() const;

  // Exclusive use of the decoder, loading the model first if nobody has.
  class Lease {
   public:
    Lease(Lease&& other) noexcept : model_(other.model_), decoder_(other.decoder_) { other.model_ = nullptr; }
    Lease& operator=(Lease&&) = delete;
    ~Lease();
    ps_decoder_s* decoder() const { return decoder_; }
    int frameRate() const;

   private:
    friend class SphinxModel;
    Lease(SphinxModel* model, ps_decoder_s* decoder) : model_(model), decoder_(decoder) {}
    SphinxModel* model_;
    ps_decoder_s* decoder_;
  };
  // Waits until the decoder is free, or until `giveUp` is set (then none;
  // whoever sets it calls wakeWaiters()). None too when the model does not
  // load; loadError() says why.
  std::optional<Lease> acquire(const std::atomic<bool>& giveUp);
  void wakeWaiters();

  // Loads the model if nobody has yet; true when it is loaded.
  bool load();
  std::string loadError() const;
  // How many times the model was read from disk (at most once).
  int loadCount() const { return loads_.load(); }

 private:
  void release();

  const ModelPaths paths_;
  std::once_flag once_;
  ps_decoder_s* decoder_ = nullptr;  // set once by load()
  std::string loadError_;
  std::atomic<int> loads_{0};

  std::mutex leaseMutex_;
  std::condition_variable leaseFree_;
  bool leased_ = false;
};

}  // namespace qln::platform::linux_backend::sphinx
