#include "vboard/sim/firmware_runner.h"

#include <boost/context/detail/fcontext.hpp>
#include <boost/context/protected_fixedsize_stack.hpp>
#include <cstdlib>
#include <stdexcept>
#include <utility>

// AddressSanitizer keeps one stack per thread in mind; a switch of stacks in
// user space is announced to it before and confirmed after, so that it
// checks and unwinds (an exception's throw clears the frames it leaves) on
// the stack that really runs. This is the one place that knows the build.
#if defined(__SANITIZE_ADDRESS__)
#define VBOARD_ASAN_FIBERS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VBOARD_ASAN_FIBERS 1
#endif
#endif
#ifdef VBOARD_ASAN_FIBERS
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif

namespace vboard {

namespace ctx = boost::context::detail;

namespace {

// 1 MiB. The firmware's own frames are small (its whole stack on the chip
// is 1 KiB), but the models, the callbacks that tests and programs hang on
// the board (formatting, containers, test assertions) and the unwinding of
// RunAborted run on this stack too, and the sanitizer build enlarges every
// frame with guard zones: the deepest use over the test suite in that
// build is 11 KB. Pages are touched only as used, so the wide margin costs
// nothing; a guard page below the stack turns an overflow into a fault.
constexpr std::size_t kStackSize = std::size_t{1} << 20;

// Set on the firmware's context for as long as it runs.
thread_local bool tls_on_firmware = false;

void switching(void** fake_save, const void* bottom, std::size_t size) {
#ifdef VBOARD_ASAN_FIBERS
  __sanitizer_start_switch_fiber(fake_save, bottom, size);
#else
  (void)fake_save, (void)bottom, (void)size;
#endif
}

void switched(void* fake_save, const void** old_bottom, std::size_t* old_size) {
#ifdef VBOARD_ASAN_FIBERS
  __sanitizer_finish_switch_fiber(fake_save, old_bottom, old_size);
#else
  (void)fake_save, (void)old_bottom, (void)old_size;
#endif
}

// Asked once: the library's call is out of line and goes through
// thread-local storage; on every switch it took a tenth of a stepped run.
std::size_t page_size() {
  static const std::size_t size = boost::context::stack_traits::page_size();
  return size;
}

// The firmware's context cannot hand the turn to itself, nor end the run it
// is in: a model's callback that tries gets this, at the caller's side.
void refuse_on_firmware() {
  if (tls_on_firmware) throw std::logic_error("the firmware's own context cannot start, resume or end its run");
}

}  // namespace

// The first frame on the firmware's stack; it never returns: the last
// switch leaves the stack for good, and the caller frees it.
struct FirmwareRunner::Entry {
  [[noreturn]] static void run(ctx::transfer_t from) {
    auto* self = static_cast<FirmwareRunner*>(from.data);
    self->caller_ = from.fctx;
    switched(nullptr, &self->caller_stack_, &self->caller_stack_size_);
    tls_on_firmware = true;
    self->main();
    tls_on_firmware = false;
    self->done_ = true;
    switching(nullptr, self->caller_stack_, self->caller_stack_size_);  // nothing here is kept
    ctx::jump_fcontext(self->caller_, nullptr);
    std::abort();  // never resumed after the body ended
  }
};

bool FirmwareRunner::on_firmware_thread() { return tls_on_firmware; }

void FirmwareRunner::start(std::function<void()> body) {
  refuse_on_firmware();
  stop();
  body_ = std::move(body);
  const boost::context::stack_context s = boost::context::protected_fixedsize_stack(kStackSize).allocate();
  mapped_ = s.size;
  stack_ = static_cast<char*>(s.sp) - s.size;
  const std::size_t usable = mapped_ - page_size();
  firmware_ = ctx::make_fcontext(s.sp, usable, &Entry::run);
  started_ = true;
  done_ = false;
  abort_ = false;
}

void FirmwareRunner::main() {
  // Whatever else ends the body (a stalled firmware, a model refusing a
  // value, a callback's own exception) goes to the caller, where it can be
  // handled; it must not unwind past this stack's first frame.
  try {
    if (!abort_) body_();
  } catch (const RunAborted&) {
  } catch (...) {
    failure_ = std::current_exception();
  }
}

void FirmwareRunner::switch_to_firmware() {
  switching(&caller_fake_, static_cast<char*>(stack_) + page_size(), mapped_ - page_size());
  const ctx::transfer_t back = ctx::jump_fcontext(firmware_, this);
  switched(caller_fake_, nullptr, nullptr);
  tls_on_firmware = false;
  firmware_ = back.fctx;
  if (done_) release_stack();
}

void FirmwareRunner::resume(Ticks pause) {
  refuse_on_firmware();
  pause_at_ = pause;
  if (done()) return;
  switch_to_firmware();
  if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
}

void FirmwareRunner::yield() {
  switching(&firmware_fake_, caller_stack_, caller_stack_size_);
  const ctx::transfer_t back = ctx::jump_fcontext(caller_, nullptr);
  switched(firmware_fake_, &caller_stack_, &caller_stack_size_);
  caller_ = back.fctx;
  tls_on_firmware = true;
  if (abort_) throw RunAborted{};
}

void FirmwareRunner::release_stack() {
  if (stack_ == nullptr) return;
#ifdef VBOARD_ASAN_FIBERS
  // Frames left behind on this stack are forgotten, so that memory mapped
  // here later starts clean.
  __asan_unpoison_memory_region(stack_, mapped_);
#endif
  boost::context::stack_context s;
  s.size = mapped_;
  s.sp = static_cast<char*>(stack_) + mapped_;
  boost::context::protected_fixedsize_stack(kStackSize).deallocate(s);
  stack_ = nullptr;
  mapped_ = 0;
  firmware_ = nullptr;
}

void FirmwareRunner::stop() {
  if (!started_) return;
  refuse_on_firmware();
  if (!done_) {
    abort_ = true;
    switch_to_firmware();  // RunAborted unwinds the firmware's stack to its first frame
  }
  release_stack();
  failure_ = nullptr;
  body_ = nullptr;
  started_ = false;
  abort_ = false;
}

}  // namespace vboard
