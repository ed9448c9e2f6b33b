#pragma once
// Storage manager (stores and partitions), device manager and device control.
#include <cstdint>

#include "platform/files.h"
#include "platform/types.h"

namespace plat {

// Store information record (240 bytes).
struct StoreInfo {
  uint32_t cbSize;
  char16_t szDeviceName[8];
  char16_t szStoreName[32];
  uint32_t dwDeviceClass;
  uint32_t dwDeviceType;
  struct {
    uint32_t cbSize;
    char16_t szProfile[32];
    uint32_t dwDeviceClass;
    uint32_t dwDeviceType;
    uint32_t dwDeviceFlags;
  } sdi;
  uint32_t dwDeviceFlags;
  uint64_t snNumSectors;
  uint32_t dwBytesPerSector;
  uint64_t snFreeSectors;
  uint64_t snBiggestPartCreatable;
  FileTime ftCreated;
  FileTime ftLastModified;
  uint32_t dwAttributes;
  uint32_t dwPartitionCount;
  uint32_t dwMountCount;
};
static_assert(sizeof(StoreInfo) == 240);

// Partition information record (296 bytes).
struct PartInfo {
  uint32_t cbSize;
  char16_t szPartitionName[32];
  char16_t szFileSys[32];
  char16_t szVolumeName[64];
  uint64_t snNumSectors;
  FileTime ftCreated;
  FileTime ftLastModified;
  uint32_t dwAttributes;
  uint8_t bPartType;
};
static_assert(sizeof(PartInfo) == 296);

// Storage manager functions. Handles are 32-bit; INVALID_HANDLE on failure.
Handle openStore(const char16_t* deviceName);
bool dismountStore(Handle store);
bool formatStore(Handle store);
Handle findFirstStore(StoreInfo* info);
bool findNextStore(Handle search, StoreInfo* info);
bool findCloseStore(Handle search);
bool getStoreInfo(Handle store, StoreInfo* info);
bool createPartitionEx(Handle store, const char16_t* name, uint8_t type, uint64_t sectors);
Handle openPartition(Handle store, const char16_t* name);
bool mountPartition(Handle partition);
bool setPartitionAttributes(Handle partition, uint32_t attributes);
bool formatPartition(Handle partition);
Handle findFirstPartition(Handle store, PartInfo* info);
bool findNextPartition(Handle search, PartInfo* info);
bool findClosePartition(Handle search);

// Device control on a store or device handle (disk control codes of the block driver).
bool deviceIoControl(Handle device, uint32_t code, const void* in, uint32_t inSize, void* out,
                     uint32_t outSize, uint32_t* bytesReturned);

}  // namespace plat
