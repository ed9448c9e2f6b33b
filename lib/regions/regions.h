#pragma once
// The catalogue of flash regions, the image-recognition routines and the library's shared state.
//
// Flash contents recognised here (all numbers little-endian 32-bit words):
//   Windows CE ROM image: at image offset 0x40 the signature "ECEC" (0x43454345), then the
//     virtual address of the ROM header and the image offset of the ROM header. The ROM header
//     is 84 bytes (RomHeader below). An image may also sit 0x8000 bytes behind the offset
//     (a loader stage in front of it).
//   Compressed image: "COMP" (0x504D4F43), two words, the length of what follows the 20-byte
//     header, two words.
//   Bootloader version information block: 0x01234567, a 12-byte VersionInfo {id, major,
//     minorBuild}, 0x89ABCDEF; anywhere on a 4-byte boundary.
//   Config block: first word 0xCF014000; its data ends at the first erased word.
//   Trailer behind an OS image: "SSCR" (0x52435353), a word, the length of the data that
//     follows the 16-byte header, a word.
//   Registry copy: 0x01234567, then the length of the registry data that follows the header.
#include <cstdint>

#include "platform/storage.h"

using RslResult = int32_t;

struct FlashRegion {
  uint32_t flags;
  uint32_t start;
  uint32_t length;
  uint32_t used;
};

constexpr uint32_t REGION_BOOTLOADER = 0x1;
constexpr uint32_t REGION_CONFIG_BLOCK = 0x2;
constexpr uint32_t REGION_OS_IMAGE = 0x4;
constexpr uint32_t REGION_REGISTRY = 0x8;
constexpr uint32_t REGION_FILE_SYSTEM = 0x10;
constexpr uint32_t REGION_SECOND_BOOTLOADER = 0x20;
constexpr uint32_t REGION_CPLD = 0x400;
constexpr uint32_t IMAGE_HAS_RECORDS = 0x800000;
constexpr uint32_t REGION_NOT_LOCATED = 0x1000000;
constexpr uint32_t REGION_FIRST_BOOTLOADER = 0x2000000;
constexpr uint32_t REGION_ALL = 0x00FFFFFF;

// Results of this unit.
constexpr RslResult RSL_OK = 0;
constexpr RslResult RSL_NOT_INITIALISED = 3;
constexpr RslResult RSL_NO_MEMORY = 9;
constexpr RslResult RSL_NO_REGION = 11;

constexpr int REGION_TABLE_SIZE = 7;  // six records and a closing all-zero record

// The records RSLInit starts each kind from, closed by an all-zero record.
extern const FlashRegion DefaultRegions[REGION_TABLE_SIZE];

// Working catalogue, sorted by start after every RSLInit; loops stop at flags 0.
extern FlashRegion RegionTable[REGION_TABLE_SIZE];
extern uint32_t libraryInitialised;    // set by the start-up sequence; never cleared
extern char16_t storeDeviceName[32];   // device name of the "Internal Flash" store, or empty
extern uint32_t partitionsUsed;        // bytes in use in that store's partitions
extern uint32_t fsRegionIndex;         // index of the file-system record in RegionTable
extern uint8_t* workBuffer;            // the library's one large copy buffer
extern uint32_t workBufferSize;        // 0 when none is held

constexpr uint32_t WORK_BUFFER_MAX = 0x200000;

// OEM information item 5.
struct ImageLayout {
  uint32_t osImageStart;
  uint32_t registryStart;
  uint32_t registryCopySize;       // the registry region is twice this size
  uint32_t secondBootloaderStart;  // 0 = none
  uint32_t reserved[2];
};
static_assert(sizeof(ImageLayout) == 24);

// The 84-byte ROM header of a Windows CE ROM image.
struct RomHeader {
  uint32_t dllFirst;
  uint32_t dllLast;
  uint32_t physFirst;   // first address of the image
  uint32_t physLast;    // address just behind the image
  uint32_t moduleCount;
  uint32_t ramStart;
  uint32_t ramFree;
  uint32_t ramEnd;
  uint32_t copyEntries;
  uint32_t copyOffset;
  uint32_t profileLength;
  uint32_t profileOffset;
  uint32_t fileCount;
  uint32_t kernelFlags;
  uint32_t fsRamPercent;
  uint32_t driverGlobalsStart;
  uint32_t driverGlobalsLength;
  uint16_t cpuType;
  uint16_t miscFlags;
  uint32_t extensions;
  uint32_t trackingStart;
  uint32_t trackingLength;
};
static_assert(sizeof(RomHeader) == 84);

constexpr uint32_t ROM_SIGNATURE_OFFSET = 0x40;
constexpr uint32_t ROM_SIGNATURE = 0x43454345;      // "ECEC"
constexpr uint32_t ROM_LOADER_STAGE = 0x8000;       // an image may sit this far behind its offset
constexpr uint32_t COMPRESSED_SIGNATURE = 0x504D4F43;  // "COMP"
constexpr uint32_t COMPRESSED_HEADER_SIZE = 20;
constexpr uint32_t INFO_BLOCK_START = 0x01234567;
constexpr uint32_t INFO_BLOCK_END = 0x89ABCDEF;
constexpr uint32_t CONFIG_BLOCK_MAGIC = 0xCF014000;
constexpr uint32_t TRAILER_SIGNATURE = 0x52435353;  // "SSCR"
constexpr uint32_t TRAILER_HEADER_SIZE = 16;
constexpr uint32_t REGISTRY_MAGIC = 0x01234567;
constexpr uint32_t REGISTRY_HEADER_SIZE = 8;
constexpr uint32_t FIRST_BOOTLOADER_WORD_OFFSET = 16;  // holds 2 in a first-stage bootloader
constexpr uint32_t FIRST_BOOTLOADER_MARK = 2;

// The span of flash that the banner search copies.
constexpr uint32_t TEXT_SEARCH_START = 0x8000;
constexpr uint32_t TEXT_SEARCH_LENGTH = 0x20000;

constexpr uint32_t OEM_READ_ITEM = 0x01012028;
constexpr uint32_t OEM_ITEM_IMAGE_LAYOUT = 5;
constexpr uint32_t DISK_IOCTL_SECTOR_ADDRESSES = 0x00071C50;  // one flash address per sector
constexpr uint32_t SECTOR_UNMAPPED = 0xFFFFFFFFu;

// Rebuilds the records of the kinds in mask from what the flash holds. Always answers 0.
RslResult RSLInit(uint32_t mask);
// Merges the located records whose flags share a bit with request->flags into request; list
// (optional, room for REGION_TABLE_SIZE records) receives the matches and a closing zero record.
// 3 before the library is initialised, 11 when nothing matches.
RslResult queryRegions(FlashRegion* request, FlashRegion* list);
// Display name of a region kind; null when flags name no single kind.
const char16_t* regionName(uint32_t flags);

// OEM item 5; true when it was delivered (layout is untouched otherwise).
bool readImageLayout(ImageLayout* layout);
// Bytes of the image at a flash offset: ROM image (also 0x8000 behind it) or compressed image;
// 0 when none is recognised.
uint32_t imageSize(uint32_t offset);
// True when a plausible ROM image starts at offset; header receives its ROM header and
// headerPosition (optional) the header's flash offset.
bool romHeaderAt(uint32_t offset, RomHeader* header, uint32_t* headerPosition);
// True when a version information block lies in [start, start + length); out receives its
// 12 middle bytes (a VersionInfo).
bool findInfoBlock(void* out, uint32_t start, uint32_t length);

// A copy of flash TEXT_SEARCH_START .. + TEXT_SEARCH_LENGTH, NUL-terminated behind its last
// byte so that the text after a find can be scanned safely.
struct FlashTextCopy {
  char* bytes;
  uint32_t size;
};
// Searches the copy for the 8-bit text. Found: answers the position just behind it, inside
// copy->bytes; the caller owns the copy and releases it with freeTextCopy once it is done with
// the answer. Not found (or no memory): answers null and copy is left empty. freeTextCopy on
// an empty copy does nothing, so callers may always call it.
const char* findText(const char* text, FlashTextCopy* copy);
void freeTextCopy(FlashTextCopy* copy);

// Bytes in use of the store's partitions as their file systems report them; 0 on failure.
uint32_t partitionUsedBytes(plat::Handle store);
// Bytes of the store's sectors that hold data (the driver maps them to flash); 0 on failure.
uint32_t mappedSectorBytes(plat::Handle store, const plat::StoreInfo* storeInfo);

// Allocates workBuffer: 2 MB, halved until the allocation succeeds. 0, or 9 when none can be had.
// Answers 0 at once when a buffer is already held.
RslResult allocWorkBuffer();
void freeWorkBuffer();
