#pragma once
// GPIO blocks of both processor families (PXA270: level, direction, set, clear and alternate
// function registers; PXA3xx: level, set, clear, set/clear direction registers and the
// multi-function pin registers) and the OS timer.
#include <cstdint>
#include <functional>

#include "sim/bus.h"
#include "sim/clock.h"
#include "sim/config.h"

namespace sim {

class Gpio : public Device {
 public:
  explicit Gpio(Cpu cpu);
  ~Gpio() override;
  Gpio(const Gpio&) = delete;
  Gpio& operator=(const Gpio&) = delete;
  std::string name() const override { return "gpio"; }
  // Offsets relative to GPIO_BASE; the MFPRs are at 0x10000 and up.
  uint32_t read32(uint32_t offset) override;
  void write32(uint32_t offset, uint32_t value) override;

  // For tests and for devices wired to the pins (g = GPIO number 0..127).
  bool outputLevel(int g) const;      // level the processor drives
  bool isOutput(int g) const;
  void setInputLevel(int g, bool level);  // level driven from outside onto an input pin
  bool level(int g) const;            // what GPLR reads
  uint32_t mfpr(uint32_t offset) const;   // MFPR at MFPR_BASE + offset
  uint32_t alternateFunction(int pin) const;  // PXA270 GAFR field
  // Called after every write by the processor that may change pin levels or directions
  // (not after setInputLevel, so a device may answer from inside the handler).
  void onChange(std::function<void()> handler);

 private:
  struct State;
  State* s_;
};

// OSCR0 counts at 3.25 MHz from the module clock (32-bit wrap). With a virtual clock every
// counter read moves time on by 1 us, so that wait loops on the counter end.
class OsTimer : public Device {
 public:
  explicit OsTimer(Clock* clock) : clock_(clock) {}
  std::string name() const override { return "ostimer"; }
  uint32_t read32(uint32_t offset) override;  // +0x10: counter at 3.25 MHz
  void write32(uint32_t offset, uint32_t value) override;

 private:
  Clock* clock_;
};

}  // namespace sim
