#include "vboard/firmware_runner.h"

namespace vboard {

namespace {
// Set on the firmware's thread for as long as it runs.
thread_local bool tls_firmware_thread = false;
}  // namespace

bool FirmwareRunner::on_firmware_thread() { return tls_firmware_thread; }

void FirmwareRunner::start(std::function<void()> body) {
  stop();
  done_ = false;
  abort_ = false;
  fw_turn_ = false;
  thread_ = std::thread([this, body = std::move(body)] { main(body); });
}

void FirmwareRunner::main(const std::function<void()>& body) {
  {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [this] { return fw_turn_; });
  }
  tls_firmware_thread = true;
  try {
    if (!abort_) body();
  } catch (const RunAborted&) {
  }
  std::lock_guard lock(mutex_);
  done_ = true;
  fw_turn_ = false;
  cv_.notify_all();
}

void FirmwareRunner::resume(Ticks pause) {
  std::unique_lock lock(mutex_);
  pause_at_ = pause;
  if (done()) return;
  fw_turn_ = true;
  cv_.notify_all();
  cv_.wait(lock, [this] { return !fw_turn_; });
}

void FirmwareRunner::yield() {
  std::unique_lock lock(mutex_);
  fw_turn_ = false;
  cv_.notify_all();
  cv_.wait(lock, [this] { return fw_turn_; });
  if (abort_) throw RunAborted{};
}

void FirmwareRunner::stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    if (!done_) {
      abort_ = true;
      fw_turn_ = true;
      cv_.notify_all();
    }
  }
  thread_.join();
  thread_ = std::thread();
  abort_ = false;
}

}  // namespace vboard
