// The region catalogue built from realistic NOR flash contents.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>

#include "flash/flash.h"
#include "lib/regions/regions.h"
#include "platform/registry.h"
#include "tests/fixtures/flash_images.h"
#include "tests/lib/region_support.h"

using fixture::Bytes;
using regiontest::Edit;
using regiontest::indexOf;
using regiontest::NorModule;
using regiontest::Piece;
using regiontest::Pieces;
using regiontest::recordOf;

namespace {

constexpr uint32_t BOOT = 0x00000000;
constexpr uint32_t CONFIG = 0x00040000;
constexpr uint32_t OS = 0x00080000;
constexpr uint32_t REGISTRY = 0x01400000;
constexpr uint32_t FS = 0x01480000;

template <class Case>
std::string caseName(const ::testing::TestParamInfo<Case>& info) {
  return info.param.name;
}

fixture::RomImageSpec osImageSpec(uint32_t size) {
  return {.size = size, .physFirst = 0x80200000, .headerOffset = 0x2000, .seed = 11};
}

// A module as it leaves production: bootloader, config block, OS image with a trailer, and a
// registry in the first copy; the file-system store is not registered.
Pieces productionFlash() {
  return {
      {BOOT, fixture::bootloader({})},
      {CONFIG, fixture::configBlock(0x600)},
      {OS, fixture::romImage(osImageSpec(0x200002))},
      {OS + 0x200004, fixture::trailerBlock(0x1000)},
      {REGISTRY, fixture::registryCopy(0x2345)},
  };
}

TEST(RegionTable, ProductionFlashGivesTheWholeCatalogueInFlashOrder) {
  NorModule module(productionFlash());
  ASSERT_EQ(RSLInit(REGION_ALL), 0);

  const FlashRegion expected[REGION_TABLE_SIZE] = {
      {REGION_BOOTLOADER, BOOT, 0x40000, 0x1C000},
      {REGION_NOT_LOCATED | REGION_SECOND_BOOTLOADER, 0, 0x40000, 0},
      {REGION_CONFIG_BLOCK, CONFIG, 0x40000, 0x600},
      {REGION_OS_IMAGE, OS, REGISTRY - OS, 0x200004 + 0x1000 + 16},
      {REGION_REGISTRY, REGISTRY, 0x80000, 0x2345 + 8},
      {REGION_NOT_LOCATED | REGION_FILE_SYSTEM, FS, flashSize - FS, 0},
      {0, 0, 0, 0},
  };
  for (int i = 0; i < REGION_TABLE_SIZE; ++i) EXPECT_EQ(RegionTable[i], expected[i]) << i;
  EXPECT_EQ(fsRegionIndex, 5u);
  EXPECT_EQ(storeDeviceName[0], u'\0');

  // Unchanged flash scans the same again.
  ASSERT_EQ(RSLInit(REGION_ALL), 0);
  for (int i = 0; i < REGION_TABLE_SIZE; ++i) EXPECT_EQ(RegionTable[i], expected[i]) << i;
}

TEST(RegionTable, ScanningOneKindLeavesTheOthersAsTheyWere) {
  NorModule module({{BOOT, fixture::romImage({.size = 0x10000})},
                    {REGISTRY, fixture::registryCopy(0x100)}});
  RSLInit(REGION_ALL);
  ASSERT_EQ(recordOf(REGION_REGISTRY).used, 0x108u);

  fixture::place(module.mod().nor(), BOOT, fixture::romImage({.size = 0x18000, .markWord = 2}));
  fixture::place(module.mod().nor(), REGISTRY, fixture::registryCopy(0x200));
  RSLInit(REGION_BOOTLOADER);
  EXPECT_EQ(recordOf(REGION_BOOTLOADER),
            (FlashRegion{REGION_FIRST_BOOTLOADER | REGION_BOOTLOADER, BOOT, 0x40000, 0x18000}));
  EXPECT_EQ(recordOf(REGION_REGISTRY).used, 0x108u);

  RSLInit(REGION_ALL);
  EXPECT_EQ(recordOf(REGION_REGISTRY).used, 0x208u);
}

// --- bootloader ---

struct BootCase {
  std::string name;
  Bytes contents;
  uint32_t flags;
  uint32_t used;
  std::string shownAs;
};
void PrintTo(const BootCase& c, std::ostream* os) { *os << c.name; }

class BootloaderScan : public ::testing::TestWithParam<BootCase> {};

TEST_P(BootloaderScan, RecognisesTheImageAndTheFirstStageMark) {
  const BootCase& c = GetParam();
  NorModule module({{BOOT, c.contents}});
  RSLInit(REGION_ALL);
  EXPECT_EQ(recordOf(REGION_BOOTLOADER), (FlashRegion{c.flags, BOOT, 0x40000, c.used}));
  EXPECT_EQ(regiontest::name(recordOf(REGION_BOOTLOADER).flags), c.shownAs);
  EXPECT_EQ(indexOf(REGION_BOOTLOADER), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BootloaderScan,
    ::testing::Values(
        BootCase{"RomImage", fixture::romImage({.size = 0x1C000}), REGION_BOOTLOADER, 0x1C000,
                 "Bootloader"},
        BootCase{"FirstStage", fixture::romImage({.size = 0x9000, .markWord = 2}),
                 REGION_FIRST_BOOTLOADER | REGION_BOOTLOADER, 0x9000, "First Bootloader"},
        BootCase{"OtherMark", fixture::romImage({.size = 0x9000, .markWord = 3}),
                 REGION_BOOTLOADER, 0x9000, "Bootloader"},
        BootCase{"BehindLoaderStage",
                 fixture::romImage({.size = 0x10000, .loaderStage = 0x8000, .markWord = 2}),
                 REGION_FIRST_BOOTLOADER | REGION_BOOTLOADER, 0x18000, "First Bootloader"},
        BootCase{"Compressed", fixture::compressedImage(0x12345), REGION_BOOTLOADER,
                 0x12345 + 20, "Bootloader"},
        BootCase{"MarkWithoutImage", regiontest::word16(2),
                 REGION_NOT_LOCATED | REGION_BOOTLOADER, 0, "Bootloader"},
        BootCase{"Erased", Bytes{}, REGION_NOT_LOCATED | REGION_BOOTLOADER, 0, "Bootloader"}),
    caseName<BootCase>);

// --- config block ---

struct ConfigCase {
  std::string name;
  Bytes contents;
  uint32_t used;
};
void PrintTo(const ConfigCase& c, std::ostream* os) { *os << c.name; }

class ConfigScan : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(ConfigScan, MeasuresTheDataUpToTheFirstErasedWord) {
  const ConfigCase& c = GetParam();
  NorModule module({{CONFIG, c.contents}});
  RSLInit(REGION_ALL);
  EXPECT_EQ(recordOf(REGION_CONFIG_BLOCK),
            (FlashRegion{REGION_CONFIG_BLOCK, CONFIG, 0x40000, c.used}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConfigScan,
    ::testing::Values(ConfigCase{"Erased", Bytes{}, 0},
                      ConfigCase{"OtherFirstWord", fixture::filler(0x400, 21), 0},
                      ConfigCase{"MagicOnly", fixture::configBlock(4), 4},
                      ConfigCase{"WithinFirstRead", fixture::configBlock(0x604), 0x604},
                      ConfigCase{"ExactlyOneRead", fixture::configBlock(0x1000), 0x1000},
                      ConfigCase{"SpansReads", fixture::configBlock(0x2F0C), 0x2F0C},
                      ConfigCase{"NoErasedWord", fixture::configBlock(0x40000), 0x40000}),
    caseName<ConfigCase>);

// --- OS image ---

struct OsCase {
  std::string name;
  Edit edit;
  Pieces pieces;
  uint32_t flags;
  uint32_t start;
  uint32_t end;  // start + length; 0 = the end of flash
  uint32_t used;
};
void PrintTo(const OsCase& c, std::ostream* os) { *os << c.name; }

class OsImageScan : public ::testing::TestWithParam<OsCase> {};

TEST_P(OsImageScan, SizesTheImageWithItsTrailer) {
  const OsCase& c = GetParam();
  NorModule module(c.pieces, c.edit);
  RSLInit(REGION_ALL);
  const uint32_t end = c.end != 0 ? c.end : flashSize;
  EXPECT_EQ(recordOf(REGION_OS_IMAGE), (FlashRegion{c.flags, c.start, end - c.start, c.used}));
}

Edit osAt(uint32_t start) {
  return [start](sim::Config& cfg) { cfg.layout.osImageStart = start; };
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OsImageScan,
    ::testing::Values(
        OsCase{"None", {}, {}, REGION_NOT_LOCATED | REGION_OS_IMAGE, OS, REGISTRY, 0},
        OsCase{"Aligned", {}, {{OS, fixture::romImage(osImageSpec(0x30000))}}, REGION_OS_IMAGE,
               OS, REGISTRY, 0x30000},
        OsCase{"UnalignedRoundsUp", {}, {{OS, fixture::romImage(osImageSpec(0x30002))}},
               REGION_OS_IMAGE, OS, REGISTRY, 0x30004},
        OsCase{"TrailerBehind",
               {},
               {{OS, fixture::romImage(osImageSpec(0x30002))},
                {OS + 0x30004, fixture::trailerBlock(0x800)}},
               REGION_OS_IMAGE, OS, REGISTRY, 0x30004 + 0x800 + 16},
        OsCase{"TrailerNotAtTheRoundedEnd",
               {},
               {{OS, fixture::romImage(osImageSpec(0x30002))},
                {OS + 0x30002, fixture::trailerBlock(0x800)}},
               REGION_OS_IMAGE, OS, REGISTRY, 0x30004},
        OsCase{"Compressed", {}, {{OS, fixture::compressedImage(0x4001)}}, REGION_OS_IMAGE, OS,
               REGISTRY, 0x4018},
        OsCase{"PlacedByTheImageLayout", osAt(0x100000),
               {{0x100000, fixture::romImage(osImageSpec(0x40000))}}, REGION_OS_IMAGE, 0x100000,
               REGISTRY, 0x40000},
        OsCase{"AtTheEndOfFlash", osAt(0x1C00000),
               {{0x1C00000, fixture::romImage(osImageSpec(0x40000))}}, REGION_OS_IMAGE,
               0x1C00000, 0, 0x40000},
        OsCase{"LayoutUnread",
               [](sim::Config& cfg) {
                 cfg.layout.osImageStart = 0x100000;
                 cfg.services.readItem = false;
               },
               {{OS, fixture::romImage(osImageSpec(0x30000))}}, REGION_OS_IMAGE, OS, REGISTRY,
               0x30000}),
    caseName<OsCase>);

TEST(RegionTable, OsImageAtTheEndIsTheLastRecord) {
  NorModule module({{0x1C00000, fixture::romImage(osImageSpec(0x40000))}}, osAt(0x1C00000));
  RSLInit(REGION_ALL);
  EXPECT_EQ(indexOf(REGION_OS_IMAGE), 5);
  EXPECT_EQ(indexOf(REGION_FILE_SYSTEM), 4);
  EXPECT_EQ(fsRegionIndex, 4u);
}

// --- registry ---

struct RegistryCase {
  std::string name;
  Edit edit;
  Pieces pieces;
  uint32_t start;
  uint32_t length;
  uint32_t used;
};
void PrintTo(const RegistryCase& c, std::ostream* os) { *os << c.name; }

class RegistryScan : public ::testing::TestWithParam<RegistryCase> {};

TEST_P(RegistryScan, TakesTheSizeFromEitherCopy) {
  const RegistryCase& c = GetParam();
  NorModule module(c.pieces, c.edit);
  RSLInit(REGION_ALL);
  EXPECT_EQ(recordOf(REGION_REGISTRY), (FlashRegion{REGION_REGISTRY, c.start, c.length, c.used}));
}

Edit registryAt(uint32_t start, uint32_t copySize) {
  return [=](sim::Config& cfg) {
    cfg.layout.registryStart = start;
    cfg.layout.registryCopySize = copySize;
  };
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RegistryScan,
    ::testing::Values(
        RegistryCase{"FirstCopy", {}, {{REGISTRY, fixture::registryCopy(0x1234)}}, REGISTRY,
                     0x80000, 0x123C},
        RegistryCase{"SecondCopyOnly", {}, {{REGISTRY + 0x40000, fixture::registryCopy(0x1234)}},
                     REGISTRY, 0x80000, 0x123C},
        RegistryCase{"BothCopiesFirstWins",
                     {},
                     {{REGISTRY, fixture::registryCopy(0x100)},
                      {REGISTRY + 0x40000, fixture::registryCopy(0x2000)}},
                     REGISTRY, 0x80000, 0x108},
        RegistryCase{"Neither", {}, {}, REGISTRY, 0x80000, 0},
        RegistryCase{"PlacedByTheImageLayout", registryAt(0x1800000, 0x20000),
                     {{0x1820000, fixture::registryCopy(0x777)}}, 0x1800000, 0x40000, 0x77F},
        RegistryCase{"LayoutUnread",
                     [](sim::Config& cfg) {
                       cfg.layout.registryStart = 0x1800000;
                       cfg.services.readItem = false;
                     },
                     {{REGISTRY + 0x40000, fixture::registryCopy(0x10)}}, REGISTRY, 0x80000,
                     0x18}),
    caseName<RegistryCase>);

// --- second bootloader ---

struct SecondCase {
  std::string name;
  Edit edit;
  Pieces pieces;
  FlashRegion record;
  int index;
};
void PrintTo(const SecondCase& c, std::ostream* os) { *os << c.name; }

class SecondBootloaderScan : public ::testing::TestWithParam<SecondCase> {};

TEST_P(SecondBootloaderScan, FollowsTheImageLayout) {
  const SecondCase& c = GetParam();
  NorModule module(c.pieces, c.edit);
  RSLInit(REGION_ALL);
  EXPECT_EQ(recordOf(REGION_SECOND_BOOTLOADER), c.record);
  EXPECT_EQ(indexOf(REGION_SECOND_BOOTLOADER), c.index);
}

// A first-stage bootloader at the start of flash and the second bootloader behind the config
// block, in front of the OS image.
Edit secondAt(uint32_t start) {
  return [start](sim::Config& cfg) {
    cfg.layout.secondBootloaderStart = start;
    cfg.layout.osImageStart = 0x100000;
  };
}

const Piece firstStage{BOOT, fixture::romImage({.size = 0x8000, .markWord = 2})};

INSTANTIATE_TEST_SUITE_P(
    Cases, SecondBootloaderScan,
    ::testing::Values(
        SecondCase{"NoneSortsBehindTheBootloader",
                   {},
                   {{BOOT, fixture::bootloader({})}},
                   {REGION_NOT_LOCATED | REGION_SECOND_BOOTLOADER, 0, CONFIG, 0},
                   1},
        SecondCase{"Located",
                   secondAt(0x80000),
                   {firstStage, {0x80000, fixture::bootloader({.image = {.size = 0x30000}})}},
                   {REGION_SECOND_BOOTLOADER, 0x80000, 0x80000, 0x30000},
                   2},
        SecondCase{"LayoutWithoutImage",
                   secondAt(0x80000),
                   {firstStage},
                   {REGION_NOT_LOCATED | REGION_SECOND_BOOTLOADER, 0x80000, 0x80000, 0},
                   2},
        SecondCase{"LayoutUnread",
                   [](sim::Config& cfg) {
                     cfg.layout.secondBootloaderStart = 0x80000;
                     cfg.services.readItem = false;
                   },
                   {firstStage, {0x80000, fixture::bootloader({.image = {.size = 0x30000}})}},
                   {REGION_NOT_LOCATED | REGION_SECOND_BOOTLOADER, 0, CONFIG, 0},
                   1}),
    caseName<SecondCase>);

// --- file system ---

void setDword(const char16_t* key, const char16_t* name, uint32_t value) {
  plat::HKey k = 0;
  uint32_t disposition = 0;
  ASSERT_EQ(plat::regCreateKeyEx(plat::HKEY_LOCAL_MACHINE, key, &k, &disposition), 0);
  ASSERT_EQ(plat::regSetValueEx(k, name, plat::REG_DWORD, &value, sizeof(value)), 0);
  plat::regCloseKey(k);
}

void deleteValue(const char16_t* key, const char16_t* name) {
  plat::HKey k = 0;
  ASSERT_EQ(plat::regOpenKeyEx(plat::HKEY_LOCAL_MACHINE, key, 0, plat::KEY_ALL_ACCESS, &k), 0);
  ASSERT_EQ(plat::regDeleteValue(k, name), 0);
  plat::regCloseKey(k);
}

// The virtual module registers no flash store: the record stays not located wherever the
// driver's registry values put it, and its index follows it through the sort.
TEST(FileSystemScan, WithoutAFlashStoreStaysNotLocated) {
  NorModule module({});
  RSLInit(REGION_ALL);
  EXPECT_EQ(recordOf(REGION_FILE_SYSTEM),
            (FlashRegion{REGION_NOT_LOCATED | REGION_FILE_SYSTEM, FS, flashSize - FS, 0}));
  EXPECT_EQ(storeDeviceName[0], u'\0');
  EXPECT_EQ(fsRegionIndex, static_cast<uint32_t>(indexOf(REGION_FILE_SYSTEM)));
}

TEST(FileSystemScan, TakesItsPlaceFromTheDriverKey) {
  NorModule module({});
  setDword(u"Drivers\\BuiltIn\\StrataFMD", u"MemBase", 0x01000000);
  deleteValue(u"Drivers\\BuiltIn\\StrataFMD", u"MemLen");
  RSLInit(REGION_ALL);
  // Without a length the record reaches up to the registry behind it.
  EXPECT_EQ(recordOf(REGION_FILE_SYSTEM),
            (FlashRegion{REGION_NOT_LOCATED | REGION_FILE_SYSTEM, 0x01000000,
                         REGISTRY - 0x01000000, 0}));
  EXPECT_EQ(indexOf(REGION_FILE_SYSTEM), 4);
  EXPECT_EQ(fsRegionIndex, 4u);
}

TEST(FileSystemScan, FallsBackToTheBlockDeviceKey) {
  NorModule module({});
  ASSERT_EQ(plat::regDeleteKey(plat::HKEY_LOCAL_MACHINE, u"Drivers\\BuiltIn\\StrataFMD"), 0);
  setDword(u"Drivers\\BlockDevice\\StrataFMD", u"MemBase", 0x01600000);
  setDword(u"Drivers\\BlockDevice\\StrataFMD", u"MemLen", 0x00200000);
  RSLInit(REGION_ALL);
  EXPECT_EQ(recordOf(REGION_FILE_SYSTEM),
            (FlashRegion{REGION_NOT_LOCATED | REGION_FILE_SYSTEM, 0x01600000, 0x00200000, 0}));
}

// --- queries ---

TEST(QueryRegions, RefusesBeforeTheLibraryIsInitialised) {
  FlashRegion request{REGION_ALL, 0, 0, 0};
  EXPECT_EQ(queryRegions(&request, nullptr), 3);
}

struct QueryCase {
  std::string name;
  uint32_t mask;
  RslResult result;
  FlashRegion merged;
  std::vector<uint32_t> kinds;  // of the records listed, in order
};
void PrintTo(const QueryCase& c, std::ostream* os) { *os << c.name; }

class QueryRegions : public ::testing::TestWithParam<QueryCase> {};

TEST_P(QueryRegions, MergesTheLocatedRecords) {
  const QueryCase& c = GetParam();
  Pieces flash = productionFlash();
  flash[0] = {BOOT, fixture::bootloader({.image = {.size = 0x1C000, .markWord = 2}})};
  NorModule module(flash);
  RSLInit(REGION_ALL);
  libraryInitialised = 1;

  FlashRegion request{c.mask, 0x1234, 0x5678, 0x9ABC};
  FlashRegion list[REGION_TABLE_SIZE];
  for (FlashRegion& r : list) r = FlashRegion{0xEEEEEEEE, 1, 2, 3};
  ASSERT_EQ(queryRegions(&request, list), c.result);
  if (c.result != 0) {
    EXPECT_EQ(request, (FlashRegion{c.mask, 0x1234, 0x5678, 0x9ABC}));
    return;
  }
  EXPECT_EQ(request, c.merged);
  for (size_t i = 0; i < c.kinds.size(); ++i) {
    EXPECT_EQ(list[i], recordOf(c.kinds[i])) << i;
  }
  EXPECT_EQ(list[c.kinds.size()], (FlashRegion{0, 0, 0, 0}));
}

constexpr uint32_t OS_USED = 0x200004 + 0x1000 + 16;

INSTANTIATE_TEST_SUITE_P(
    Cases, QueryRegions,
    ::testing::Values(
        QueryCase{"FirstBootloader", REGION_BOOTLOADER, 0,
                  {REGION_FIRST_BOOTLOADER | REGION_BOOTLOADER, BOOT, 0x40000, 0x1C000},
                  {REGION_BOOTLOADER}},
        QueryCase{"BothBootloadersFindsTheFirst", REGION_BOOTLOADER | REGION_SECOND_BOOTLOADER, 0,
                  {REGION_FIRST_BOOTLOADER | REGION_BOOTLOADER, BOOT, 0x40000, 0x1C000},
                  {REGION_BOOTLOADER}},
        QueryCase{"OnlyNotLocated", REGION_FILE_SYSTEM | REGION_SECOND_BOOTLOADER, 11, {}, {}},
        QueryCase{"NoKind", REGION_CPLD, 11, {}, {}},
        QueryCase{"Span", REGION_BOOTLOADER | REGION_CONFIG_BLOCK | REGION_OS_IMAGE, 0,
                  {REGION_FIRST_BOOTLOADER | REGION_OS_IMAGE | REGION_CONFIG_BLOCK |
                       REGION_BOOTLOADER,
                   BOOT, REGISTRY, 0x1C000 + 0x600 + OS_USED},
                  {REGION_BOOTLOADER, REGION_CONFIG_BLOCK, REGION_OS_IMAGE}},
        QueryCase{"Gap", REGION_CONFIG_BLOCK | REGION_REGISTRY, 0,
                  {REGION_CONFIG_BLOCK | REGION_REGISTRY, CONFIG, REGISTRY + 0x80000 - CONFIG,
                   0x600 + 0x2345 + 8},
                  {REGION_CONFIG_BLOCK, REGION_REGISTRY}}),
    caseName<QueryCase>);

TEST(RegionName, NamesEachKind) {
  const struct {
    uint32_t flags;
    const char* name;
  } cases[] = {
      {0, "No Region"},
      {REGION_NOT_LOCATED, "No Region"},
      {REGION_BOOTLOADER, "Bootloader"},
      {REGION_NOT_LOCATED | REGION_BOOTLOADER, "Bootloader"},
      {REGION_FIRST_BOOTLOADER | REGION_BOOTLOADER, "First Bootloader"},
      {REGION_CONFIG_BLOCK, "Config Block"},
      {REGION_OS_IMAGE, "OS Image"},
      {REGION_REGISTRY, "Registry"},
      {REGION_FILE_SYSTEM, "File System"},
      {REGION_NOT_LOCATED | REGION_SECOND_BOOTLOADER, "Second Bootloader"},
      {REGION_CPLD, "CPLD Firmware"},
      {REGION_CPLD | IMAGE_HAS_RECORDS, "(none)"},
      {REGION_BOOTLOADER | REGION_CONFIG_BLOCK, "(none)"},
  };
  for (const auto& c : cases) EXPECT_EQ(regiontest::name(c.flags), c.name) << std::hex << c.flags;
}

}  // namespace
