#pragma once
// The storage manager's store and partition functions, as the library calls them.
//
// Every store and partition operation of the library goes through these wrappers, never to the
// platform directly. Handles are 32-bit; INVALID_HANDLE on failure. BOOL results: true on
// success. Store and search handles are closed with plat::closeHandle (stores) or the
// matching FindClose function (searches).
#include <cstdint>

#include "platform/storage.h"

constexpr uint32_t STOREINFO_SIZE = 240;
constexpr uint32_t PARTINFO_SIZE = 296;

plat::Handle OpenStore(const char16_t* deviceName);
bool DismountStore(plat::Handle store);
bool FormatStore(plat::Handle store);
plat::Handle FindFirstStore(plat::StoreInfo* info);
bool FindNextStore(plat::Handle search, plat::StoreInfo* info);
bool FindCloseStore(plat::Handle search);
bool GetStoreInfo(plat::Handle store, plat::StoreInfo* info);
bool CreatePartitionEx(plat::Handle store, const char16_t* name, uint8_t type, uint64_t sectors);
plat::Handle OpenPartition(plat::Handle store, const char16_t* name);
bool MountPartition(plat::Handle partition);
bool SetPartitionAttributes(plat::Handle partition, uint32_t attributes);
bool FormatPartition(plat::Handle partition);
plat::Handle FindFirstPartition(plat::Handle store, plat::PartInfo* info);
bool FindNextPartition(plat::Handle search, plat::PartInfo* info);
bool FindClosePartition(plat::Handle search);
