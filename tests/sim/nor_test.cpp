// The NOR flash model: geometry, command set, status bits, physics, faults, persistence.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "sim/nor.h"

namespace {

namespace fs = std::filesystem;
using sim::NorConfig;
using sim::NorFlash;

constexpr uint32_t both(uint32_t v) { return v | v << 16; }

constexpr uint32_t READ_ARRAY = both(0xFF);
constexpr uint32_t READ_ID = both(0x90);
constexpr uint32_t QUERY = both(0x98);
constexpr uint32_t CLEAR_STATUS = both(0x50);
constexpr uint32_t READ_STATUS = both(0x70);
constexpr uint32_t READY = both(0x80);

// A flash in a temporary contents file.
class NorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/vz-nor-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir_ = templ;
  }
  void TearDown() override {
    nor_.reset();
    fs::remove_all(dir_);
  }
  fs::path file() const { return dir_ / "nor.bin"; }

  NorFlash& make() { return make(small()); }
  NorFlash& make(const NorConfig& config) {
    nor_.reset();
    nor_ = std::make_unique<NorFlash>(config, file(), [this](const char* what) {
      cuts_.push_back(what);
    });
    std::string error;
    EXPECT_TRUE(nor_->open(&error)) << error;
    return *nor_;
  }
  static NorConfig small(uint32_t deviceCode = 0x8818, uint32_t chipSize = 0x100000) {
    NorConfig c;
    c.deviceCode = deviceCode;
    c.chipSize = chipSize;
    return c;
  }

  // The command sequences the program sends, both chips at once.
  static void unlock(NorFlash& nor, uint32_t block) {
    nor.write32(block, both(0x60));
    nor.write32(block, both(0xD0));
    nor.write32(block, READ_ARRAY);
  }
  static uint32_t wordProgram(NorFlash& nor, uint32_t offset, uint32_t value) {
    nor.write32(offset, both(0x40));
    nor.write32(offset, value);
    const uint32_t status = nor.read32(offset);
    nor.write32(offset, READ_ARRAY);
    return status;
  }
  static uint32_t erase(NorFlash& nor, uint32_t block) {
    nor.write32(block, both(0x20));
    nor.write32(block, both(0xD0));
    const uint32_t status = nor.read32(block);
    nor.write32(block, READ_ARRAY);
    return status;
  }
  static uint32_t lockStatus(NorFlash& nor, uint32_t block) {
    nor.write32(0, READ_ID);
    const uint32_t v = nor.read32(block + 8);
    nor.write32(0, READ_ARRAY);
    return v;
  }
  static uint32_t status(NorFlash& nor) {
    nor.write32(0, READ_STATUS);
    const uint32_t v = nor.read32(0);
    nor.write32(0, CLEAR_STATUS);
    nor.write32(0, READ_ARRAY);
    return v;
  }
  // A buffered program of 32-bit words starting at offset; answers the status after confirm.
  static uint32_t bufferProgram(NorFlash& nor, uint32_t offset, const std::vector<uint32_t>& words,
                                uint32_t confirm = both(0xD0)) {
    nor.write32(offset, both(0xE8));
    EXPECT_EQ(nor.read32(offset) & READY, READY) << "buffer available";
    const uint32_t n = static_cast<uint32_t>(words.size()) - 1;
    nor.write32(offset, both(n));
    for (size_t i = 0; i < words.size(); ++i) nor.write32(offset + 4 * uint32_t(i), words[i]);
    const uint32_t last = offset + 4 * n;
    nor.write32(last, confirm);
    const uint32_t v = nor.read32(last);
    nor.write32(last, READ_ARRAY);
    return v;
  }
  uint32_t raw(uint32_t offset) const {
    uint32_t v = 0;
    nor_->rawRead(offset, &v, 4);
    return v;
  }

  fs::path dir_;
  std::unique_ptr<NorFlash> nor_;
  std::vector<std::string> cuts_;
};

// ---- Geometry, identifier and query, for each kind of chip --------------------------------

struct Geometry {
  uint32_t deviceCode;
  uint32_t chipSize;
  bool bottom;
};

class NorGeometryTest : public NorTest, public ::testing::WithParamInterface<Geometry> {};

TEST_P(NorGeometryTest, BlocksIdentifierAndQueryAgree) {
  const Geometry g = GetParam();
  NorFlash& nor = make(small(g.deviceCode, g.chipSize));
  ASSERT_EQ(nor.size(), 2 * g.chipSize);
  EXPECT_EQ(nor.bottomParameterBlocks(), g.bottom);
  EXPECT_EQ(nor.blockSizeAt(0x30000), g.bottom ? 0x10000u : 0x40000u);
  EXPECT_EQ(nor.blockSizeAt(0x40000), 0x40000u);
  EXPECT_EQ(nor.blockSizeAt(nor.size() - 1), 0x40000u);

  // The blocks tile the flash exactly, and each starts where the previous one ended.
  uint32_t offset = 0, blocks = 0;
  while (offset < nor.size()) {
    EXPECT_EQ(nor.blockStart(offset + nor.blockSizeAt(offset) - 1), offset);
    offset += nor.blockSizeAt(offset);
    ++blocks;
  }
  EXPECT_EQ(offset, nor.size());

  nor.write32(0, READ_ID);
  EXPECT_EQ(nor.read32(0), 0x00890089u);
  EXPECT_EQ(nor.read32(4), both(g.deviceCode));

  nor.write32(0, QUERY);
  EXPECT_EQ(nor.read32(0x40), both('Q'));
  EXPECT_EQ(nor.read32(0x44), both('R'));
  EXPECT_EQ(nor.read32(0x48), both('Y'));
  const uint32_t log2 = nor.read32(0x9C) & 0xFF;
  EXPECT_EQ(2u << log2, nor.size());
  // The erase-block regions of the query add up to the chip, with the same block count.
  const uint32_t regions = nor.read32(0x2C * 4) & 0xFF;
  EXPECT_EQ(regions, g.bottom ? 2u : 1u);
  uint32_t chipBytes = 0, chipBlocks = 0;
  for (uint32_t r = 0; r < regions; ++r) {
    const uint32_t at = (0x2D + 4 * r) * 4;
    const uint32_t count = (nor.read32(at) & 0xFF) + ((nor.read32(at + 4) & 0xFF) << 8) + 1;
    const uint32_t size = ((nor.read32(at + 8) & 0xFF) + ((nor.read32(at + 12) & 0xFF) << 8)) * 256;
    chipBytes += count * size;
    chipBlocks += count;
  }
  EXPECT_EQ(chipBytes, g.chipSize);
  EXPECT_EQ(chipBlocks, blocks);

  // Erase takes exactly the block at 0x30000.
  nor.write32(0, READ_ARRAY);
  std::vector<uint8_t> zeros(0x100000, 0);
  nor.rawWrite(0, zeros.data(), zeros.size());
  unlock(nor, 0x30000);
  EXPECT_EQ(erase(nor, 0x30000), READY);
  const uint32_t size = nor.blockSizeAt(0x30000);
  const uint32_t start = nor.blockStart(0x30000);
  EXPECT_EQ(raw(start - 4), 0u);
  EXPECT_EQ(raw(start), 0xFFFFFFFFu);
  EXPECT_EQ(raw(start + size - 4), 0xFFFFFFFFu);
  EXPECT_EQ(raw(start + size), 0u);
}

INSTANTIATE_TEST_SUITE_P(Chips, NorGeometryTest,
                         ::testing::Values(Geometry{0x881A, 0x100000, true},
                                           Geometry{0x8922, 0x200000, true},
                                           Geometry{0x8820, 0x400000, true},
                                           Geometry{0x8818, 0x100000, false},
                                           Geometry{0x0017, 0x200000, false},
                                           Geometry{0x1234, 0x100000, false}),
                         [](const ::testing::TestParamInfo<Geometry>& p) {
                           char name[32];
                           std::snprintf(name, sizeof name, "code%04X_chip%uK", p.param.deviceCode,
                                         p.param.chipSize / 1024);
                           return std::string(name);
                         });

// ---- Physics, status and locks -------------------------------------------------------------

TEST_F(NorTest, StartsErasedAndLocked) {
  NorFlash& nor = make();
  EXPECT_EQ(nor.read32(0), 0xFFFFFFFFu);
  EXPECT_EQ(nor.read32(nor.size() - 4), 0xFFFFFFFFu);
  for (uint32_t b = 0; b < nor.size(); b += nor.blockSizeAt(b)) {
    EXPECT_TRUE(nor.blockLocked(b)) << b;
    EXPECT_EQ(lockStatus(nor, b), both(1)) << b;
  }
}

TEST_F(NorTest, ProgramOnlyClearsBitsAndEraseSetsThem) {
  NorFlash& nor = make();
  unlock(nor, 0x40000);
  EXPECT_FALSE(nor.blockLocked(0x40000));
  EXPECT_EQ(wordProgram(nor, 0x40010, 0x12345678), READY);
  EXPECT_EQ(nor.read32(0x40010), 0x12345678u);
  EXPECT_EQ(wordProgram(nor, 0x40010, 0xFF00FF0F), READY);
  EXPECT_EQ(nor.read32(0x40010), 0x12005608u);
  EXPECT_EQ(wordProgram(nor, 0x40010, 0xFFFFFFFF), READY);  // no bit comes back
  EXPECT_EQ(nor.read32(0x40010), 0x12005608u);
  EXPECT_EQ(erase(nor, 0x40000), READY);
  EXPECT_EQ(nor.read32(0x40010), 0xFFFFFFFFu);
  EXPECT_EQ(nor.counters().programs, 3u);
  EXPECT_EQ(nor.counters().erases, 1u);
}

TEST_F(NorTest, LockedBlockRefusesProgramAndEraseUntilStatusCleared) {
  NorFlash& nor = make();
  const uint32_t before = raw(0x80000);
  EXPECT_EQ(wordProgram(nor, 0x80000, 0), both(0x80 | 0x10 | 0x02));
  EXPECT_EQ(raw(0x80000), before);
  // The error sticks: a good operation elsewhere still shows it, until clear status.
  unlock(nor, 0x40000);
  EXPECT_EQ(wordProgram(nor, 0x40000, 0), both(0x92));
  EXPECT_EQ(nor.read32(0x40000), 0u);
  nor.write32(0, CLEAR_STATUS);
  EXPECT_EQ(erase(nor, 0x80000), both(0x80 | 0x20 | 0x02));
  EXPECT_EQ(status(nor), both(0xA2));
  EXPECT_EQ(status(nor), READY);  // status() cleared it
}

TEST_F(NorTest, LockAndUnlockPerChip) {
  NorFlash& nor = make();
  nor.write16(0x40000, 0x60);  // chip 0 only
  nor.write16(0x40000, 0xD0);
  nor.write32(0, READ_ARRAY);
  EXPECT_EQ(lockStatus(nor, 0x40000), 0x00010000u);
  EXPECT_TRUE(nor.blockLocked(0x40000));
  // Chip 0 programs, chip 1 refuses.
  EXPECT_EQ(wordProgram(nor, 0x40000, 0), 0x00920080u);
  EXPECT_EQ(nor.read32(0x40000), 0xFFFF0000u);
  nor.write32(0, CLEAR_STATUS);
  unlock(nor, 0x40000);
  EXPECT_EQ(lockStatus(nor, 0x40000), 0u);
  EXPECT_EQ(lockStatus(nor, 0x80000), both(1));  // other blocks keep their lock
  nor.write32(0x40000, both(0x60));
  nor.write32(0x40000, both(0x01));
  nor.write32(0, READ_ARRAY);
  EXPECT_EQ(lockStatus(nor, 0x40000), both(1));
}

TEST_F(NorTest, SixteenBitProgramReachesOneChip) {
  NorFlash& nor = make();
  unlock(nor, 0);
  nor.write16(0x102, 0x40);
  nor.write16(0x102, 0x1234);
  EXPECT_EQ(nor.read32(0x100), 0x0080FFFFu);  // chip 1 shows its status, chip 0 the array
  nor.write16(0x102, 0xFF);
  EXPECT_EQ(nor.read32(0x100), 0x1234FFFFu);
}

TEST_F(NorTest, IncompleteSequencesSetSequenceError) {
  NorFlash& nor = make();
  unlock(nor, 0x40000);
  nor.write32(0x40000, both(0x20));
  nor.write32(0x40000, both(0x70));  // not a confirm: nothing is erased
  EXPECT_EQ(nor.read32(0x40000), both(0xB0));
  nor.write32(0x40000, CLEAR_STATUS);
  nor.write32(0x40000, both(0x60));
  nor.write32(0x40000, both(0x55));
  EXPECT_EQ(nor.read32(0x40000), both(0xB0));
  EXPECT_EQ(nor.counters().erases, 0u);
}

TEST_F(NorTest, UnknownCommandIsReportedAndReturnsToArray) {
  NorFlash& nor = make();
  nor.rawWrite(0x100, "\x11\x22\x33\x44", 4);
  nor.write32(0, READ_ID);
  ::testing::internal::CaptureStderr();
  nor.write32(0x100, both(0x77));
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "nor: unknown command 0x77 at 0x00000100\n");
  EXPECT_EQ(nor.read32(0x100), 0x44332211u);
}

// ---- Buffered program ------------------------------------------------------------------------

TEST_F(NorTest, BufferedProgramAsTheProgramSendsIt) {
  NorFlash& nor = make();
  unlock(nor, 0x40000);
  nor.rawWrite(0x40040, "\x0F\x0F\x0F\x0F", 4);
  std::vector<uint32_t> words;
  for (uint32_t i = 0; i < 16; ++i) words.push_back(0xA5A50000 | i);
  EXPECT_EQ(bufferProgram(nor, 0x40040, words), READY);
  for (uint32_t i = 0; i < 16; ++i) {
    EXPECT_EQ(nor.read32(0x40040 + 4 * i), words[i] & (i == 0 ? 0x0F0F0F0Fu : ~0u)) << i;
  }
  EXPECT_EQ(nor.read32(0x40080), 0xFFFFFFFFu);  // not a word past the count
  EXPECT_EQ(nor.counters().programs, 1u);
  // A partial chunk in the middle of a window.
  EXPECT_EQ(bufferProgram(nor, 0x40090, {1, 2, 3}), READY);
  EXPECT_EQ(nor.read32(0x40098), 3u);
  EXPECT_EQ(nor.read32(0x4009C), 0xFFFFFFFFu);
}

struct BadBuffer {
  const char* name;
  uint32_t start;               // where 0xE8 and the first word go
  std::vector<uint32_t> where;  // offsets of the data words
  uint32_t count;               // count - 1 written
  uint32_t confirm;
};

class NorBadBufferTest : public NorTest, public ::testing::WithParamInterface<BadBuffer> {};

TEST_P(NorBadBufferTest, IsASequenceErrorAndProgramsNothing) {
  const BadBuffer& b = GetParam();
  NorFlash& nor = make();
  unlock(nor, 0x40000);
  unlock(nor, 0x80000);
  nor.write32(b.start, both(0xE8));
  nor.write32(b.start, both(b.count));
  for (uint32_t at : b.where) nor.write32(at, 0);
  nor.write32(b.where.empty() ? b.start : b.where.back(), b.confirm);
  EXPECT_EQ(nor.read32(b.start), both(0xB0));
  nor.write32(b.start, READ_ARRAY);
  for (uint32_t at : b.where) EXPECT_EQ(nor.read32(at), 0xFFFFFFFFu) << std::hex << at;
  EXPECT_EQ(nor.counters().programs, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, NorBadBufferTest,
    ::testing::Values(BadBuffer{"NoConfirm", 0x40000, {0x40000, 0x40004}, 1, both(0xFF)},
                      BadBuffer{"OutsideWindow", 0x40038, {0x40038, 0x4003C, 0x40040}, 2,
                                both(0xD0)},
                      BadBuffer{"OtherBlock", 0x7FFF8, {0x80000, 0x80004}, 1, both(0xD0)},
                      BadBuffer{"CountTooLarge", 0x40000, {}, 16, both(0xD0)}),
    [](const ::testing::TestParamInfo<BadBuffer>& p) { return std::string(p.param.name); });

// ---- Faults ----------------------------------------------------------------------------------

TEST_F(NorTest, FaultyBlocksFailOnlyThere) {
  NorConfig c = small();
  c.faults.eraseFailBlock = 0x80004;
  c.faults.programFailBlock = 0xC0000;
  c.faults.lockedBlock = 0x100000;
  NorFlash& nor = make(c);
  for (uint32_t b : {0x40000u, 0x80000u, 0xC0000u, 0x100000u}) {
    unlock(nor, b);
    wordProgram(nor, b + 0x100, 0x11111111);
    nor.write32(0, CLEAR_STATUS);
  }
  EXPECT_EQ(erase(nor, 0x80000), both(0xA0));
  EXPECT_EQ(nor.read32(0x80100), 0x11111111u);
  nor.write32(0, CLEAR_STATUS);
  EXPECT_EQ(wordProgram(nor, 0xC0200, 0), both(0x90));
  EXPECT_EQ(nor.read32(0xC0200), 0xFFFFFFFFu);
  nor.write32(0, CLEAR_STATUS);
  EXPECT_EQ(nor.read32(0xC0100), 0xFFFFFFFFu);  // the earlier program failed too
  EXPECT_EQ(lockStatus(nor, 0x100000), both(1));
  EXPECT_EQ(erase(nor, 0x100000), both(0xA2));
  nor.write32(0, CLEAR_STATUS);
  // A healthy block.
  EXPECT_EQ(nor.read32(0x40100), 0x11111111u);
  EXPECT_EQ(erase(nor, 0x40000), READY);
  // Faults change at run time.
  nor.faults().programFailBlock = -1;
  EXPECT_EQ(wordProgram(nor, 0xC0200, 0), READY);
  EXPECT_EQ(nor.read32(0xC0200), 0u);
}

TEST_F(NorTest, NeverReadyChipsKeepStatusBusy) {
  NorConfig c = small();
  c.faults.neverReady = true;
  NorFlash& nor = make(c);
  unlock(nor, 0x40000);
  nor.write32(0x40000, both(0x40));
  nor.write32(0x40000, 0);
  EXPECT_EQ(nor.read32(0x40000) & READY, 0u);
  nor.write32(0x40000, both(0x99));  // ignored while busy
  EXPECT_EQ(nor.read32(0x40000) & READY, 0u);
  nor.write32(0x40000, READ_ARRAY);
  EXPECT_EQ(nor.read32(0x40000), 0xFFFFFFFFu);
  nor.write32(0x40000, both(0xE8));
  EXPECT_EQ(nor.read32(0x40000) & READY, 0u);  // the buffer never becomes available
  nor.write32(0x40000, READ_ARRAY);
  nor.write32(0x40000, both(0x20));
  nor.write32(0x40000, both(0xD0));
  EXPECT_EQ(nor.read32(0x40000) & READY, 0u);
}

TEST_F(NorTest, WrongManufacturer) {
  NorConfig c = small();
  c.faults.manufacturer = 0x00B0;
  NorFlash& nor = make(c);
  nor.write32(0, READ_ID);
  EXPECT_EQ(nor.read32(0), both(0xB0));
}

TEST_F(NorTest, PowerCutStrikesAtTheNthProgramOrEraseAfterCarryingItOut) {
  NorConfig c = small();
  c.faults.powerCutAfter = 3;
  NorFlash& nor = make(c);
  unlock(nor, 0x40000);  // lock commands do not count
  wordProgram(nor, 0x40000, 0x11111111);
  erase(nor, 0x80000);  // refused (locked) but still an erase command
  EXPECT_TRUE(cuts_.empty());
  bufferProgram(nor, 0x40040, {0x22222222, 0x33333333});
  ASSERT_EQ(cuts_, std::vector<std::string>{"nor program"});
  EXPECT_EQ(raw(0x40044), 0x33333333u);
  wordProgram(nor, 0x40100, 0);
  EXPECT_EQ(cuts_.size(), 1u);
}

TEST_F(NorTest, PowerCutLeavesExactlyWhatWasDone) {
  // In a child process that ends at the power cut, as the module does.
  EXPECT_EXIT(
      {
        NorConfig c = small();
        c.faults.powerCutAfter = 2;
        NorFlash nor(c, file(), [](const char*) { ::_exit(3); });
        std::string error;
        if (!nor.open(&error)) ::_exit(9);
        unlock(nor, 0x40000);
        wordProgram(nor, 0x40000, 0x12345678);
        wordProgram(nor, 0x40004, 0x9ABCDEF0);
        wordProgram(nor, 0x40008, 0);
        ::_exit(0);
      },
      ::testing::ExitedWithCode(3), "");
  NorFlash& nor = make();
  EXPECT_EQ(nor.read32(0x40000), 0x12345678u);
  EXPECT_EQ(nor.read32(0x40004), 0x9ABCDEF0u);
  EXPECT_EQ(nor.read32(0x40008), 0xFFFFFFFFu);
  EXPECT_TRUE(nor.blockLocked(0x40000));  // a new power-on
}

// ---- Contents file and bulk reads -----------------------------------------------------------

TEST_F(NorTest, ContentsFileIsTheBusViewAndRefusesTheWrongSize) {
  {
    NorFlash& nor = make();
    unlock(nor, 0);
    wordProgram(nor, 8, 0x04030201);
  }
  nor_.reset();
  std::ifstream in(file(), std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_EQ(bytes.size(), 0x200000u);
  EXPECT_EQ(std::string(bytes.data() + 8, 4), "\x01\x02\x03\x04");
  EXPECT_EQ(bytes[12], '\xFF');

  NorFlash bigger(small(0x8818, 0x200000), file(), {});
  std::string error;
  EXPECT_FALSE(bigger.open(&error));
  EXPECT_NE(error.find(file().string()), std::string::npos) << error;
  EXPECT_EQ(error.find('\n'), std::string::npos);

  NorFlash odd(small(0x8818, 0x300000), dir_ / "other.bin", {});
  EXPECT_FALSE(odd.open(&error));
  EXPECT_NE(error.find("other.bin"), std::string::npos) << error;
}

TEST_F(NorTest, BlockReadsCopyInArrayModeAndFollowTheModeOtherwise) {
  NorFlash& nor = make();
  std::vector<uint8_t> pattern(0x1000);
  for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(i * 7);
  ASSERT_TRUE(nor.rawWrite(0x2000, pattern.data(), pattern.size()));
  std::vector<uint8_t> got(pattern.size());
  const uint64_t reads = nor.counters().reads;
  nor.readBlock(0x2000, got.data(), got.size());
  EXPECT_EQ(got, pattern);
  EXPECT_EQ(nor.counters().reads, reads + 1);
  nor.readBlock(0x2003, got.data(), 5);  // unaligned
  EXPECT_TRUE(std::equal(got.begin(), got.begin() + 5, pattern.begin() + 3));

  nor.write32(0, READ_ID);
  uint32_t id[3] = {};
  nor.readBlock(0, id, sizeof id);
  EXPECT_EQ(id[0], 0x00890089u);
  EXPECT_EQ(id[1], both(0x8818));
  EXPECT_EQ(id[2], both(1));

  EXPECT_FALSE(nor.rawWrite(nor.size() - 2, "abcd", 4));
  EXPECT_FALSE(nor.rawRead(nor.size(), id, 4));
}

}  // namespace
