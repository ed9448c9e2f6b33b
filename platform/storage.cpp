// Storage manager and device control. The virtual module has no block devices with stores
// yet: there is no store to find, open or format, and device control requests fail.
#include "platform/storage.h"

namespace plat {

namespace {
Handle noStore() {
  setLastError(ERROR_NO_MORE_ITEMS);
  return INVALID_HANDLE;
}
bool notSupported() {
  setLastError(ERROR_NOT_SUPPORTED);
  return false;
}
}  // namespace

Handle openStore(const char16_t*) {
  setLastError(ERROR_FILE_NOT_FOUND);
  return INVALID_HANDLE;
}
bool dismountStore(Handle) { return notSupported(); }
bool formatStore(Handle) { return notSupported(); }
Handle findFirstStore(StoreInfo*) { return noStore(); }
bool findNextStore(Handle, StoreInfo*) { return notSupported(); }
bool findCloseStore(Handle) { return notSupported(); }
bool getStoreInfo(Handle, StoreInfo*) { return notSupported(); }
bool createPartitionEx(Handle, const char16_t*, uint8_t, uint64_t) { return notSupported(); }
Handle openPartition(Handle, const char16_t*) { return noStore(); }
bool mountPartition(Handle) { return notSupported(); }
bool setPartitionAttributes(Handle, uint32_t) { return notSupported(); }
bool formatPartition(Handle) { return notSupported(); }
Handle findFirstPartition(Handle, PartInfo*) { return noStore(); }
bool findNextPartition(Handle, PartInfo*) { return notSupported(); }
bool findClosePartition(Handle) { return notSupported(); }
bool deviceIoControl(Handle, uint32_t, const void*, uint32_t, void*, uint32_t, uint32_t*) {
  return notSupported();
}

}  // namespace plat
