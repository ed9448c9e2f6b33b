// Start, lock and retry of the flash layer, and its choice of back end.
#include <gtest/gtest.h>

#include <cstdint>
#include <future>
#include <ostream>
#include <string>
#include <thread>

#include "flash/flash.h"
#include "platform/threads.h"
#include "sim/module.h"
#include "sim/nor.h"
#include "tests/fixtures/module_fixture.h"

namespace {

void virtualClock(sim::Config& c) { c.virtualClock = true; }

TEST(FlashLayer, FirstLockStartsTheNorBackEnd) {
  fixture::TempModule m(sim::Cpu::PXA270, virtualClock);
  sim::Module& mod = m.attach();
  ASSERT_EQ(flashKind, FLASH_NONE);
  ASSERT_EQ(lockFlash(FLASH_MUTEX_WAIT_FOREVER), 1);
  EXPECT_EQ(flashKind, FLASH_NOR);
  EXPECT_EQ(flashSize, mod.nor()->size());
  EXPECT_EQ(flashOps.pageSize, nullptr);
  EXPECT_EQ(flashOps.setEcc(1), 0);
  unlockFlash();

  // Started: no further look at the hardware.
  const auto before = mod.nor()->counters();
  EXPECT_EQ(initFlash(), FLASH_NOR);
  EXPECT_EQ(mod.nor()->counters().reads, before.reads);
}

// Modules that are not PXA270 (or whose product cannot be read) go to the NAND back end, which
// does not start yet: the layer reports 0 and the lock is refused.
struct NandCase {
  const char* name;
  sim::Cpu cpu;
  bool kernelService;
};
void PrintTo(const NandCase& c, std::ostream* os) { *os << c.name; }

class NandModules : public ::testing::TestWithParam<NandCase> {};

TEST_P(NandModules, LayerDoesNotStart) {
  fixture::TempModule m(GetParam().cpu, [&](sim::Config& c) {
    c.virtualClock = true;
    c.services.kernel = GetParam().kernelService;
  });
  m.attach();
  EXPECT_EQ(initFlash(), FLASH_NONE);
  EXPECT_EQ(flashKind, FLASH_NONE);
  EXPECT_EQ(lockFlash(FLASH_MUTEX_WAIT_FOREVER), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Modules, NandModules,
    ::testing::Values(NandCase{"Pxa320", sim::Cpu::PXA320, true},
                      NandCase{"Pxa300", sim::Cpu::PXA300, true},
                      NandCase{"Pxa310", sim::Cpu::PXA310, true},
                      NandCase{"Pxa270WithoutKernelService", sim::Cpu::PXA270, false}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(FlashLayer, PrivilegedCodeNeedsNoKernelService) {
  fixture::TempModule m(sim::Cpu::PXA270, [](sim::Config& c) {
    c.virtualClock = true;
    c.privileged = true;
    c.services.kernel = false;
  });
  m.attach();
  EXPECT_EQ(initFlash(), FLASH_NOR);
}

TEST(FlashLayer, FailedStartIsRetriedByTheNextLock) {
  fixture::TempModule m(sim::Cpu::PXA270, [](sim::Config& c) {
    c.virtualClock = true;
    c.nor.faults.manufacturer = 0x0001;
  });
  sim::Module& mod = m.attach();
  const uint32_t marker = 0x12345678;
  ASSERT_TRUE(mod.nor()->rawWrite(0x100, &marker, 4));

  EXPECT_EQ(initFlash(), FLASH_NONE);
  EXPECT_EQ(lockFlash(FLASH_MUTEX_WAIT_FOREVER), 0);
  EXPECT_EQ(flashKind, FLASH_NONE);

  mod.nor()->faults().manufacturer = 0x0089;
  ASSERT_EQ(lockFlash(FLASH_MUTEX_WAIT_FOREVER), 1);
  EXPECT_EQ(flashKind, FLASH_NOR);
  // The failed start left the chips reading their array.
  EXPECT_EQ(flashOps.readWord(0x100), marker);
  unlockFlash();
}

// The lock is the named mutex: while another thread owns it the caller does not get it, and a
// mutex whose owner ended without releasing it (abandoned) is not reported as obtained.
TEST(FlashLayer, LockIsTheNamedMutex) {
  fixture::TempModule m(sim::Cpu::PXA270, virtualClock);
  m.attach();
  ASSERT_EQ(initFlash(), FLASH_NOR);
  const plat::Handle mutex = plat::createMutex(FLASH_MUTEX_NAME, false);
  ASSERT_NE(mutex, 0u);

  std::promise<void> taken;
  std::promise<void> release;
  std::thread owner([&] {
    plat::waitForSingleObject(mutex, plat::INFINITE);
    taken.set_value();
    release.get_future().wait();
    plat::releaseMutex(mutex);
  });
  taken.get_future().wait();
  EXPECT_EQ(lockFlash(0), 0);
  release.set_value();
  owner.join();
  ASSERT_EQ(lockFlash(0), 1);
  unlockFlash();

  std::thread leaver([&] { plat::waitForSingleObject(mutex, plat::INFINITE); });
  leaver.join();
  EXPECT_EQ(lockFlash(FLASH_MUTEX_WAIT_FOREVER), 0);
  // The refused lock keeps no ownership behind: another thread can take the mutex.
  std::thread other([&] {
    EXPECT_EQ(plat::waitForSingleObject(mutex, 0), plat::WAIT_OBJECT_0);
    plat::releaseMutex(mutex);
  });
  other.join();
  EXPECT_EQ(lockFlash(0), 1);
  unlockFlash();
  plat::closeHandle(mutex);
}

}  // namespace
