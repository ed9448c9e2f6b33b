// GPIO pins of both processor families, observed on the virtual module's GPIO block.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <set>
#include <string>

#include "hw/gpio.h"
#include "sim/gpio.h"
#include "sim/module.h"
#include "tests/fixtures/module_fixture.h"

namespace {

// The MFPR tables: runs follow each other pin by pin from pin 0, and no two pins share a
// register.
void checkRuns(const MfprRun* runs, uint32_t count, uint32_t pins) {
  uint32_t next = 0;
  std::set<uint32_t> offsets;
  for (uint32_t i = 0; i < count; ++i) {
    EXPECT_EQ(runs[i].firstPin, next) << "run " << i;
    ASSERT_GE(runs[i].lastPin, runs[i].firstPin);
    for (uint32_t pin = runs[i].firstPin; pin <= runs[i].lastPin; ++pin) {
      EXPECT_TRUE(offsets.insert(runs[i].firstOffset + 4 * (pin - runs[i].firstPin)).second)
          << "pin " << pin;
    }
    next = runs[i].lastPin + 1;
  }
  EXPECT_EQ(next, pins);
}

TEST(MfprTable, RunsCoverEveryPinOnce) {
  checkRuns(mfprRunsPxa320, MFPR_RUNS_PXA320, GPIO_PINS_PXA320);
  checkRuns(mfprRunsPxa3x0, MFPR_RUNS_PXA3X0, GPIO_PINS_PXA310);
}

// gpioConfigure writes exactly one MFPR per pin, each pin its own, across the whole pin range.
class MfprSweep : public ::testing::TestWithParam<sim::Cpu> {};

TEST_P(MfprSweep, EveryPinReachesItsOwnRegister) {
  fixture::TempModule m(GetParam());
  sim::Module& mod = m.attach();
  sim::Gpio& gpio = *mod.gpio();
  const uint32_t pins = GetParam() == sim::Cpu::PXA320   ? GPIO_PINS_PXA320
                        : GetParam() == sim::Cpu::PXA300 ? GPIO_PINS_PXA300
                                                         : GPIO_PINS_PXA310;
  std::set<uint32_t> seen;
  for (uint32_t pin = 0; pin < pins; ++pin) {
    gpioConfigure(pin, 7, 0);
    uint32_t hits = 0;
    for (uint32_t offset = 0; offset < 0x800; offset += 4) {
      if (gpio.mfpr(offset) == 7 && seen.insert(offset).second) ++hits;
    }
    EXPECT_EQ(hits, 1u) << "pin " << pin;
  }
  gpioConfigure(pins, 6, 0);  // beyond the pin count: ignored
  for (uint32_t offset = 0; offset < 0x800; offset += 4) EXPECT_NE(gpio.mfpr(offset), 6u);
}

INSTANTIATE_TEST_SUITE_P(Cpus, MfprSweep,
                         ::testing::Values(sim::Cpu::PXA320, sim::Cpu::PXA300, sim::Cpu::PXA310));

// gpioConfigure on PXA3xx: which MFPR takes the function and whether the direction follows.
struct ConfigureCase {
  const char* name;
  sim::Cpu cpu;
  uint32_t pin;
  uint32_t function;
  uint32_t mfprOffset;
  int gpio;            // GPIO number whose direction bit is checked
  bool becomesOutput;  // the function is the pin's GPIO function
};
void PrintTo(const ConfigureCase& c, std::ostream* os) { *os << c.name; }

class ConfigureTest : public ::testing::TestWithParam<ConfigureCase> {};

TEST_P(ConfigureTest, SetsFunctionAndMaybeDirection) {
  const ConfigureCase& c = GetParam();
  fixture::TempModule m(c.cpu);
  sim::Module& mod = m.attach();
  mod.gpio()->write32(0x10000 + c.mfprOffset, 0xC0);  // other MFPR bits stay
  gpioConfigure(c.pin, c.function, 1);
  EXPECT_EQ(mod.gpio()->mfpr(c.mfprOffset), 0xC0u | c.function);
  EXPECT_EQ(mod.gpio()->isOutput(c.gpio), c.becomesOutput);
}

INSTANTIATE_TEST_SUITE_P(
    Pins, ConfigureTest,
    ::testing::Values(
        ConfigureCase{"Pxa310ShiftedPin", sim::Cpu::PXA310, 40, 0, 0x440, 40, true},
        ConfigureCase{"Pxa300SamePin", sim::Cpu::PXA300, 40, 0, 0x434, 40, true},
        ConfigureCase{"Pxa310PinBeforeShift", sim::Cpu::PXA310, 29, 0, 0x408, 29, true},
        ConfigureCase{"Pxa310LastShiftedPin", sim::Cpu::PXA310, 98, 0, 0x528, 98, true},
        ConfigureCase{"Pxa300HighPinUsesGpio2", sim::Cpu::PXA300, 130, 0, 0x2DC, 2, true},
        ConfigureCase{"Pxa300OtherFunction", sim::Cpu::PXA300, 40, 4, 0x434, 40, false},
        ConfigureCase{"Pxa300Gpio46IsFunction1", sim::Cpu::PXA300, 46, 1, 0x44C, 46, true},
        ConfigureCase{"Pxa300Gpio46Function0", sim::Cpu::PXA300, 46, 0, 0x44C, 46, false},
        ConfigureCase{"Pxa310Gpio49IsFunction3", sim::Cpu::PXA310, 49, 3, 0x464, 49, true},
        ConfigureCase{"Pxa300Gpio50IsFunction2", sim::Cpu::PXA300, 50, 2, 0x45C, 50, true},
        ConfigureCase{"Pxa300Gpio52Function0", sim::Cpu::PXA300, 52, 0, 0x464, 52, false},
        ConfigureCase{"Pxa320Pin0", sim::Cpu::PXA320, 0, 0, 0x124, 0, true},
        ConfigureCase{"Pxa320Pin10", sim::Cpu::PXA320, 10, 0, 0x458, 10, true},
        ConfigureCase{"Pxa320Gpio56NeverDirection", sim::Cpu::PXA320, 56, 0, 0x478, 56, false},
        ConfigureCase{"Pxa320Gpio62NeverDirection", sim::Cpu::PXA320, 62, 0, 0x490, 62, false},
        ConfigureCase{"Pxa320Gpio46Function0", sim::Cpu::PXA320, 46, 0, 0x44C, 46, true},
        ConfigureCase{"Pxa320Pin145", sim::Cpu::PXA320, 145, 0, 0x4EC, 17, true}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(Gpio, FunctionIsOredInWhole) {
  fixture::TempModule m(sim::Cpu::PXA300);
  sim::Module& mod = m.attach();
  mod.gpio()->write32(0x10000 + 0x434, 0x45);
  gpioConfigure(40, 0x12, 0);  // bits above the function field come along
  EXPECT_EQ(mod.gpio()->mfpr(0x434), 0x52u);
}

TEST(Gpio, Pxa3xxLevelsAndDirections) {
  fixture::TempModule m(sim::Cpu::PXA300);
  sim::Module& mod = m.attach();
  sim::Gpio& gpio = *mod.gpio();

  gpioSetDirection(130, 1);  // GPIO 2
  gpioSetDirection(100, 1);
  gpioSetDirection(101, 1);
  EXPECT_TRUE(gpio.isOutput(2));
  gpioSetDirection(101, 0);
  EXPECT_TRUE(gpio.isOutput(100));
  EXPECT_FALSE(gpio.isOutput(101));

  gpioWrite(130, 1);
  EXPECT_TRUE(gpio.outputLevel(2));
  gpioWrite(100, 7);
  EXPECT_TRUE(gpio.outputLevel(100));
  gpioWrite(130, 0);
  EXPECT_FALSE(gpio.outputLevel(2));
  EXPECT_TRUE(gpio.outputLevel(100));

  gpio.setInputLevel(101, true);
  EXPECT_EQ(gpioRead(101), 1u);
  gpio.setInputLevel(101, false);
  EXPECT_EQ(gpioRead(101), 0u);
  gpio.setInputLevel(5, true);
  EXPECT_EQ(gpioRead(133), 1u);  // pin 133 reads GPIO 5
  EXPECT_EQ(gpioRead(135), 0u);  // beyond the PXA300's 135 pins
}

TEST(Gpio, Pxa270RegistersAndPinRange) {
  fixture::TempModule m(sim::Cpu::PXA270);
  sim::Module& mod = m.attach();
  sim::Gpio& gpio = *mod.gpio();

  gpioSetDirection(100, 1);
  gpioSetDirection(4, 1);
  gpioWrite(100, 1);  // bit 4 of the bank-3 set register
  EXPECT_TRUE(gpio.outputLevel(100));
  EXPECT_FALSE(gpio.outputLevel(4));
  EXPECT_EQ(gpio.read32(0x10C), 1u << 4);  // bank-3 direction
  gpioWrite(100, 0);
  EXPECT_FALSE(gpio.outputLevel(100));

  // Direction and alternate function are read-modify-write: neighbours keep theirs.
  gpioConfigure(33, 2, 1);
  gpioConfigure(34, 3, 1);
  gpioConfigure(33, 1, 0);
  EXPECT_EQ(gpio.alternateFunction(33), 1u);
  EXPECT_EQ(gpio.alternateFunction(34), 3u);
  EXPECT_FALSE(gpio.isOutput(33));
  EXPECT_TRUE(gpio.isOutput(34));
  gpioConfigure(120, 6, 1);  // only the low two bits of the function
  EXPECT_EQ(gpio.alternateFunction(120), 2u);
  EXPECT_TRUE(gpio.isOutput(120));

  gpio.setInputLevel(119, true);
  EXPECT_EQ(gpioRead(119), 1u);
  gpioWrite(120, 1);
  EXPECT_EQ(gpioRead(120), 1u);  // an output reads the level it drives
  gpioWrite(120, 0);
  EXPECT_EQ(gpioRead(120), 0u);
  gpio.setInputLevel(121, true);
  EXPECT_EQ(gpioRead(121), 0u);  // PXA270 has 121 pins
  gpioSetDirection(121, 1);
  EXPECT_FALSE(gpio.isOutput(121));
}

}  // namespace
