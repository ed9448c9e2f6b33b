// GPIO pins of the PXA270 and of the PXA3xx processors.
//
// Both families share the level, set-output and clear-output registers. The PXA270 sets
// direction and alternate function by read-modify-write of its GPDR and GAFR registers; the
// PXA3xx has set/clear direction registers and one multi-function pin register per pin.
#include "hw/gpio.h"

#include <cstdint>

#include "hw/cpu.h"
#include "hw/physmem.h"
#include "platform/memory.h"

const MfprRun mfprRunsPxa320[MFPR_RUNS_PXA320] = {
    {0, 4, 0x124},    {5, 9, 0x28C},    {10, 10, 0x458},  {11, 26, 0x2A0},
    {27, 48, 0x400},  {49, 62, 0x45C},  {63, 73, 0x4B4},  {74, 98, 0x4F0},
    {99, 133, 0x600}, {134, 141, 0x494}, {142, 145, 0x4E0},
};

const MfprRun mfprRunsPxa3x0[MFPR_RUNS_PXA3X0] = {
    {0, 2, 0x0B4},    {3, 26, 0x27C},     {27, 98, 0x400},
    {99, 129, 0x600}, {130, 134, 0x2DC},  {135, 138, 0x52C},
};

namespace {

constexpr uint32_t MFPR_FIRST_PXA320 = 0x124;  // the pin-0 MFPR, base of the word indices
constexpr uint32_t MFPR_FIRST_PXA3X0 = 0x0B4;
constexpr uint32_t MFPR_TABLE_SIZE = GPIO_PINS_PXA320;

// Register offsets in the GPIO block.
constexpr uint32_t GPLR = 0x000;
constexpr uint32_t GPDR = 0x00C;
constexpr uint32_t GPSR = 0x018;
constexpr uint32_t GPCR = 0x024;
constexpr uint32_t GAFR = 0x054;
constexpr uint32_t GSDR = 0x400;
constexpr uint32_t GCDR = 0x420;

struct GpioState {
  bool started;
  uint32_t product;
  uint32_t pinCount;
  uint8_t* registers;  // GPIO block
  uint8_t* mfpr;       // pin-0 MFPR (PXA3xx only)
  uint16_t mfprIndex[MFPR_TABLE_SIZE];  // word index of each pin's MFPR relative to pin 0's
};
GpioState gpio;

bool isPxa3xx(uint32_t product) {
  return product == CPU_PXA320 || product == CPU_PXA300 || product == CPU_PXA310;
}

uint32_t runOffset(const MfprRun* runs, uint32_t count, uint32_t pin) {
  for (uint32_t i = 0; i < count; ++i) {
    if (pin >= runs[i].firstPin && pin <= runs[i].lastPin) {
      return runs[i].firstOffset + 4 * (pin - runs[i].firstPin);
    }
  }
  return 0;
}

uint32_t pinCountOf(uint32_t product) {
  switch (product) {
    case CPU_PXA320: return GPIO_PINS_PXA320;
    case CPU_PXA300: return GPIO_PINS_PXA300;
    case CPU_PXA310: return GPIO_PINS_PXA310;
    default: return GPIO_PINS_PXA270;
  }
}

void start() {
  if (gpio.started) return;
  gpio.product = readCpuProduct();
  gpio.registers = static_cast<uint8_t*>(mapPhysical(GPIO_PHYSICAL));
  gpio.pinCount = GPIO_PINS_PXA270;
  gpio.mfpr = nullptr;
  if (gpio.product == CPU_PXA320) {
    gpio.mfpr = static_cast<uint8_t*>(mapPhysical(MFPR_PHYSICAL + MFPR_FIRST_PXA320));
    for (uint32_t pin = 0; pin < GPIO_PINS_PXA320; ++pin) {
      gpio.mfprIndex[pin] = static_cast<uint16_t>(
          (runOffset(mfprRunsPxa320, MFPR_RUNS_PXA320, pin) - MFPR_FIRST_PXA320) / 4);
    }
  } else if (gpio.product == CPU_PXA300 || gpio.product == CPU_PXA310) {
    gpio.mfpr = static_cast<uint8_t*>(mapPhysical(MFPR_PHYSICAL + MFPR_FIRST_PXA3X0));
    for (uint32_t pin = 0; pin < GPIO_PINS_PXA310; ++pin) {
      gpio.mfprIndex[pin] = static_cast<uint16_t>(
          (runOffset(mfprRunsPxa3x0, MFPR_RUNS_PXA3X0, pin) - MFPR_FIRST_PXA3X0) / 4);
    }
  }
  gpio.pinCount = pinCountOf(gpio.product);
  gpio.started = true;
}

// Started and the pin exists (a failed mapping of the GPIO block makes every pin absent).
bool usable(uint32_t pin) {
  start();
  return pin < gpio.pinCount && gpio.registers != nullptr;
}

uint32_t gpioNumber(uint32_t pin) {
  return pin >= 128 ? pin - 128 : pin;
}

// Level, direction, set and clear registers: banks 0..2 are words 0..2, bank 3 is word 64.
uint32_t bankOffset(uint32_t g) {
  return 4 * (g < 96 ? g / 32 : 64);
}

uint32_t reg(uint32_t offset) {
  return plat::read32(gpio.registers + offset);
}

void setReg(uint32_t offset, uint32_t value) {
  plat::write32(gpio.registers + offset, value);
}

// Whether function selects the pin's GPIO function (only then gpioConfigure sets the direction).
bool isGpioFunction(uint32_t product, uint32_t g, uint32_t function) {
  if (product == CPU_PXA320) {
    if (g == 56 || (g >= 59 && g <= 62)) return false;
    return function == 0;
  }
  switch (g) {
    case 46: return function == 1;
    case 49: case 51: case 52: return function == 3;
    case 50: return function == 2;
    default: return function == 0;
  }
}

}  // namespace

void gpioSetDirection(uint32_t pin, uint32_t isOutput) {
  if (!usable(pin)) return;
  if (isPxa3xx(gpio.product)) {
    const uint32_t g = gpioNumber(pin);
    setReg((isOutput != 0 ? GSDR : GCDR) + 4 * (g / 32), 1u << (g % 32));
    return;
  }
  const uint32_t offset = GPDR + bankOffset(pin);
  const uint32_t bit = 1u << (pin % 32);
  const uint32_t value = reg(offset);
  setReg(offset, isOutput != 0 ? value | bit : value & ~bit);
}

void gpioConfigure(uint32_t pin, uint32_t function, uint32_t isOutput) {
  if (!usable(pin)) return;
  if (isPxa3xx(gpio.product)) {
    if (gpio.mfpr == nullptr) return;
    uint32_t index = gpio.mfprIndex[pin];
    if (gpio.product == CPU_PXA310 && pin >= 30 && pin <= 98) index += 3;
    uint8_t* mfpr = gpio.mfpr + 4 * index;
    // The whole function value is ORed in, as the register's users expect.
    plat::write32(mfpr, (plat::read32(mfpr) & ~7u) | function);
    const uint32_t g = gpioNumber(pin);
    if (isGpioFunction(gpio.product, g, function)) gpioSetDirection(g, isOutput);
    return;
  }
  const uint32_t offset = GAFR + 4 * (pin / 16);
  const uint32_t shift = 2 * (pin % 16);
  const uint32_t value = reg(offset);
  setReg(offset, (value & ~(3u << shift)) | ((function & 3) << shift));
  gpioSetDirection(pin, isOutput);
}

void gpioWrite(uint32_t pin, uint32_t level) {
  if (!usable(pin)) return;
  const uint32_t g = gpioNumber(pin);
  setReg((level != 0 ? GPSR : GPCR) + bankOffset(g), 1u << (g % 32));
}

uint32_t gpioRead(uint32_t pin) {
  if (!usable(pin)) return 0;
  const uint32_t g = gpioNumber(pin);
  return (reg(GPLR + bankOffset(g)) >> (g % 32)) & 1;
}
