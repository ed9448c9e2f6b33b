// The catalogue of flash regions and the library's shared state.
//
// RSLInit rebuilds each selected record from its default and then looks at the flash: images
// are recognised by their ROM header or compression header, the config block by its magic word,
// the registry by the header of either copy, and the file system by the store that the flash
// driver's storage profile names. Every group of flash reads runs under the flash lock; between
// groups the running system's flash driver may interleave.
#include "lib/regions/regions.h"

#include <cstring>

#include "flash/flash.h"
#include "lib/stores/stores.h"
#include "platform/files.h"
#include "platform/kernel.h"
#include "platform/memory.h"
#include "platform/registry.h"
#include "platform/text.h"

const FlashRegion DefaultRegions[REGION_TABLE_SIZE] = {
    {REGION_NOT_LOCATED | REGION_BOOTLOADER, 0x00000000, 0x00040000, 0},
    {REGION_NOT_LOCATED | REGION_CONFIG_BLOCK, 0x00040000, 0x00040000, 0},
    {REGION_NOT_LOCATED | REGION_OS_IMAGE, 0x00080000, 0, 0},
    {REGION_NOT_LOCATED | REGION_REGISTRY, 0x01400000, 0x00080000, 0},
    {REGION_NOT_LOCATED | REGION_FILE_SYSTEM, 0x01480000, 0, 0},
    {REGION_NOT_LOCATED | REGION_SECOND_BOOTLOADER, 0x00000000, 0, 0},
    {0, 0, 0, 0},
};

FlashRegion RegionTable[REGION_TABLE_SIZE] = {
    {REGION_BOOTLOADER, 0, 0, 0},       {REGION_CONFIG_BLOCK, 0, 0, 0},
    {REGION_OS_IMAGE, 0, 0, 0},         {REGION_REGISTRY, 0, 0, 0},
    {REGION_FILE_SYSTEM, 0, 0, 0},      {REGION_SECOND_BOOTLOADER, 0, 0, 0},
    {0, 0, 0, 0},
};

uint32_t libraryInitialised = 0;
char16_t storeDeviceName[32] = {};
uint32_t partitionsUsed = 0;
uint32_t fsRegionIndex = 0;
uint8_t* workBuffer = nullptr;
uint32_t workBufferSize = 0;

namespace {

constexpr uint32_t SCAN_CHUNK = 4096;
constexpr uint32_t ERASED_WORD = 0xFFFFFFFFu;
constexpr uint32_t ROM_PHYS_LOW = 0x80000000u;
constexpr uint32_t ROM_PHYS_HIGH = 0x90000000u;
constexpr uint32_t PROFILE_TEXT_BYTES = 32;  // longest profile or store profile name read
constexpr char16_t FLASH_STORE_NAME[] = u"Internal Flash";

// Kinds in the order RSLInit looks for them when a record carries several.
constexpr uint32_t SCAN_ORDER[] = {REGION_BOOTLOADER, REGION_SECOND_BOOTLOADER,
                                   REGION_CONFIG_BLOCK, REGION_OS_IMAGE,
                                   REGION_REGISTRY, REGION_FILE_SYSTEM};

// Kinds whose length follows from where the next region starts.
constexpr uint32_t OPEN_ENDED_KINDS = REGION_OS_IMAGE | REGION_FILE_SYSTEM | REGION_SECOND_BOOTLOADER;

uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void putLe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

// A read inside a group: the caller holds the flash lock.
bool readHeld(void* destination, uint32_t offset, uint32_t length) {
  return flashOps.read != nullptr && flashOps.read(destination, offset, length) != 0;
}

// One read as a group of its own.
bool readLocked(void* destination, uint32_t offset, uint32_t length) {
  if (!lockFlash(FLASH_MUTEX_WAIT_FOREVER)) return false;
  const bool ok = readHeld(destination, offset, length);
  unlockFlash();
  return ok;
}

// Copies a fixed-size UTF-16 field that need not be terminated into a terminated buffer.
template <size_t N>
void copyField(char16_t (&destination)[N + 1], const char16_t (&field)[N]) {
  std::memcpy(destination, field, sizeof(field));
  destination[N] = 0;
}

void readDword(plat::HKey key, const char16_t* name, uint32_t* field) {
  uint32_t value = 0;
  uint32_t type = 0;
  uint32_t size = sizeof(value);
  if (plat::regQueryValueEx(key, name, &type, &value, &size) == plat::ERROR_SUCCESS) {
    *field = value;
  }
}

// Reads at most PROFILE_TEXT_BYTES of a text value; the buffer keeps its content otherwise.
void readProfileText(plat::HKey key, const char16_t* name, char16_t* buffer) {
  uint32_t type = 0;
  uint32_t size = PROFILE_TEXT_BYTES;
  plat::regQueryValueEx(key, name, &type, buffer, &size);
}

const FlashRegion& defaultRecord(uint32_t kind) {
  for (const FlashRegion& r : DefaultRegions) {
    if (r.flags & kind) return r;
  }
  return DefaultRegions[REGION_TABLE_SIZE - 1];
}

void scanBootloader(FlashRegion* r) {
  const uint32_t size = imageSize(r->start);
  if (size == 0) return;
  r->used = size;
  uint32_t mark = 0;
  if (lockFlash(FLASH_MUTEX_WAIT_FOREVER)) {
    if (flashOps.readWord != nullptr) mark = flashOps.readWord(FIRST_BOOTLOADER_WORD_OFFSET);
    unlockFlash();
  }
  if (mark == FIRST_BOOTLOADER_MARK) r->flags |= REGION_FIRST_BOOTLOADER;
  r->flags &= ~REGION_NOT_LOCATED;
}

void scanSecondBootloader(FlashRegion* r) {
  ImageLayout layout{};
  if (readImageLayout(&layout)) r->start = layout.secondBootloaderStart;
  if (r->start == 0) return;
  const uint32_t size = imageSize(r->start);
  if (size == 0) return;
  r->used = size;
  r->flags &= ~REGION_NOT_LOCATED;
}

// The config block's data runs from its magic word to the first erased word.
void scanConfigBlock(FlashRegion* r) {
  uint8_t chunk[SCAN_CHUNK];
  r->used = 0;
  if (lockFlash(FLASH_MUTEX_WAIT_FOREVER)) {
    if (readHeld(chunk, r->start, SCAN_CHUNK) && le32(chunk) == CONFIG_BLOCK_MAGIC) {
      uint64_t n = 0;
      bool erasedFound = false;
      for (; n < r->length; n += SCAN_CHUNK) {
        if (!readHeld(chunk, r->start + static_cast<uint32_t>(n), SCAN_CHUNK)) break;
        for (uint32_t i = 0; i < SCAN_CHUNK / 4; ++i) {
          if (le32(chunk + 4 * i) == ERASED_WORD) {
            r->used = static_cast<uint32_t>(n) + 4 * i;
            erasedFound = true;
            break;
          }
        }
        if (erasedFound) break;
      }
      if (!erasedFound) r->used = static_cast<uint32_t>(n);
    }
    unlockFlash();
  }
  r->flags &= ~REGION_NOT_LOCATED;
}

void scanOsImage(FlashRegion* r) {
  ImageLayout layout{};
  if (readImageLayout(&layout)) r->start = layout.osImageStart;
  const uint32_t size = imageSize(r->start);
  if (size == 0) return;
  r->used = (size + 3) & ~3u;
  uint8_t trailer[TRAILER_HEADER_SIZE];
  if (readLocked(trailer, r->start + r->used, sizeof(trailer)) &&
      le32(trailer) == TRAILER_SIGNATURE) {
    r->used += le32(trailer + 8) + TRAILER_HEADER_SIZE;
  }
  r->flags &= ~REGION_NOT_LOCATED;
}

// The registry is kept in two copies; the header of either gives the size in use.
void scanRegistry(FlashRegion* r) {
  ImageLayout layout{};
  if (readImageLayout(&layout)) {
    r->start = layout.registryStart;
    r->length = 2 * layout.registryCopySize;
  }
  if (lockFlash(FLASH_MUTEX_WAIT_FOREVER)) {
    uint8_t header[REGISTRY_HEADER_SIZE];
    if (readHeld(header, r->start, sizeof(header)) && le32(header) == REGISTRY_MAGIC) {
      r->used = le32(header + 4) + REGISTRY_HEADER_SIZE;
    } else if (readHeld(header, r->start + r->length / 2, sizeof(header)) &&
               le32(header) == REGISTRY_MAGIC) {
      r->used = le32(header + 4) + REGISTRY_HEADER_SIZE;
    }
    unlockFlash();
  }
  r->flags &= ~REGION_NOT_LOCATED;
}

bool openDriverKey(plat::HKey* key) {
  return plat::regOpenKeyEx(plat::HKEY_LOCAL_MACHINE, u"Drivers\\BuiltIn\\StrataFMD", 0,
                            plat::KEY_ALL_ACCESS, key) == plat::ERROR_SUCCESS ||
         plat::regOpenKeyEx(plat::HKEY_LOCAL_MACHINE, u"Drivers\\BlockDevice\\StrataFMD", 0,
                            plat::KEY_ALL_ACCESS, key) == plat::ERROR_SUCCESS;
}

// The file system lives where the flash driver's registry values place it; it is located when
// the driver's storage profile is "Internal Flash" and a store of that name can be opened.
void scanFileSystem(FlashRegion* r) {
  storeDeviceName[0] = 0;
  // Profile name, then the profile's display name, in one buffer with room for a terminator.
  char16_t name[PROFILE_TEXT_BYTES / 2 + 1] = {};
  plat::HKey key = 0;
  if (openDriverKey(&key)) {
    readDword(key, u"MemBase", &r->start);
    readDword(key, u"MemLen", &r->length);
    readProfileText(key, u"Profile", name);
    plat::regCloseKey(key);
  }
  char16_t path[plat::MAX_PATH];
  plat::wformat(path, plat::MAX_PATH, u"System\\StorageManager\\Profiles\\%s", name);
  if (plat::regOpenKeyEx(plat::HKEY_LOCAL_MACHINE, path, 0, plat::KEY_ALL_ACCESS, &key) ==
      plat::ERROR_SUCCESS) {
    readProfileText(key, u"Name", name);
    plat::regCloseKey(key);
  }
  if (plat::wcompare(name, FLASH_STORE_NAME) != 0) return;

  plat::StoreInfo info{};
  info.cbSize = STOREINFO_SIZE;
  const plat::Handle search = FindFirstStore(&info);
  if (search == plat::INVALID_HANDLE) return;
  do {
    char16_t storeName[33];
    copyField(storeName, info.szStoreName);
    if (plat::wcompare(storeName, FLASH_STORE_NAME) == 0) {
      char16_t device[9];
      copyField(device, info.szDeviceName);
      const plat::Handle store = OpenStore(device);
      if (store != plat::INVALID_HANDLE) {
        r->used = mappedSectorBytes(store, &info);
        partitionsUsed = partitionUsedBytes(store);
        plat::wcopy(storeDeviceName, 8, device);
        r->flags &= ~REGION_NOT_LOCATED;
        plat::closeHandle(store);
      }
    }
    info = plat::StoreInfo{};
    info.cbSize = STOREINFO_SIZE;
  } while (FindNextStore(search, &info));
  FindCloseStore(search);
}

void scanRecord(FlashRegion* r, uint32_t mask) {
  const uint32_t selected = r->flags & mask;
  for (uint32_t kind : SCAN_ORDER) {
    if ((selected & kind) == 0) continue;
    *r = defaultRecord(kind);
    switch (kind) {
      case REGION_BOOTLOADER: scanBootloader(r); break;
      case REGION_SECOND_BOOTLOADER: scanSecondBootloader(r); break;
      case REGION_CONFIG_BLOCK: scanConfigBlock(r); break;
      case REGION_OS_IMAGE: scanOsImage(r); break;
      case REGION_REGISTRY: scanRegistry(r); break;
      case REGION_FILE_SYSTEM: scanFileSystem(r); break;
      default: break;
    }
    return;
  }
}

// Ascending by start; records with equal starts keep their order.
void sortByStart(uint32_t count) {
  uint32_t i = 0;
  while (i + 1 < count) {
    if (RegionTable[i].start > RegionTable[i + 1].start) {
      const FlashRegion swapped = RegionTable[i];
      RegionTable[i] = RegionTable[i + 1];
      RegionTable[i + 1] = swapped;
      i = 0;
    } else {
      ++i;
    }
  }
}

void completeLengths(uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    FlashRegion& r = RegionTable[i];
    if ((r.flags & OPEN_ENDED_KINDS) == 0) continue;
    if (r.flags & REGION_FILE_SYSTEM) fsRegionIndex = i;
    if (r.length == 0) {
      r.length = (i + 1 < count ? RegionTable[i + 1].start : flashSize) - r.start;
    }
  }
}

}  // namespace

RslResult RSLInit(uint32_t mask) {
  const bool eccSwitchable = flashOps.setEcc != nullptr;
  const int previousEcc = eccSwitchable ? flashOps.setEcc(0) : 0;

  uint32_t count = 0;
  while (count < REGION_TABLE_SIZE && RegionTable[count].flags != 0) {
    scanRecord(&RegionTable[count], mask);
    ++count;
  }

  if (eccSwitchable) flashOps.setEcc(previousEcc);

  sortByStart(count);
  completeLengths(count);
  return RSL_OK;
}

RslResult queryRegions(FlashRegion* request, FlashRegion* list) {
  if (!libraryInitialised) return RSL_NOT_INITIALISED;
  uint32_t flags = 0;
  uint32_t lowest = 0xFFFFFFFFu;
  uint32_t highestEnd = 0;
  uint32_t used = 0;
  uint32_t matches = 0;
  for (int i = 0; i < REGION_TABLE_SIZE && RegionTable[i].flags != 0; ++i) {
    const FlashRegion& r = RegionTable[i];
    if ((r.flags & request->flags) == 0 || (r.flags & REGION_NOT_LOCATED) != 0) continue;
    if (list != nullptr) list[matches] = r;
    ++matches;
    flags |= r.flags;
    if (r.start < lowest) lowest = r.start;
    if (r.start + r.length > highestEnd) highestEnd = r.start + r.length;
    used += r.used;
  }
  if (matches == 0) return RSL_NO_REGION;
  *request = FlashRegion{flags, lowest, highestEnd - lowest, used};
  if (list != nullptr) list[matches] = FlashRegion{0, 0, 0, 0};
  return RSL_OK;
}

const char16_t* regionName(uint32_t flags) {
  switch (flags & REGION_ALL) {
    case 0: return u"No Region";
    case REGION_BOOTLOADER:
      return (flags & REGION_FIRST_BOOTLOADER) ? u"First Bootloader" : u"Bootloader";
    case REGION_CONFIG_BLOCK: return u"Config Block";
    case REGION_OS_IMAGE: return u"OS Image";
    case REGION_REGISTRY: return u"Registry";
    case REGION_FILE_SYSTEM: return u"File System";
    case REGION_SECOND_BOOTLOADER: return u"Second Bootloader";
    case REGION_CPLD: return u"CPLD Firmware";
    default: return nullptr;
  }
}

bool readImageLayout(ImageLayout* layout) {
  // {item, buffer address, size}: the item arrives in the output buffer, so the address word
  // is left 0.
  uint32_t request[3] = {OEM_ITEM_IMAGE_LAYOUT, 0, sizeof(ImageLayout)};
  ImageLayout delivered{};
  uint32_t returned = 0;
  if (!plat::kernelIoControl(OEM_READ_ITEM, request, sizeof(request),
                             &delivered, sizeof(delivered), &returned) ||
      returned == 0) {
    return false;
  }
  *layout = delivered;
  return true;
}

bool romHeaderAt(uint32_t offset, RomHeader* header, uint32_t* headerPosition) {
  RomHeader local{};
  RomHeader* h = header != nullptr ? header : &local;
  if (!lockFlash(FLASH_MUTEX_WAIT_FOREVER)) return false;
  uint8_t signature[12];
  bool plausible = false;
  if (readHeld(signature, offset + ROM_SIGNATURE_OFFSET, sizeof(signature)) &&
      le32(signature) == ROM_SIGNATURE) {
    const uint32_t headerVirtual = le32(signature + 4);
    const uint32_t headerOffset = le32(signature + 8);
    if (headerPosition != nullptr) *headerPosition = offset + headerOffset;
    uint8_t bytes[sizeof(RomHeader)];
    if (readHeld(bytes, offset + headerOffset, sizeof(bytes))) {
      std::memcpy(h, bytes, sizeof(RomHeader));
      const bool inRange = h->physFirst >= ROM_PHYS_LOW && h->physFirst < ROM_PHYS_HIGH &&
                           h->physLast >= ROM_PHYS_LOW && h->physLast < ROM_PHYS_HIGH;
      const bool pointerMatches = headerVirtual - headerOffset == h->physFirst;
      const bool ordered = h->physFirst < h->physLast && h->ramStart < h->ramFree &&
                           h->ramFree < h->ramEnd;
      plausible = inRange && (pointerMatches || ordered);
    }
  }
  unlockFlash();
  return plausible;
}

uint32_t imageSize(uint32_t offset) {
  RomHeader header{};
  if (romHeaderAt(offset, &header, nullptr)) return header.physLast - header.physFirst;
  if (romHeaderAt(offset + ROM_LOADER_STAGE, &header, nullptr)) {
    return header.physLast - header.physFirst + ROM_LOADER_STAGE;
  }
  uint8_t compressed[COMPRESSED_HEADER_SIZE];
  if (readLocked(compressed, offset, sizeof(compressed)) &&
      le32(compressed) == COMPRESSED_SIGNATURE) {
    return le32(compressed + 8) + COMPRESSED_HEADER_SIZE;
  }
  return 0;
}

bool findInfoBlock(void* out, uint32_t start, uint32_t length) {
  uint8_t chunk[SCAN_CHUNK];
  const uint64_t end = static_cast<uint64_t>(start) + length;
  for (uint64_t p = start; p < end && p <= 0xFFFFFFFFu; p += SCAN_CHUNK) {
    if (!lockFlash(FLASH_MUTEX_WAIT_FOREVER)) return false;
    const uint32_t at = static_cast<uint32_t>(p);
    if (readHeld(chunk, at, SCAN_CHUNK)) {
      for (uint32_t i = 0; i < SCAN_CHUNK / 4; ++i) {
        if (le32(chunk + 4 * i) != INFO_BLOCK_START) continue;
        uint8_t block[20];
        if (readHeld(block, at + 4 * i, sizeof(block)) && le32(block + 16) == INFO_BLOCK_END) {
          std::memcpy(out, block + 4, 12);
          unlockFlash();
          return true;
        }
      }
    }
    unlockFlash();
  }
  return false;
}

const char* findText(const char* text, FlashTextCopy* copy) {
  *copy = FlashTextCopy{nullptr, 0};
  const size_t length = std::strlen(text);
  if (length == 0) return nullptr;
  char* bytes = static_cast<char*>(plat::localAlloc(TEXT_SEARCH_LENGTH + 1));
  if (bytes == nullptr) return nullptr;
  bytes[TEXT_SEARCH_LENGTH] = 0;
  if (readLocked(bytes, TEXT_SEARCH_START, TEXT_SEARCH_LENGTH)) {
    size_t matched = 0;
    for (uint32_t i = 0; i < TEXT_SEARCH_LENGTH; ++i) {
      const char b = bytes[i];
      if (b == text[matched]) {
        ++matched;
      } else {
        matched = b == text[0] ? 1 : 0;
      }
      if (matched == length) {
        *copy = FlashTextCopy{bytes, TEXT_SEARCH_LENGTH};
        return bytes + i + 1;
      }
    }
  }
  plat::localFree(bytes);
  return nullptr;
}

void freeTextCopy(FlashTextCopy* copy) {
  if (copy->bytes != nullptr) plat::localFree(copy->bytes);
  *copy = FlashTextCopy{nullptr, 0};
}

uint32_t partitionUsedBytes(plat::Handle store) {
  plat::PartInfo info{};
  info.cbSize = PARTINFO_SIZE;
  const plat::Handle search = FindFirstPartition(store, &info);
  if (search == plat::INVALID_HANDLE) return 0;
  uint32_t used = 0;
  do {
    char16_t volume[65];
    copyField(volume, info.szVolumeName);
    uint64_t freeToCaller = 0;
    uint64_t total = 0;
    uint64_t totalFree = 0;
    if (plat::getDiskFreeSpaceEx(volume, &freeToCaller, &total, &totalFree)) {
      used += static_cast<uint32_t>(total - totalFree);
    }
    info = plat::PartInfo{};
    info.cbSize = PARTINFO_SIZE;
  } while (FindNextPartition(search, &info));
  FindClosePartition(search);
  return used;
}

// The driver answers, for each sector number sent, the flash address that holds the sector or
// SECTOR_UNMAPPED; the work buffer carries the numbers in its first half, the answers in the
// second.
uint32_t mappedSectorBytes(plat::Handle store, const plat::StoreInfo* storeInfo) {
  bool allocatedHere = false;
  if (workBuffer == nullptr) {
    if (allocWorkBuffer() != RSL_OK) return 0;
    allocatedHere = true;
  }
  const uint32_t perRequest = workBufferSize / 8;
  if (perRequest == 0) {
    if (allocatedHere) freeWorkBuffer();
    return 0;
  }
  uint8_t* numbers = workBuffer;
  uint8_t* answers = workBuffer + 4 * perRequest;
  uint32_t mapped = 0;
  for (uint64_t sector = 0; sector < storeInfo->snNumSectors;) {
    const uint64_t left = storeInfo->snNumSectors - sector;
    const uint32_t batch = left < perRequest ? static_cast<uint32_t>(left) : perRequest;
    for (uint32_t i = 0; i < batch; ++i) {
      putLe32(numbers + 4 * i, static_cast<uint32_t>(sector + i));
    }
    uint32_t returned = 0;
    // A failed request answers at once; a buffer allocated here stays held.
    if (!plat::deviceIoControl(store, DISK_IOCTL_SECTOR_ADDRESSES, numbers, 4 * batch, answers,
                               4 * batch, &returned)) {
      return 0;
    }
    for (uint32_t i = 0; i < batch; ++i) {
      if (le32(answers + 4 * i) != SECTOR_UNMAPPED) ++mapped;
    }
    sector += batch;
  }
  if (allocatedHere) freeWorkBuffer();
  return mapped * storeInfo->dwBytesPerSector;
}

RslResult allocWorkBuffer() {
  if (workBuffer != nullptr) return RSL_OK;
  for (uint32_t size = WORK_BUFFER_MAX; size != 0; size /= 2) {
    void* p = plat::localAlloc(size);
    if (p != nullptr) {
      workBuffer = static_cast<uint8_t*>(p);
      workBufferSize = size;
      return RSL_OK;
    }
  }
  workBufferSize = 0;
  return RSL_NO_MEMORY;
}

void freeWorkBuffer() {
  if (workBuffer != nullptr) plat::localFree(workBuffer);
  workBuffer = nullptr;
  workBufferSize = 0;
}
