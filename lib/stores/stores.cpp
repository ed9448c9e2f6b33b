// Storage manager wrappers.
//
// The choice of route belongs here: on system version 6 each function is looked up by name in
// the core system library at every call, on older systems it is reached through the system's
// fixed entries. Until that routing is in place, every wrapper calls the platform's function.
#include "lib/stores/stores.h"

plat::Handle OpenStore(const char16_t* deviceName) { return plat::openStore(deviceName); }

bool DismountStore(plat::Handle store) { return plat::dismountStore(store); }

bool FormatStore(plat::Handle store) { return plat::formatStore(store); }

plat::Handle FindFirstStore(plat::StoreInfo* info) { return plat::findFirstStore(info); }

bool FindNextStore(plat::Handle search, plat::StoreInfo* info) {
  return plat::findNextStore(search, info);
}

bool FindCloseStore(plat::Handle search) { return plat::findCloseStore(search); }

bool GetStoreInfo(plat::Handle store, plat::StoreInfo* info) {
  return plat::getStoreInfo(store, info);
}

bool CreatePartitionEx(plat::Handle store, const char16_t* name, uint8_t type, uint64_t sectors) {
  return plat::createPartitionEx(store, name, type, sectors);
}

plat::Handle OpenPartition(plat::Handle store, const char16_t* name) {
  return plat::openPartition(store, name);
}

bool MountPartition(plat::Handle partition) { return plat::mountPartition(partition); }

bool SetPartitionAttributes(plat::Handle partition, uint32_t attributes) {
  return plat::setPartitionAttributes(partition, attributes);
}

bool FormatPartition(plat::Handle partition) { return plat::formatPartition(partition); }

plat::Handle FindFirstPartition(plat::Handle store, plat::PartInfo* info) {
  return plat::findFirstPartition(store, info);
}

bool FindNextPartition(plat::Handle search, plat::PartInfo* info) {
  return plat::findNextPartition(search, info);
}

bool FindClosePartition(plat::Handle search) { return plat::findClosePartition(search); }
