#pragma once
// The module's clock. Real: milliseconds since the module booted, from the host's clock.
// Virtual: time moves only when someone sleeps or polls, so time-outs run at once in tests.
#include <atomic>
#include <cstdint>

namespace sim {

class Clock {
 public:
  // bootEpochMs: host wall-clock milliseconds at the module's boot (real mode).
  void start(bool virtualTime, int64_t bootEpochMs);
  bool isVirtual() const { return virtual_; }
  // Microseconds since boot.
  uint64_t nowUs();
  uint32_t tickMs();  // GetTickCount: in virtual mode each reading advances the clock by 1 ms
  void sleepMs(uint32_t ms);
  // Moves virtual time forward (no effect in real mode).
  void advanceUs(uint64_t us);

 private:
  bool virtual_ = false;
  int64_t bootEpochMs_ = 0;
  std::atomic<uint64_t> virtualUs_{0};
};

}  // namespace sim
