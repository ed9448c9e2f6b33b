#pragma once
// The catalogue of flash regions and the library's shared state.
#include <cstdint>

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

constexpr int REGION_TABLE_SIZE = 7;  // six records and a closing all-zero record

extern FlashRegion RegionTable[REGION_TABLE_SIZE];
extern uint32_t libraryInitialised;
extern char16_t storeDeviceName[32];
extern uint32_t partitionsUsed;
extern uint32_t fsRegionIndex;
extern uint8_t* workBuffer;
extern uint32_t workBufferSize;

RslResult RSLInit(uint32_t mask);
RslResult queryRegions(FlashRegion* request, FlashRegion* list);
const char16_t* regionName(uint32_t flags);
// ... further declarations: readImageLayout, imageSize, romHeaderAt, findInfoBlock, findText,
// allocWorkBuffer, freeWorkBuffer, partitionUsedBytes, mappedSectorBytes.
