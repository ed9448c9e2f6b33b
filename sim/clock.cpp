#include "sim/clock.h"

#include <chrono>
#include <thread>

namespace sim {

namespace {
int64_t wallMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}
int64_t wallUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}
}  // namespace

void Clock::start(bool virtualTime, int64_t bootEpochMs) {
  virtual_ = virtualTime;
  bootEpochMs_ = bootEpochMs ? bootEpochMs : wallMs();
  virtualUs_ = 0;
}

uint64_t Clock::nowUs() {
  if (virtual_) return virtualUs_.load();
  int64_t us = wallUs() - bootEpochMs_ * 1000;
  return us < 0 ? 0 : static_cast<uint64_t>(us);
}

uint32_t Clock::tickMs() {
  if (virtual_) return static_cast<uint32_t>((virtualUs_.fetch_add(1000) + 1000) / 1000);
  return static_cast<uint32_t>(nowUs() / 1000);
}

void Clock::sleepMs(uint32_t ms) {
  if (virtual_) {
    virtualUs_ += static_cast<uint64_t>(ms) * 1000;
    std::this_thread::yield();
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void Clock::advanceUs(uint64_t us) {
  if (virtual_) virtualUs_ += us;
}

}  // namespace sim
