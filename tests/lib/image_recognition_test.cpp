// Image recognition on flash, the image layout item, and the shared work buffer.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <string>

#include "flash/flash.h"
#include "lib/regions/regions.h"
#include "platform/storage.h"
#include "tests/fixtures/flash_images.h"
#include "tests/lib/region_support.h"

using fixture::Bytes;
using regiontest::Edit;
using regiontest::NorModule;
using regiontest::Pieces;

namespace {

template <class Case>
std::string caseName(const ::testing::TestParamInfo<Case>& info) {
  return info.param.name;
}

constexpr uint32_t AT = 0x100000;  // where the images of the recognition cases sit

// --- ROM header plausibility, through imageSize ---

struct RomCase {
  std::string name;
  Bytes contents;
  uint32_t size;
};
void PrintTo(const RomCase& c, std::ostream* os) { *os << c.name; }

class ImageSize : public ::testing::TestWithParam<RomCase> {};

TEST_P(ImageSize, AcceptsOnlyPlausibleRomHeaders) {
  const RomCase& c = GetParam();
  NorModule module({{AT, c.contents}});
  EXPECT_EQ(imageSize(AT), c.size);
}

fixture::RomImageSpec rom(uint32_t physFirst, bool pointerMatches, bool ramOrdered) {
  fixture::RomImageSpec s{.size = 0x10000, .physFirst = physFirst,
                          .headerPointerMatches = pointerMatches};
  if (!ramOrdered) s.ramFree = s.ramEnd + 0x1000;
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ImageSize,
    ::testing::Values(
        RomCase{"PointerAndRam", fixture::romImage(rom(0x80000000, true, true)), 0x10000},
        RomCase{"PointerOnly", fixture::romImage(rom(0x80000000, true, false)), 0x10000},
        RomCase{"RamOnly", fixture::romImage(rom(0x80000000, false, true)), 0x10000},
        RomCase{"Neither", fixture::romImage(rom(0x80000000, false, false)), 0},
        RomCase{"BelowTheRomWindow", fixture::romImage(rom(0x7FFF0000, true, true)), 0},
        RomCase{"EndsAtTheWindowTop", fixture::romImage(rom(0x8FFF0000, true, true)), 0},
        RomCase{"EndsBelowTheWindowTop", fixture::romImage(rom(0x8FFE0000, true, true)),
                0x10000},
        RomCase{"BehindALoaderStage",
                fixture::romImage({.size = 0x10000, .loaderStage = 0x8000}), 0x18000},
        RomCase{"Compressed", fixture::compressedImage(0x100), 0x114},
        RomCase{"Erased", Bytes{}, 0}),
    caseName<RomCase>);

TEST(RomHeaderAt, HandsBackTheHeaderAndWhereItLies) {
  NorModule module({{AT, fixture::romImage({.size = 0x20000, .physFirst = 0x80400000,
                                            .headerOffset = 0x3000})}});
  RomHeader header{};
  uint32_t position = 0;
  ASSERT_TRUE(romHeaderAt(AT, &header, &position));
  EXPECT_EQ(position, AT + 0x3000);
  EXPECT_EQ(header.physFirst, 0x80400000u);
  EXPECT_EQ(header.physLast, 0x80420000u);
  EXPECT_EQ(header.ramStart, 0x80100000u);
  EXPECT_FALSE(romHeaderAt(AT + 0x8000, &header, nullptr));
}

// --- version information blocks ---

struct InfoCase {
  std::string name;
  Pieces pieces;
  uint32_t start;
  uint32_t length;
  bool found;
  uint32_t words[3];
};
void PrintTo(const InfoCase& c, std::ostream* os) { *os << c.name; }

class FindInfoBlock : public ::testing::TestWithParam<InfoCase> {};

TEST_P(FindInfoBlock, FindsTheBlockBetweenItsMarkers) {
  const InfoCase& c = GetParam();
  NorModule module(c.pieces);
  uint32_t out[3] = {0xAAAAAAAA, 0xAAAAAAAA, 0xAAAAAAAA};
  ASSERT_EQ(findInfoBlock(out, c.start, c.length), c.found);
  if (c.found) {
    EXPECT_EQ(out[0], c.words[0]);
    EXPECT_EQ(out[1], c.words[1]);
    EXPECT_EQ(out[2], c.words[2]);
  }
}

fixture::Bytes loaderWithInfo(uint32_t infoOffset, uint32_t major, uint32_t minorBuild) {
  return fixture::bootloader({.infoOffset = infoOffset, .major = major, .minorBuild = minorBuild});
}

// A start marker whose end marker is missing, in front of a real block.
fixture::Bytes loaderWithFalseStart() {
  fixture::Bytes b = loaderWithInfo(0x3000, 2, 0x00030007);
  fixture::putWord(b, 0x1000, 0x01234567);
  return b;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FindInfoBlock,
    ::testing::Values(
        InfoCase{"InTheBootloader", {{0, loaderWithInfo(0x2000, 1, 5)}}, 0, 0x40000, true,
                 {1, 1, 5}},
        InfoCase{"BehindTheRange", {{0, loaderWithInfo(0x2000, 1, 5)}}, 0, 0x2000, false, {}},
        InfoCase{"InFrontOfTheRange", {{0, loaderWithInfo(0x2000, 1, 5)}}, 0x3000, 0x1000, false,
                 {}},
        InfoCase{"FalseStartMarker", {{0, loaderWithFalseStart()}}, 0, 0x40000, true,
                 {1, 2, 0x00030007}},
        InfoCase{"AcrossAReadBoundary", {{0, loaderWithInfo(0x2FFC, 1, 9)}}, 0, 0x40000, true,
                 {1, 1, 9}},
        InfoCase{"SecondBootloader", {{0x80000, loaderWithInfo(0x2000, 1, 6)}}, 0x80000,
                 0x1C000, true, {1, 1, 6}},
        InfoCase{"Erased", {}, 0, 0x40000, false, {}}),
    caseName<InfoCase>);

// --- banner text ---

struct TextCase {
  std::string name;
  Edit edit;
  uint32_t bannerAt;  // 0 = no banner
  bool found;
};
void PrintTo(const TextCase& c, std::ostream* os) { *os << c.name; }

class FindText : public ::testing::TestWithParam<TextCase> {};

constexpr char BANNER_LEAD[] = "Microsoft Windows CE Ethernet Bootloader ";

TEST_P(FindText, SearchesTheLoaderAreaCopy) {
  const TextCase& c = GetParam();
  fixture::BootloaderSpec spec{.image = {.size = 0x30000}, .withInfo = false};
  if (c.bannerAt != 0) {
    spec.withBanner = true;
    spec.bannerOffset = c.bannerAt;
  }
  NorModule module({{0, fixture::bootloader(spec)}}, c.edit);

  FlashTextCopy copy{reinterpret_cast<char*>(1), 1};
  const char* after = findText(BANNER_LEAD, &copy);
  ASSERT_EQ(after != nullptr, c.found);
  if (!c.found) {
    EXPECT_EQ(copy.bytes, nullptr);
    freeTextCopy(&copy);
    return;
  }
  ASSERT_NE(copy.bytes, nullptr);
  EXPECT_EQ(after - copy.bytes,
            static_cast<long>(c.bannerAt - TEXT_SEARCH_START + std::strlen(BANNER_LEAD)));
  // The text behind the banner can be scanned straight from the answer.
  int major = 0;
  int minorBuild = 0;
  char month[36] = {};
  int day = 0;
  int year = 0;
  EXPECT_EQ(std::sscanf(after, "%d.%d for Dovaduz Rirovad Built %35s %d %d", &major,
                        &minorBuild, month, &day, &year),
            5);
  EXPECT_EQ(major, 1);
  EXPECT_EQ(minorBuild, 5);
  EXPECT_STREQ(month, "Jan");
  EXPECT_EQ(day, 12);
  EXPECT_EQ(year, 2009);
  freeTextCopy(&copy);
  EXPECT_EQ(copy.bytes, nullptr);
  freeTextCopy(&copy);  // a second release does nothing
}

constexpr uint32_t SEARCH_END = TEXT_SEARCH_START + TEXT_SEARCH_LENGTH;

INSTANTIATE_TEST_SUITE_P(
    Cases, FindText,
    ::testing::Values(
        TextCase{"InTheLoaderArea", {}, 0x9000, true},
        TextCase{"AtTheStartOfTheArea", {}, TEXT_SEARCH_START, true},
        TextCase{"StartsInFrontOfTheArea", {}, TEXT_SEARCH_START - 8, false},
        TextCase{"RunsPastTheArea", {}, SEARCH_END - 20, false},
        TextCase{"NoBanner", {}, 0, false},
        TextCase{"NoMemoryForTheCopy", [](sim::Config& cfg) { cfg.maxAlloc = 0x10000; }, 0x9000,
                 false}),
    caseName<TextCase>);

// The banner lead ending on the last byte of the area: found, and the answer is the copy's
// terminator.
TEST(FindText, LeadEndingAtTheAreaEnd) {
  const uint32_t at = SEARCH_END - static_cast<uint32_t>(std::strlen(BANNER_LEAD));
  Bytes lead(BANNER_LEAD, BANNER_LEAD + std::strlen(BANNER_LEAD));
  NorModule module({{at, lead}});
  FlashTextCopy copy{};
  const char* after = findText(BANNER_LEAD, &copy);
  ASSERT_NE(after, nullptr);
  EXPECT_EQ(after, copy.bytes + TEXT_SEARCH_LENGTH);
  EXPECT_EQ(*after, '\0');
  freeTextCopy(&copy);
}

// --- image layout item ---

TEST(ReadImageLayout, DeliversItemFive) {
  NorModule module({}, [](sim::Config& cfg) {
    cfg.layout.osImageStart = 0x00100000;
    cfg.layout.registryStart = 0x01800000;
    cfg.layout.registryCopySize = 0x00020000;
    cfg.layout.secondBootloaderStart = 0x00080000;
  });
  ImageLayout layout{};
  ASSERT_TRUE(readImageLayout(&layout));
  EXPECT_EQ(layout.osImageStart, 0x00100000u);
  EXPECT_EQ(layout.registryStart, 0x01800000u);
  EXPECT_EQ(layout.registryCopySize, 0x00020000u);
  EXPECT_EQ(layout.secondBootloaderStart, 0x00080000u);
}

TEST(ReadImageLayout, UnservedLeavesTheLayoutAlone) {
  NorModule module({}, [](sim::Config& cfg) { cfg.services.readItem = false; });
  ImageLayout layout{0x80000, 1, 2, 3, {4, 5}};
  EXPECT_FALSE(readImageLayout(&layout));
  EXPECT_EQ(layout.osImageStart, 0x80000u);
  EXPECT_EQ(layout.secondBootloaderStart, 3u);
}

// --- work buffer ---

struct BufferCase {
  std::string name;
  uint64_t maxAlloc;
  uint32_t size;
};
void PrintTo(const BufferCase& c, std::ostream* os) { *os << c.name; }

class WorkBuffer : public ::testing::TestWithParam<BufferCase> {};

TEST_P(WorkBuffer, SettlesOnTheLargestPowerOfTwoThatFits) {
  const BufferCase& c = GetParam();
  NorModule module({}, [&](sim::Config& cfg) { cfg.maxAlloc = c.maxAlloc; });
  ASSERT_EQ(allocWorkBuffer(), 0);
  EXPECT_EQ(workBufferSize, c.size);
  ASSERT_NE(workBuffer, nullptr);
  workBuffer[c.size - 1] = 0x5A;  // the whole size is usable

  // A held buffer is kept as it is.
  uint8_t* held = workBuffer;
  ASSERT_EQ(allocWorkBuffer(), 0);
  EXPECT_EQ(workBuffer, held);
  EXPECT_EQ(workBufferSize, c.size);

  freeWorkBuffer();
  EXPECT_EQ(workBuffer, nullptr);
  EXPECT_EQ(workBufferSize, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WorkBuffer,
    ::testing::Values(BufferCase{"NoLimit", 0, 0x200000},
                      BufferCase{"LimitAtTwoMegabytes", 0x200000, 0x200000},
                      BufferCase{"JustUnderTwoMegabytes", 0x1FFFFF, 0x100000},
                      BufferCase{"Pressure", 0x90000, 0x80000},
                      BufferCase{"SevereShortage", 0x1800, 0x1000}),
    caseName<BufferCase>);

// --- store sizes ---

TEST(StoreSizes, AStoreThatCannotBeAskedCountsNothing) {
  NorModule module({});
  plat::StoreInfo info{};
  info.cbSize = 240;
  info.snNumSectors = 100;
  info.dwBytesPerSector = 512;
  EXPECT_EQ(mappedSectorBytes(plat::INVALID_HANDLE, &info), 0u);
  EXPECT_EQ(partitionUsedBytes(plat::INVALID_HANDLE), 0u);
}

}  // namespace
