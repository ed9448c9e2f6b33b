// Processor identification, kernel calls and physical mappings against a virtual module.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <tuple>
#include <vector>

#include "hw/cpu.h"
#include "hw/physmem.h"
#include "platform/memory.h"
#include "sim/gpio.h"
#include "sim/module.h"
#include "sim/nor.h"
#include "sim/oem.h"
#include "tests/fixtures/module_fixture.h"

namespace {

struct CpuCase {
  sim::Cpu cpu;
  uint32_t product;
};
void PrintTo(const CpuCase& c, std::ostream* os) { *os << sim::cpuName(c.cpu); }

class ProductTest : public ::testing::TestWithParam<std::tuple<CpuCase, bool>> {};

TEST_P(ProductTest, ReadsTheProductInEitherMode) {
  const auto [c, privileged] = GetParam();
  fixture::TempModule m(c.cpu, [&](sim::Config& cfg) { cfg.privileged = privileged; });
  m.attach();
  EXPECT_EQ(isPrivileged() != 0, privileged);
  EXPECT_EQ(readCpuProduct(), c.product);
}

INSTANTIATE_TEST_SUITE_P(
    Cpus, ProductTest,
    ::testing::Combine(::testing::Values(CpuCase{sim::Cpu::PXA270, 17}, CpuCase{sim::Cpu::PXA320, 2},
                                         CpuCase{sim::Cpu::PXA300, 8}, CpuCase{sim::Cpu::PXA310, 9}),
                       ::testing::Bool()));

// Without the OS image's kernel service only privileged code still learns the product: the
// privileged path sends no request at all.
TEST(Product, WithoutKernelServiceOnlyPrivilegedCodeReadsIt) {
  {
    fixture::TempModule m(sim::Cpu::PXA270, [](sim::Config& c) {
      c.services.kernel = false;
      c.privileged = true;
    });
    m.attach();
    EXPECT_EQ(readCpuProduct(), 17u);
  }
  fixture::TempModule m(sim::Cpu::PXA270, [](sim::Config& c) { c.services.kernel = false; });
  m.attach();
  EXPECT_EQ(readCpuProduct(), 0u);
}

// What the kernel is asked to do, seen through kernel hooks that only record.
struct KernelLog {
  struct Routine {
    uint32_t routine;
    uint32_t argument;
    KernelBlock block;
  };
  struct Copy {
    uint32_t destination;
    uint32_t source;
    uint32_t size;
    uint32_t protect;
  };
  std::vector<Routine> routines;
  std::vector<Copy> copies;

  void install(sim::Module& mod, uint32_t routineResult) {
    sim::KernelHooks hooks;
    hooks.runRoutine = [this, routineResult](uint32_t routine, uint32_t argument) {
      const auto* block = static_cast<const KernelBlock*>(plat::pinned(argument));
      routines.push_back({routine, argument, block ? *block : KernelBlock{}});
      return routineResult;
    };
    hooks.virtualCopy = [this](uint32_t destination, uint32_t source, uint32_t size,
                               uint32_t protect) {
      copies.push_back({destination, source, size, protect});
      return true;
    };
    mod.oem().setHooks(hooks);
  }
};

TEST(Product, UserModeSendsOneTrampolineRequestPerRead) {
  fixture::TempModule m;
  KernelLog log;
  log.install(m.attach(), 17);
  EXPECT_EQ(readCpuProduct(), 17u);
  EXPECT_EQ(readCpuProduct(), 17u);
  ASSERT_EQ(log.routines.size(), 2u);
  EXPECT_EQ(log.routines[0].routine, plat::codeAddress(kernelTrampoline));
  EXPECT_NE(log.routines[0].block.function, nullptr);
  EXPECT_EQ(log.routines[0].block.argument1, 0u);
  EXPECT_EQ(log.routines[0].block.argument2, 0u);
  EXPECT_EQ(plat::pinned(log.routines[0].argument), nullptr);  // released after the call
}

TEST(Product, PrivilegedModeSendsNoRequest) {
  fixture::TempModule m(sim::Cpu::PXA310, [](sim::Config& c) { c.privileged = true; });
  KernelLog log;
  log.install(m.attach(), 0);
  EXPECT_EQ(readCpuProduct(), 9u);
  EXPECT_TRUE(log.routines.empty());
}

// A user-mode mapping of 64 MB asks the kernel for two copies of 32 MB, each with the
// reservation address, the physical address / 256 and the uncached read/write protection.
TEST(Mapping, UserModeRangeGoesToTheKernelIn32MbPieces) {
  fixture::TempModule m;
  KernelLog log;
  log.install(m.attach(), 0);
  void* flash = mapPhysicalRange(0, 0x4000000);
  ASSERT_NE(flash, nullptr);
  const auto base = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(flash));
  ASSERT_EQ(log.copies.size(), 2u);
  EXPECT_EQ(log.copies[0].destination, base);
  EXPECT_EQ(log.copies[0].source, 0u);
  EXPECT_EQ(log.copies[0].size, 0x2000000u);
  EXPECT_EQ(log.copies[0].protect, 0x604u);
  EXPECT_EQ(log.copies[1].destination, base + 0x2000000);
  EXPECT_EQ(log.copies[1].source, 0x2000000u / 256);
  EXPECT_EQ(log.copies[1].size, 0x2000000u);
  EXPECT_EQ(log.copies[1].protect, 0x604u);
  unmapPhysical(flash);

  void* window = mapPhysical(0x43100010);
  ASSERT_NE(window, nullptr);
  ASSERT_EQ(log.copies.size(), 3u);
  EXPECT_EQ(log.copies[2].destination + 0x10, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(window)));
  EXPECT_EQ(log.copies[2].source, 0x43100000u / 256);
  EXPECT_EQ(log.copies[2].size, 0x2000u);
  unmapPhysical(window);
}

TEST(Mapping, RefusedCopyReleasesTheReservation) {
  fixture::TempModule m;
  sim::Module& mod = m.attach();
  sim::KernelHooks hooks;
  uint32_t refused = 0;
  hooks.virtualCopy = [&](uint32_t destination, uint32_t, uint32_t, uint32_t) {
    refused = destination;
    return false;
  };
  mod.oem().setHooks(hooks);
  EXPECT_EQ(mapPhysical(0x40E00000), nullptr);
  ASSERT_NE(refused, 0u);
  // The reservation is gone: freeing it again fails.
  EXPECT_FALSE(plat::virtualFree(reinterpret_cast<void*>(uintptr_t{refused}), 0, plat::MEM_RELEASE));
}

uint32_t twice(uint32_t argument) { return 2 * argument + 1; }
uint32_t sum(uint32_t a, uint32_t b) { return a + b; }

TEST(KernelCall, RunsTheRoutineThroughTheKernel) {
  fixture::TempModule m;
  m.attach();
  EXPECT_EQ(KernelCall(twice, 20), 41u);
  EXPECT_EQ(KernelCall(nullptr, 20), 0u);

  KernelBlock block = {sum, 30, 12};
  const uint32_t address = plat::pin(&block);
  EXPECT_EQ(KernelCall(kernelTrampoline, address), 42u);
  plat::unpin(address);
}

TEST(KernelCall, AnswersZeroWithoutKernelService) {
  fixture::TempModule m(sim::Cpu::PXA270, [](sim::Config& c) { c.services.kernel = false; });
  m.attach();
  EXPECT_EQ(KernelCall(twice, 20), 0u);
  EXPECT_EQ(readKernelInfo(), 0u);
}

TEST(KernelCall, InformationReadAnswersWhetherBytesCame) {
  fixture::TempModule m;
  m.attach();
  EXPECT_NE(readKernelInfo(), 0u);
  EXPECT_NE(readKernelInfo(), 0u);
}

// Mappings are seen through the device behind them: the GPIO block and its MFPRs, and the NOR
// flash (raw contents).
class MappingTest : public ::testing::TestWithParam<bool> {};

TEST_P(MappingTest, WindowHoldsTheAddressesPage) {
  const bool privileged = GetParam();
  fixture::TempModule m(sim::Cpu::PXA320, [&](sim::Config& c) { c.privileged = privileged; });
  sim::Module& mod = m.attach();

  auto* mfpr = static_cast<uint8_t*>(mapPhysical(0x40E10124));
  ASSERT_NE(mfpr, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(mfpr) & 0xFFF, 0x124u);
  plat::write32(mfpr, 5);
  EXPECT_EQ(mod.gpio()->mfpr(0x124), 5u);
  // The window reaches the whole 8 KB from the page start.
  plat::write32(mfpr - 0x124 + 0x1FFC, 6);
  EXPECT_EQ(mod.gpio()->mfpr(0x1FFC), 6u);
  unmapPhysical(mfpr);

  // The low two address bits are dropped.
  auto* gpio = static_cast<uint8_t*>(mapPhysical(0x40E00003));
  ASSERT_NE(gpio, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(gpio) & 0xFFF, 0u);
  unmapPhysical(gpio);
}

TEST_P(MappingTest, RangeCoversAllOf64Mb) {
  const bool privileged = GetParam();
  fixture::TempModule m(sim::Cpu::PXA270, [&](sim::Config& c) {
    c.privileged = privileged;
    c.nor.chipSize = 0x2000000;
  });
  sim::Module& mod = m.attach();
  const uint32_t marks[][2] = {{0, 0x11111111}, {0x1FFFFFC, 0x22222222},
                               {0x2000000, 0x33333333}, {0x3FFFFFC, 0x44444444}};
  for (const auto& mark : marks) ASSERT_TRUE(mod.nor()->rawWrite(mark[0], &mark[1], 4));

  auto* flash = static_cast<uint8_t*>(mapPhysicalRange(0, 0x4000000));
  ASSERT_NE(flash, nullptr);
  for (const auto& mark : marks) EXPECT_EQ(plat::read32(flash + mark[0]), mark[1]) << mark[0];
  unmapPhysical(flash);

  // A range that starts inside a page maps from the page start.
  auto* inner = static_cast<uint8_t*>(mapPhysicalRange(0x1FFFFFC, 8));
  ASSERT_NE(inner, nullptr);
  EXPECT_EQ(plat::read32(inner), 0x22222222u);
  EXPECT_EQ(plat::read32(inner + 4), 0x33333333u);
  unmapPhysical(inner);
}

INSTANTIATE_TEST_SUITE_P(Modes, MappingTest, ::testing::Bool(),
                         [](const auto& row) { return row.param ? "Privileged" : "User"; });

TEST(Mapping, UserModeWithoutKernelServiceFails) {
  fixture::TempModule m(sim::Cpu::PXA270, [](sim::Config& c) { c.services.kernel = false; });
  m.attach();
  EXPECT_EQ(mapPhysical(0x40E00000), nullptr);
  EXPECT_EQ(mapPhysical(0x40E00124), nullptr);  // no bare offset either
  EXPECT_EQ(mapPhysicalRange(0, 0x4000000), nullptr);
}

}  // namespace
