// GPIO blocks of both processor families, the OS timer, and the bus that carries them.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "sim/bus.h"
#include "sim/clock.h"
#include "sim/gpio.h"
#include "sim/module.h"

namespace {

using sim::Cpu;
using sim::Gpio;

// Register offsets of GPIO g's bank, the way the hardware lays them out.
uint32_t bankOffset(int g) { return g < 96 ? 4u * uint32_t(g / 32) : 0x100u; }
uint32_t GPLR(int g) { return 0x000 + bankOffset(g); }
uint32_t GPDR(int g) { return 0x00C + bankOffset(g); }
uint32_t GPSR(int g) { return 0x018 + bankOffset(g); }
uint32_t GPCR(int g) { return 0x024 + bankOffset(g); }
uint32_t GSDR(int g) { return 0x400 + 4u * uint32_t(g / 32); }
uint32_t GCDR(int g) { return 0x420 + 4u * uint32_t(g / 32); }
uint32_t bit(int g) { return 1u << (g % 32); }

class GpioFamilyTest : public ::testing::TestWithParam<Cpu> {
 protected:
  bool pxa3xx() const { return sim::cpuIsPxa3xx(GetParam()); }
  void makeOutput(Gpio& gpio, int g) {
    if (pxa3xx()) {
      gpio.write32(GSDR(g), bit(g));
    } else {
      gpio.write32(GPDR(g), gpio.read32(GPDR(g)) | bit(g));
    }
  }
};

TEST_P(GpioFamilyTest, OutputsReadWhatTheyDriveInputsWhatComesFromOutside) {
  Gpio gpio(GetParam());
  for (int g : {0, 31, 32, 63, 64, 95, 96, 120}) {
    SCOPED_TRACE(g);
    EXPECT_EQ(gpio.read32(GPLR(g)) & bit(g), 0u);
    gpio.setInputLevel(g, true);
    EXPECT_EQ(gpio.read32(GPLR(g)) & bit(g), bit(g));
    EXPECT_TRUE(gpio.level(g));

    makeOutput(gpio, g);  // now the driven level counts, not the outside one
    EXPECT_TRUE(gpio.isOutput(g));
    EXPECT_EQ(gpio.read32(GPDR(g)) & bit(g), bit(g));
    EXPECT_EQ(gpio.read32(GPLR(g)) & bit(g), 0u);
    gpio.write32(GPSR(g), bit(g));
    EXPECT_TRUE(gpio.outputLevel(g));
    EXPECT_EQ(gpio.read32(GPLR(g)) & bit(g), bit(g));
    gpio.setInputLevel(g, false);
    EXPECT_TRUE(gpio.level(g));
    gpio.write32(GPCR(g), bit(g));
    EXPECT_FALSE(gpio.level(g));
    EXPECT_EQ(gpio.read32(GPSR(g)), 0u);  // set and clear registers are write-only
    EXPECT_EQ(gpio.read32(GPCR(g)), 0u);
  }
  // Neighbouring pins are untouched.
  EXPECT_FALSE(gpio.isOutput(1));
  EXPECT_FALSE(gpio.outputLevel(33));
}

TEST_P(GpioFamilyTest, ChangeHandlerSeesDrivenWritesAndMayAnswerOnAnInput) {
  Gpio gpio(GetParam());
  int calls = 0;
  // A device that mirrors output pin 5 onto input pin 6, as a wired part would.
  gpio.onChange([&] {
    ++calls;
    gpio.setInputLevel(6, gpio.outputLevel(5));
  });
  makeOutput(gpio, 5);
  const int afterDirection = calls;
  EXPECT_GE(afterDirection, 1);
  gpio.write32(GPSR(5), bit(5));
  EXPECT_TRUE(gpio.level(6));
  gpio.write32(GPCR(5), bit(5));
  EXPECT_FALSE(gpio.level(6));
  EXPECT_EQ(calls, afterDirection + 2);
  gpio.write32(GPLR(5), 0xFFFFFFFF);  // read-only: no change
  gpio.setInputLevel(7, true);
  EXPECT_EQ(calls, afterDirection + 2);
}

INSTANTIATE_TEST_SUITE_P(Families, GpioFamilyTest,
                         ::testing::Values(Cpu::PXA270, Cpu::PXA300, Cpu::PXA310, Cpu::PXA320),
                         [](const ::testing::TestParamInfo<Cpu>& p) { return std::string(sim::cpuName(p.param)); });

TEST(GpioPxa270, AlternateFunctionsAndMissingPins) {
  Gpio gpio(Cpu::PXA270);
  // Pin 100: GAFR word 0x54 + 4 * 6, bits 9..8.
  gpio.write32(0x6C, 2u << 8);
  EXPECT_EQ(gpio.alternateFunction(100), 2u);
  EXPECT_EQ(gpio.alternateFunction(101), 0u);
  EXPECT_EQ(gpio.read32(0x6C), 2u << 8);
  // GPIO 121..127 do not exist.
  gpio.write32(GPDR(121), 0xFFFFFFFF);
  gpio.write32(GPSR(121), 0xFFFFFFFF);
  EXPECT_EQ(gpio.read32(GPLR(121)), 0x01FFFFFFu);
  gpio.setInputLevel(121, true);
  EXPECT_FALSE(gpio.level(121));
  // No direction set/clear registers, no MFPRs.
  gpio.write32(GCDR(0), 1);
  EXPECT_TRUE(gpio.isOutput(96));
  gpio.write32(0x10000 + 0x124, 5);
  EXPECT_EQ(gpio.read32(0x10000 + 0x124), 0u);
}

TEST(GpioPxa3xx, DirectionSetClearAndMfprs) {
  Gpio gpio(Cpu::PXA310);
  gpio.write32(GSDR(127), bit(127) | bit(100));
  EXPECT_TRUE(gpio.isOutput(127));
  EXPECT_TRUE(gpio.isOutput(100));
  gpio.write32(GCDR(127), bit(100));
  EXPECT_TRUE(gpio.isOutput(127));
  EXPECT_FALSE(gpio.isOutput(100));
  EXPECT_EQ(gpio.read32(GPDR(127)), bit(127));
  gpio.write32(GPSR(127), bit(127));
  EXPECT_EQ(gpio.read32(0x100), bit(127));

  EXPECT_EQ(gpio.read32(0x10000 + 0x2DC), 0u);  // reset value
  gpio.write32(0x10000 + 0x2DC, 0xC841);
  EXPECT_EQ(gpio.read32(0x10000 + 0x2DC), 0xC841u);
  EXPECT_EQ(gpio.mfpr(0x2DC), 0xC841u);
  EXPECT_EQ(gpio.mfpr(0x2E0), 0u);
  // No alternate function registers on this family.
  gpio.write32(0x54, 3);
  EXPECT_EQ(gpio.read32(0x54), 0u);
}

// ---- OS timer ------------------------------------------------------------------------------

TEST(OsTimer, CountsAtThreePointTwoFiveMegahertzAndMovesVirtualTime) {
  sim::Clock clock;
  clock.start(true, 1);
  sim::OsTimer timer(&clock);
  const uint32_t first = timer.read32(0x10);
  EXPECT_EQ(first, 3u);  // the read moved time to 1 us
  const uint32_t second = timer.read32(0x10);
  EXPECT_EQ(second - first, 3u);  // 2 us -> 6 ticks (6.5 truncated)
  clock.advanceUs(4000 - 2);
  EXPECT_EQ(timer.read32(0x10), uint32_t(4001 * 13 / 4));
  // Thirty-two bits wrap.
  const uint64_t now = clock.nowUs();
  clock.advanceUs((uint64_t{1} << 32) * 4 / 13 + 1000 - now);
  const uint64_t at = clock.nowUs() + 1;
  EXPECT_EQ(timer.read32(0x10), static_cast<uint32_t>(at * 13 / 4));
  EXPECT_LT(timer.read32(0x10), 0x10000u);
  // Other registers read 0 and ignore writes.
  timer.write32(0x10, 0);
  timer.write32(0x00, 5);
  EXPECT_EQ(timer.read32(0x00), 0u);
  EXPECT_EQ(timer.read32(0x14), 0u);
}

// ---- The bus ---------------------------------------------------------------------------------

// A memory-like device whose words are their own offsets plus a tag.
class Words : public sim::Device {
 public:
  explicit Words(uint32_t tag) : tag_(tag) {}
  std::string name() const override { return "words"; }
  uint32_t read32(uint32_t offset) override { return tag_ | offset; }
  void write32(uint32_t offset, uint32_t value) override { writes.push_back({offset, value}); }
  std::vector<std::pair<uint32_t, uint32_t>> writes;

 private:
  uint32_t tag_;
};

TEST(Bus, RoutesAccessesToTheDeviceThatAnswers) {
  sim::Bus bus;
  Words low(0xA0000000), high(0xB0000000);
  bus.attach(0x1000, 0x100, &low);
  bus.attach(0x1100, 0x100, &high);
  uint32_t offset = 0;
  EXPECT_EQ(bus.find(0x10FC, &offset), &low);
  EXPECT_EQ(offset, 0xFCu);
  EXPECT_EQ(bus.find(0x1100, &offset), &high);
  EXPECT_EQ(bus.find(0x1200, &offset), nullptr);
  EXPECT_EQ(bus.find(0xFFF, &offset), nullptr);

  EXPECT_EQ(bus.read32(0x1108), 0xB0000008u);
  EXPECT_EQ(bus.read16(0x110A), 0xB000u);
  EXPECT_EQ(bus.read8(0x1109), 0x00u);
  EXPECT_EQ(bus.read8(0x110B), 0xB0u);
  bus.write32(0x1010, 7);
  bus.write16(0x1012, 0x1234);  // read-modify-write of the containing word
  ASSERT_EQ(low.writes.size(), 2u);
  EXPECT_EQ(low.writes[1], (std::pair<uint32_t, uint32_t>{0x10, 0x12340010}));

  // A block across both devices, starting unaligned.
  uint8_t block[10];
  bus.readBlock(0x10FA, block, sizeof block);
  const uint8_t expect[10] = {0x00, 0xA0, 0xFC, 0x00, 0x00, 0xA0, 0x00, 0x00, 0x00, 0xB0};
  EXPECT_EQ(std::vector<uint8_t>(block, block + 10), std::vector<uint8_t>(expect, expect + 10));
}

TEST(Bus, AccessWhereNoDeviceAnswersEndsTheProcess) {
  sim::Bus bus;
  Words low(0);
  bus.attach(0x1000, 0x100, &low);
  EXPECT_EXIT(bus.read32(0x40E00000), ::testing::ExitedWithCode(3),
              "bus error: no device at physical 0x40E00000");
  EXPECT_EXIT(bus.write8(0x1100, 1), ::testing::ExitedWithCode(3),
              "bus error: no device at physical 0x00001100");
}

TEST(Bus, GpioAndTimerAtTheirModuleAddresses) {
  sim::Bus bus;
  sim::Clock clock;
  clock.start(true, 1);
  Gpio gpio(Cpu::PXA320);
  sim::OsTimer timer(&clock);
  bus.attach(sim::GPIO_BASE, 0x20000, &gpio);
  bus.attach(sim::OST_BASE, 0x1000, &timer);
  bus.write32(sim::MFPR_BASE + 0x124, 0x1);
  EXPECT_EQ(gpio.mfpr(0x124), 1u);
  EXPECT_GT(bus.read32(sim::OST_BASE + 0x10), 0u);
}

}  // namespace
