// The NOR back end against the virtual module's NOR chips.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "flash/flash.h"
#include "flash/nor/nor.h"
#include "platform/threads.h"
#include "sim/module.h"
#include "sim/nor.h"
#include "tests/fixtures/module_fixture.h"

void PrintTo(const NorDeviceType& t, std::ostream* os) {
  *os << "device code 0x" << std::hex << t.deviceCode << std::dec << ", type " << int{t.type};
}

namespace {

constexpr uint32_t BOTTOM_TYPE = 0x881A;  // type 3: 64 KB blocks below 0x40000
constexpr uint32_t UNIFORM_TYPE = 0x8818;
constexpr uint32_t CHIP_SIZE = 0x200000;  // 4 MB on the bus
constexpr uint32_t FLASH_SIZE = 2 * CHIP_SIZE;

// A PXA270 module with a virtual clock, the flash layer started and locked.
struct NorModule {
  explicit NorModule(uint32_t deviceCode = BOTTOM_TYPE, uint32_t chipSize = CHIP_SIZE)
      : temp(sim::Cpu::PXA270,
             [&](sim::Config& c) {
               c.virtualClock = true;
               c.nor.deviceCode = deviceCode;
               c.nor.chipSize = chipSize;
             }),
        mod(temp.attach()),
        nor(*mod.nor()) {}

  bool start() { return lockFlash(FLASH_MUTEX_WAIT_FOREVER) == 1 && flashKind == FLASH_NOR; }

  void fill(uint32_t offset, uint32_t length, uint8_t value) {
    std::vector<uint8_t> bytes(length, value);
    ASSERT_TRUE(nor.rawWrite(offset, bytes.data(), bytes.size()));
  }
  std::vector<uint8_t> raw(uint32_t offset, uint32_t length) const {
    std::vector<uint8_t> bytes(length);
    EXPECT_TRUE(nor.rawRead(offset, bytes.data(), bytes.size()));
    return bytes;
  }
  bool allBytes(uint32_t offset, uint32_t length, uint8_t value) const {
    for (uint8_t b : raw(offset, length)) {
      if (b != value) return false;
    }
    return true;
  }

  fixture::TempModule temp;
  sim::Module& mod;
  sim::NorFlash& nor;
};

std::vector<uint8_t> pattern(size_t length, uint32_t seed) {
  std::vector<uint8_t> bytes(length);
  for (auto& b : bytes) {
    seed = seed * 1103515245u + 12345u;
    b = static_cast<uint8_t>(seed >> 16);
  }
  return bytes;
}

// Every device code of the table (and one unknown code): chip type, and block sizes that match
// the chips' own geometry at the offsets where it changes.
class Geometry : public ::testing::TestWithParam<NorDeviceType> {};

TEST_P(Geometry, BlockSizesMatchTheChips) {
  NorModule n(GetParam().deviceCode);
  ASSERT_TRUE(n.start());
  EXPECT_EQ(NorChipType, GetParam().type);
  EXPECT_EQ(flashSize, FLASH_SIZE);
  for (uint32_t offset : {0u, 0x30000u, 0x3FFFFu, 0x40000u, FLASH_SIZE - 1}) {
    EXPECT_EQ(flashOps.blockSize(offset), n.nor.blockSizeAt(offset)) << offset;
  }
  const bool small = GetParam().type == 3 || GetParam().type == 5;
  EXPECT_EQ(flashOps.blockSize(0x30000), small ? 0x10000u : 0x40000u);
  EXPECT_EQ(flashOps.blockSize(0x40000), 0x40000u);
}

std::vector<NorDeviceType> deviceTypes() {
  std::vector<NorDeviceType> all(norDeviceTypes, norDeviceTypes + NOR_DEVICE_TYPES);
  all.push_back({0x1234, 0});
  return all;
}

INSTANTIATE_TEST_SUITE_P(DeviceCodes, Geometry, ::testing::ValuesIn(deviceTypes()),
                         [](const auto& row) {
                           char name[16];
                           std::snprintf(name, sizeof name, "Code%04X", row.param.deviceCode);
                           return std::string(name);
                         });

TEST(NorStart, SizeFromQuery) {
  NorModule n(UNIFORM_TYPE, 0x800000);
  ASSERT_TRUE(n.start());
  EXPECT_EQ(flashSize, 0x1000000u);
}

TEST(NorStart, SizeCappedAt64Mb) {
  NorModule n(UNIFORM_TYPE, 0x4000000);  // 128 MB on the bus
  ASSERT_TRUE(n.start());
  EXPECT_EQ(flashSize, 0x4000000u);
  EXPECT_EQ(flashOps.read(nullptr, 0x4000000, 0), 0);
}

TEST(NorStart, UnlocksAllButTheFirst256Kb) {
  NorModule n;
  ASSERT_TRUE(n.start());
  for (uint32_t offset = 0; offset < 0x40000; offset += 0x10000) EXPECT_TRUE(n.nor.blockLocked(offset));
  for (uint32_t offset = 0x40000; offset < FLASH_SIZE; offset += 0x40000) {
    EXPECT_FALSE(n.nor.blockLocked(offset)) << offset;
  }
  // Erase unlocks a bootloader block when it reaches it.
  n.fill(0x10000, 4, 0);
  EXPECT_EQ(flashOps.erase(0x10000, 0x10000), 1);
  EXPECT_FALSE(n.nor.blockLocked(0x10000));
  EXPECT_TRUE(n.nor.blockLocked(0x20000));
  EXPECT_TRUE(n.allBytes(0x10000, 0x10000, 0xFF));
}

// Erase ranges on a chip with small blocks at the bottom. The flash holds zeros everywhere, so
// every covered block is erased and nothing else changes.
struct EraseCase {
  const char* name;
  uint32_t start;
  uint32_t length;
  bool ok;
  uint32_t from, to;  // bytes that read erased afterwards
  uint32_t blocks;    // erase commands
  uint32_t total;     // progress total
};
void PrintTo(const EraseCase& c, std::ostream* os) { *os << c.name; }

class EraseRange : public ::testing::TestWithParam<EraseCase> {};

std::vector<std::pair<uint32_t, uint32_t>> progressCalls;
int recordProgress(uint32_t done, uint32_t total) {
  progressCalls.emplace_back(done, total);
  return 1;
}

TEST_P(EraseRange, ErasesTheCoveredBlocks) {
  const EraseCase& c = GetParam();
  NorModule n;
  ASSERT_TRUE(n.start());
  n.fill(0, FLASH_SIZE, 0);
  setProgress(recordProgress, 0);
  EXPECT_EQ(flashOps.erase(c.start, c.length), c.ok ? 1 : 0);
  EXPECT_EQ(n.nor.counters().erases, c.blocks);
  if (c.from < c.to) {
    EXPECT_TRUE(n.allBytes(c.from, c.to - c.from, 0xFF));
    if (c.from > 0) {
      EXPECT_TRUE(n.allBytes(c.from - 4, 4, 0));
    }
    if (c.to < FLASH_SIZE) {
      EXPECT_TRUE(n.allBytes(c.to, 4, 0));
    }
  } else {
    EXPECT_TRUE(n.allBytes(0, FLASH_SIZE, 0));
  }
  // One report before each block with the bytes done so far; never (total, total).
  ASSERT_EQ(progressCalls.size(), c.blocks);
  uint32_t done = 0;
  for (const auto& [reported, total] : progressCalls) {
    EXPECT_EQ(reported, done);
    EXPECT_EQ(total, c.total);
    done += flashOps.blockSize(c.from + done);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, EraseRange,
    ::testing::Values(
        EraseCase{"SmallIntoLargeBlock", 0x30000, 0x20000, true, 0x30000, 0x80000, 2, 0x40000},
        EraseCase{"SmallBlocksThenLarge", 0, 0x50000, true, 0, 0x80000, 5, 0x80000},
        EraseCase{"InsideSmallBlock", 0x10010, 0x20, true, 0x10000, 0x20000, 1, 0x10000},
        EraseCase{"TwoLargeBlocks", 0x40000, 0x40001, true, 0x40000, 0xC0000, 2, 0x80000},
        EraseCase{"ZeroLengthAligned", 0x40000, 0, true, 0, 0, 0, 0},
        EraseCase{"ZeroLengthUnaligned", 0x40010, 0, true, 0x40000, 0x80000, 1, 0x40000},
        EraseCase{"EndsAtFlashEnd", FLASH_SIZE - 0x40000, 0x40000, true, FLASH_SIZE - 0x40000,
                  FLASH_SIZE, 1, 0x40000},
        EraseCase{"EndsBeyondFlash", FLASH_SIZE - 0x40000, 0x40001, false, 0, 0, 0, 0},
        EraseCase{"LastBlockPartly", FLASH_SIZE - 0x40000, 0x3FFFF, true,
                  FLASH_SIZE - 0x40000, FLASH_SIZE, 1, 0x40000},
        EraseCase{"StartsBeyondFlash", FLASH_SIZE + 0x40000, 4, false, 0, 0, 0, 0},
        EraseCase{"HugeLength", 0x40000, 0xFFFFFFFF, false, 0, 0, 0, 0}),
    [](const auto& row) { return std::string(row.param.name); });

// Progress with an interval: reports when the bytes done reach the next mark.
int abortAt = -1;
int countedProgress(uint32_t done, uint32_t total) {
  progressCalls.emplace_back(done, total);
  return static_cast<int>(progressCalls.size()) - 1 == abortAt ? 0 : 1;
}

TEST(NorErase, ProgressEveryInterval) {
  NorModule n;
  ASSERT_TRUE(n.start());
  n.fill(0x100000, 0x100000, 0);
  setProgress(countedProgress, 0x80000);
  EXPECT_EQ(flashOps.erase(0x100000, 0x100000), 1);
  EXPECT_EQ(progressCalls, (std::vector<std::pair<uint32_t, uint32_t>>{{0, 0x100000},
                                                                       {0x80000, 0x100000}}));
  EXPECT_EQ(n.nor.counters().erases, 4u);
}

TEST(NorErase, ProgressAbortStopsBeforeTheNextBlock) {
  NorModule n;
  ASSERT_TRUE(n.start());
  n.fill(0x100000, 0x100000, 0);
  setProgress(countedProgress, 0);
  abortAt = 0;  // the first report (0, total): nothing erased
  EXPECT_EQ(flashOps.erase(0x100000, 0x100000), 0);
  EXPECT_EQ(n.nor.counters().erases, 0u);
  EXPECT_TRUE(n.allBytes(0x100000, 0x100000, 0));

  progressCalls.clear();
  abortAt = 2;  // two blocks erased, and they stay erased
  EXPECT_EQ(flashOps.erase(0x100000, 0x100000), 0);
  EXPECT_EQ(n.nor.counters().erases, 2u);
  EXPECT_TRUE(n.allBytes(0x100000, 0x80000, 0xFF));
  EXPECT_TRUE(n.allBytes(0x180000, 0x80000, 0));
}

TEST(NorErase, SkipsBlocksThatReadErased) {
  NorModule n(UNIFORM_TYPE);
  ASSERT_TRUE(n.start());
  n.fill(0xFFFFC, 4, 0x7F);  // only the last word of the block at 0xC0000 is programmed
  EXPECT_EQ(flashOps.erase(0x80000, 0xC0000), 1);
  EXPECT_EQ(n.nor.counters().erases, 1u);
  EXPECT_TRUE(n.allBytes(0xFFFFC, 4, 0xFF));
}

// Faults of the chips. The status error bits stay set until the next start clears them, so
// each fault gets a module of its own.
TEST(NorErase, EraseErrorFails) {
  NorModule n;
  ASSERT_TRUE(n.start());
  n.fill(0x80000, 0x40000, 0);
  n.nor.faults().eraseFailBlock = 0x80000;
  EXPECT_EQ(flashOps.erase(0x80000, 0x40000), 0);
  EXPECT_EQ(n.nor.counters().erases, 1u);
  EXPECT_EQ(flashOps.readWord(0x80004), 0u);  // read-array again after the failure
}

TEST(NorErase, BlockThatStaysLockedFails) {
  NorModule n;
  ASSERT_TRUE(n.start());
  n.fill(0xC0000, 0x40000, 0);
  n.nor.faults().lockedBlock = 0xC0000;
  n.nor.setBlockLocked(0xC0000, true);
  EXPECT_EQ(flashOps.erase(0xC0000, 0x40000), 0);
  EXPECT_EQ(n.nor.counters().erases, 0u);  // no erase command for a locked block
  EXPECT_TRUE(n.allBytes(0xC0000, 0x40000, 0));
}

TEST(NorStart, BlockThatStaysLockedDoesNotStopTheStart) {
  fixture::TempModule m(sim::Cpu::PXA270, [](sim::Config& c) {
    c.virtualClock = true;
    c.nor.faults.lockedBlock = 0x80000;
  });
  sim::Module& mod = m.attach();
  ASSERT_EQ(initFlash(), FLASH_NOR);
  EXPECT_TRUE(mod.nor()->blockLocked(0x80000));
  EXPECT_FALSE(mod.nor()->blockLocked(0xC0000));
}

// Chips that never report ready: each operation gives up after its time-out on the module's
// clock (virtual here, so no real time passes).
TEST(NorTimeouts, EachOperationGivesUpAfterItsTimeout) {
  NorModule n;
  ASSERT_TRUE(n.start());
  n.fill(0x80000, 4, 0);
  n.nor.faults().neverReady = true;
  struct {
    const char* name;
    std::function<int()> operation;
    uint32_t timeout;
  } cases[] = {
      {"erase", [] { return flashOps.erase(0x80000, 4); }, 10000},
      {"writeWord", [] { return flashOps.writeWord(0xC0000, 0); }, 1000},
      {"write", [] {
         const uint32_t words[2] = {1, 2};
         return flashOps.write(words, 0x100000, 8);
       }, 2000},
  };
  for (const auto& c : cases) {
    const uint32_t t0 = plat::getTickCount();
    EXPECT_EQ(c.operation(), 0) << c.name;
    const uint32_t elapsed = plat::getTickCount() - t0;
    EXPECT_GE(elapsed, c.timeout) << c.name;
    EXPECT_LT(elapsed, c.timeout + 200) << c.name;
  }
}

TEST(NorWrite, ChunksEndAt64ByteBoundaries) {
  NorModule n;
  ASSERT_TRUE(n.start());
  const auto data = pattern(100, 1);
  const uint64_t before = n.nor.counters().programs;
  EXPECT_EQ(flashOps.write(data.data(), 0x41030, 100), 1);
  EXPECT_EQ(n.nor.counters().programs - before, 3u);  // 16, 64 and 20 bytes
  EXPECT_EQ(n.raw(0x41030, 100), data);
  EXPECT_TRUE(n.allBytes(0x41000, 0x30, 0xFF));
  EXPECT_TRUE(n.allBytes(0x41094, 0x10, 0xFF));
  std::vector<uint8_t> back(100);
  EXPECT_EQ(flashOps.read(back.data(), 0x41030, 100), 1);
  EXPECT_EQ(back, data);
}

TEST(NorWrite, LengthRoundsUpToWholeWords) {
  NorModule n;
  ASSERT_TRUE(n.start());
  const auto data = pattern(8, 2);  // a write of 6 bytes takes 8 from the source
  EXPECT_EQ(flashOps.write(data.data(), 0x80000, 6), 1);
  EXPECT_EQ(n.raw(0x80000, 8), data);
  EXPECT_TRUE(n.allBytes(0x80008, 4, 0xFF));

  const uint64_t before = n.nor.counters().programs;
  EXPECT_EQ(flashOps.write(data.data(), 0x80100, 0), 1);
  EXPECT_EQ(flashOps.write(data.data(), 0, 0), 1);  // read-array at the first word
  EXPECT_EQ(n.nor.counters().programs, before);
  std::vector<uint8_t> back(8);
  EXPECT_EQ(flashOps.read(back.data(), 0x80000, 8), 1);
  EXPECT_EQ(back, data);
}

TEST(NorWrite, LargeWriteReadsBack) {
  NorModule n;
  ASSERT_TRUE(n.start());
  const auto data = pattern(0x1000, 3);
  const uint64_t before = n.nor.counters().programs;
  EXPECT_EQ(flashOps.write(data.data(), 0xC0000, 0x1000), 1);
  EXPECT_EQ(n.nor.counters().programs - before, 0x1000u / 64);
  std::vector<uint8_t> back(0x1000);
  EXPECT_EQ(flashOps.read(back.data(), 0xC0000, 0x1000), 1);
  EXPECT_EQ(back, data);
}

// Every program error is reported, by word and buffered program alike, and the error does not
// stay behind to fail later operations.
TEST(NorWrite, ProgramErrors) {
  NorModule n;
  ASSERT_TRUE(n.start());
  EXPECT_EQ(flashOps.writeWord(0x10000, 0x12345678), 0);  // bootloader blocks stay locked
  EXPECT_EQ(flashOps.readWord(0x10000), 0xFFFFFFFFu);
  EXPECT_EQ(flashOps.writeWord(0xC0000, 0x12345678), 1) << "the lock error must not stick";
}

TEST(NorWrite, ProgramFaultIsReportedAndDoesNotStick) {
  NorModule n;
  ASSERT_TRUE(n.start());
  n.nor.faults().programFailBlock = 0x80000;
  EXPECT_EQ(flashOps.writeWord(0x80000, 0x12345678), 0);
  EXPECT_EQ(flashOps.readWord(0x80000), 0xFFFFFFFFu);
  const auto data = pattern(256, 4);
  const uint64_t before = n.nor.counters().programs;
  EXPECT_EQ(flashOps.write(data.data(), 0x80040, 256), 0);
  EXPECT_EQ(n.nor.counters().programs - before, 1u) << "the write stops at the failed chunk";
  EXPECT_TRUE(n.allBytes(0x80040, 256, 0xFF));
  // Later operations elsewhere succeed.
  EXPECT_EQ(flashOps.write(data.data(), 0xC0000, 256), 1);
  EXPECT_EQ(n.raw(0xC0000, 256), data);
  EXPECT_EQ(flashOps.writeWord(0xC1000, 0x0F0F0F0F), 1);
}

TEST(NorErase, FailedEraseDoesNotFailTheNext) {
  NorModule n;
  ASSERT_TRUE(n.start());
  n.fill(0x80000, 16, 0x00);
  n.fill(0xC0000, 16, 0x00);
  n.nor.faults().eraseFailBlock = 0x80000;
  EXPECT_EQ(flashOps.erase(0x80000, 0x40000), 0);
  EXPECT_EQ(flashOps.erase(0xC0000, 0x40000), 1);
  EXPECT_TRUE(n.allBytes(0xC0000, 16, 0xFF));
}

TEST(NorWrite, WordProgram) {
  NorModule n;
  ASSERT_TRUE(n.start());
  EXPECT_EQ(flashOps.writeWord(0xC0000, 0x12345678), 1);
  EXPECT_EQ(flashOps.readWord(0xC0000), 0x12345678u);
  EXPECT_EQ(n.nor.counters().programs, 1u);
}

TEST(NorBounds, OffsetsAndLengthsAgainstFlashSize) {
  NorModule n;
  ASSERT_TRUE(n.start());
  uint8_t buffer[8] = {};
  EXPECT_EQ(flashOps.read(buffer, 0x10, 0), 1);
  EXPECT_EQ(flashOps.read(buffer, FLASH_SIZE - 4, 4), 1);
  EXPECT_EQ(flashOps.read(buffer, FLASH_SIZE - 4, 8), 0);
  EXPECT_EQ(flashOps.read(buffer, FLASH_SIZE, 0), 0);
  EXPECT_EQ(flashOps.read(buffer, 0x10, 0xFFFFFFF8), 0);

  n.fill(FLASH_SIZE - 4, 4, 0x5A);
  EXPECT_EQ(flashOps.readWord(FLASH_SIZE - 4), 0x5A5A5A5Au);
  EXPECT_EQ(flashOps.readWord(FLASH_SIZE), 0u);

  EXPECT_EQ(flashOps.writeWord(FLASH_SIZE, 0), 0);
  EXPECT_EQ(flashOps.write(buffer, FLASH_SIZE - 4, 8), 0);
  EXPECT_EQ(flashOps.write(buffer, FLASH_SIZE, 0), 0);
  EXPECT_EQ(flashOps.write(buffer, FLASH_SIZE - 2, 1), 0);  // its word would reach beyond
  EXPECT_EQ(n.nor.counters().programs, 0u);
  EXPECT_EQ(flashOps.write(buffer, FLASH_SIZE - 8, 8), 1);
}

TEST(NorRead, CopiesTheWholeFlash) {
  NorModule n;
  ASSERT_TRUE(n.start());
  const auto data = pattern(FLASH_SIZE, 5);
  ASSERT_TRUE(n.nor.rawWrite(0, data.data(), data.size()));
  std::vector<uint8_t> back(FLASH_SIZE);
  for (uint32_t offset = 0; offset < FLASH_SIZE; offset += 0x100000) {
    ASSERT_EQ(flashOps.read(back.data() + offset, offset, 0x100000), 1);
  }
  EXPECT_EQ(back, data);
  EXPECT_EQ(flashOps.read(back.data(), 3, 5), 1);  // any byte offset and length
  EXPECT_EQ(std::vector<uint8_t>(back.begin(), back.begin() + 5),
            std::vector<uint8_t>(data.begin() + 3, data.begin() + 8));
}

}  // namespace
