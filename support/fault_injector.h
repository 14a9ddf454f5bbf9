// TFaultInjector: a process-wide switch that makes the n-th call of chosen kinds of file operation
// fail with a chosen errno, so that tests can sweep every failure point of a run (disk full,
// I/O errors, refused locks), or end the process right there, before the operation is done (a
// kill or a power cut at that instant, as far as the files are concerned: no destructor runs and
// nothing buffered in the process is written). The file layer asks ShouldFail() at each
// operation; while nothing is armed that is one relaxed atomic load. Tests arm it through
// TFaultScope, which disarms on every way out.
#pragma once

#include <atomic>
#include <cstdint>

namespace tarvo {

// The operations that can be made to fail; combine them as a mask.
enum class TFaultOp : std::uint32_t {
  kRead = 1u << 0,
  kWrite = 1u << 1,
  kFlush = 1u << 2,
  kRename = 1u << 3,
  kDelete = 1u << 4,
  kLock = 1u << 5,
  kOpen = 1u << 6,
};
inline constexpr std::uint32_t kAllFaultOps = 0x7F;

constexpr std::uint32_t operator|(TFaultOp a, TFaultOp b) {
  return static_cast<std::uint32_t>(a) | static_cast<std::uint32_t>(b);
}
constexpr std::uint32_t operator|(std::uint32_t a, TFaultOp b) {
  return a | static_cast<std::uint32_t>(b);
}

// The exit status of a process ended by ArmCrash.
inline constexpr int kFaultCrashExitStatus = 86;

class TFaultInjector {
 public:
  // From now on, counts the calls whose kind is in `ops`; the `nth` of them (1-based) fails with
  // `error_number`. Resets the counter and the fired flag.
  static void Arm(std::uint32_t ops, std::int64_t nth, int error_number);
  static void Arm(TFaultOp op, std::int64_t nth, int error_number) {
    Arm(static_cast<std::uint32_t>(op), nth, error_number);
  }
  // From now on, counts the calls whose kind is in `ops`; at the `nth` of them (1-based) the
  // process ends at once with status kFaultCrashExitStatus (_exit: no destructors, no flushes).
  // `at_crash`, when given, runs first (in the calling thread, other threads still running).
  static void ArmCrash(std::uint32_t ops, std::int64_t nth, void (*at_crash)() = nullptr);
  static void ArmCrash(TFaultOp op, std::int64_t nth) { ArmCrash(static_cast<std::uint32_t>(op), nth); }
  static void Disarm();
  // Whether the armed failure has happened since the last Arm.
  static bool Fired();
  // How many counted calls were made since the last Arm.
  static std::int64_t Calls();

  // Called by the file layer before operation `op`: true (with the errno to report) if it must fail.
  static bool ShouldFail(TFaultOp op, int& error_number) {
    if (!armed_.load(std::memory_order_relaxed)) return false;
    return CountCall(op, error_number);
  }

 private:
  static bool CountCall(TFaultOp op, int& error_number);
  static std::atomic<bool> armed_;
};

// Arms the injector for one scope.
class TFaultScope {
 public:
  TFaultScope(std::uint32_t ops, std::int64_t nth, int error_number) {
    TFaultInjector::Arm(ops, nth, error_number);
  }
  TFaultScope(TFaultOp op, std::int64_t nth, int error_number) { TFaultInjector::Arm(op, nth, error_number); }
  ~TFaultScope() { TFaultInjector::Disarm(); }
  TFaultScope(const TFaultScope&) = delete;
  TFaultScope& operator=(const TFaultScope&) = delete;
  bool Fired() const { return TFaultInjector::Fired(); }
};

}  // namespace tarvo
