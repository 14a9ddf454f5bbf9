#include "support/fault_injector.h"

#include <unistd.h>

#include <mutex>

namespace tarvo {

namespace {

struct TFaultState {
  std::mutex lock;
  std::uint32_t ops = 0;   // Guarded by lock.
  std::int64_t nth = 0;    // Guarded by lock.
  std::int64_t calls = 0;  // Guarded by lock.
  int error_number = 0;    // Guarded by lock.
  bool crash = false;      // Guarded by lock.
  bool fired = false;      // Guarded by lock.
  void (*at_crash)() = nullptr;  // Guarded by lock.
};

TFaultState& State() {
  static TFaultState state;
  return state;
}

}  // namespace

std::atomic<bool> TFaultInjector::armed_{false};

void TFaultInjector::Arm(std::uint32_t ops, std::int64_t nth, int error_number) {
  TFaultState& state = State();
  std::lock_guard lock(state.lock);
  state.ops = ops;
  state.nth = nth;
  state.calls = 0;
  state.error_number = error_number;
  state.crash = false;
  state.at_crash = nullptr;
  state.fired = false;
  armed_.store(true, std::memory_order_relaxed);
}

void TFaultInjector::ArmCrash(std::uint32_t ops, std::int64_t nth, void (*at_crash)()) {
  Arm(ops, nth, 0);
  TFaultState& state = State();
  std::lock_guard lock(state.lock);
  state.crash = true;
  state.at_crash = at_crash;
}

void TFaultInjector::Disarm() {
  TFaultState& state = State();
  std::lock_guard lock(state.lock);
  armed_.store(false, std::memory_order_relaxed);
  state.ops = 0;
  state.crash = false;
}

bool TFaultInjector::Fired() {
  TFaultState& state = State();
  std::lock_guard lock(state.lock);
  return state.fired;
}

std::int64_t TFaultInjector::Calls() {
  TFaultState& state = State();
  std::lock_guard lock(state.lock);
  return state.calls;
}

bool TFaultInjector::CountCall(TFaultOp op, int& error_number) {
  TFaultState& state = State();
  std::lock_guard lock(state.lock);
  if ((state.ops & static_cast<std::uint32_t>(op)) == 0) return false;
  ++state.calls;
  if (state.calls != state.nth) return false;
  if (state.crash) {
    if (state.at_crash != nullptr) state.at_crash();
    ::_exit(kFaultCrashExitStatus);
  }
  state.fired = true;
  error_number = state.error_number;
  return true;
}

}  // namespace tarvo
