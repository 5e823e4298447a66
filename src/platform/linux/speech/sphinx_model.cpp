#include "platform/linux/speech/sphinx_model.h"

#include <pocketsphinx.h>
#include <sphinxbase/err.h>
#include <pthread.h>
#include <unistd.h>

namespace qln::platform::linux_backend::sphinx {

void nameDecoderThread() { pthread_setname_np(pthread_self(), "qln.sphinx"); }

SphinxModel::SphinxModel(ModelPaths paths) : paths_(std::move(paths)) {}

SphinxModel& SphinxModel::shared() {
  static auto* model = new SphinxModel(debianEnUs());
  return *model;
}

bool SphinxModel::installed() const { return modelInstalled(paths_); }

bool SphinxModel::load() {
  std::call_once(once_, [this] {
    if (!installed()) {
      loadError_ = "the en-US model is not installed";
      return;
    }
    // The library would log to standard error, which belongs to the core.
    err_set_logfp(nullptr);
    cmd_ln_t* config = cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", paths_.acoustic.c_str(), "-lm",
                                   paths_.language.c_str(), "-dict", paths_.dictionary.c_str(), "-logfn",
                                   "/dev/null", static_cast<char*>(nullptr));
    if (!config) {
      loadError_ = "the decoder configuration was refused";
      return;
    }
    loads_.fetch_add(1);
    decoder_ = ps_init(config);
    // The decoder keeps its own reference to the configuration.
    cmd_ln_free_r(config);
    if (!decoder_) loadError_ = "the en-US model could not be loaded";
  });
  return decoder_ != nullptr;
}

std::string SphinxModel::loadError() const {
  // Written once inside call_once, before load() returns to anyone.
  return loadError_;
}

std::optional<SphinxModel::Lease> SphinxModel::acquire(const std::atomic<bool>& giveUp) {
  if (!load()) return std::nullopt;
  std::unique_lock<std::mutex> lock(leaseMutex_);
  leaseFree_.wait(lock, [&] { return !leased_ || giveUp.load(); });
  if (giveUp.load()) return std::nullopt;
  leased_ = true;
  return Lease(this, decoder_);
}

void SphinxModel::wakeWaiters() {
  std::lock_guard<std::mutex> lock(leaseMutex_);
  leaseFree_.notify_all();
}

void SphinxModel::release() {
  {
    std::lock_guard<std::mutex> lock(leaseMutex_);
    leased_ = false;
  }
  leaseFree_.notify_all();
}

SphinxModel::Lease::~Lease() {
  if (model_) model_->release();
}

int SphinxModel::Lease::frameRate() const {
  return static_cast<int>(cmd_ln_int32_r(ps_get_config(decoder_), "-frate"));
}

}  // namespace qln::platform::linux_backend::sphinx
