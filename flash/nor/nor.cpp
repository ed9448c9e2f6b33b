// NOR back end: identification, mapping, block unlock, erase and buffered program through the
// chips' command set. After every operation the chips are back in read-array mode, so reads are
// plain copies from the mapping.
#include "flash/nor/nor.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "flash/flash.h"
#include "hw/physmem.h"
#include "platform/memory.h"
#include "platform/threads.h"

const NorDeviceType norDeviceTypes[NOR_DEVICE_TYPES] = {
    {0x0017, 1}, {0x0018, 1}, {0x0019, 1}, {0x8801, 2}, {0x8802, 2}, {0x8803, 2},
    {0x881A, 3}, {0x881B, 3}, {0x891C, 3}, {0x8817, 4}, {0x8818, 4}, {0x8919, 4},
    {0x8820, 5}, {0x8821, 5}, {0x8922, 5}, {0x881D, 6}, {0x881E, 6}, {0x891F, 6},
};

uint32_t NorChipType = 0;

namespace {

uint8_t* flashWindow = nullptr;

void command(uint32_t offset, uint32_t value) {
  plat::write32(flashWindow + offset, value);
}

uint32_t word(uint32_t offset) {
  return plat::read32(flashWindow + offset);
}

bool ready(uint32_t status) {
  return (status & NOR_STATUS_READY) == NOR_STATUS_READY;
}

// Ends an operation at offset: clears the sticky error bits when the status shows an error,
// then returns the chips to read-array mode. Answers whether the status was free of errors.
bool finish(uint32_t offset, uint32_t status) {
  const bool failed = (status & NOR_STATUS_ERROR) != 0;
  if (failed) command(offset, NOR_CLEAR_STATUS);
  command(offset, NOR_READ_ARRAY);
  return !failed;
}

bool elapsed(uint32_t since, uint32_t limit) {
  return plat::getTickCount() - since >= limit;
}

uint32_t norBlockSize(uint32_t offset) {
  if ((NorChipType == 3 || NorChipType == 5) && offset < NOR_PROTECTED_END) return NOR_SMALL_BLOCK;
  return NOR_BLOCK;
}

bool locked(uint32_t block) {
  return (word(block + 8) & NOR_BLOCK_LOCKED) != 0;
}

bool unlockBlock(uint32_t block) {
  command(block, NOR_READ_ID);
  if (!locked(block)) {
    command(block, NOR_READ_ARRAY);
    return true;
  }
  command(block, NOR_UNLOCK_SETUP);
  command(block, NOR_CONFIRM);
  command(block, NOR_READ_ID);
  const bool stillLocked = locked(block);
  command(block, NOR_READ_ARRAY);
  return !stillLocked;
}

bool isErased(uint32_t offset, uint32_t length) {
  uint32_t buffer[1024];
  uint32_t words = length / 4;
  while (words > 0) {
    const uint32_t n = std::min<uint32_t>(words, 1024);
    plat::readBlock(buffer, flashWindow + offset, 4 * size_t{n});
    for (uint32_t i = 0; i < n; ++i) {
      if (buffer[i] != 0xFFFFFFFFu) return false;
    }
    offset += 4 * n;
    words -= n;
  }
  return true;
}

bool eraseNorBlock(uint32_t block) {
  if (!unlockBlock(block)) return false;
  if (isErased(block, norBlockSize(block))) return true;
  command(block, NOR_ERASE_SETUP);
  command(block, NOR_CONFIRM);
  const uint32_t t0 = plat::getTickCount();
  for (;;) {
    const uint32_t status = word(block);
    if (ready(status)) return finish(block, status);
    plat::sleep(NOR_ERASE_POLL_MS);
    if (elapsed(t0, NOR_ERASE_TIMEOUT_MS)) {
      command(block, NOR_READ_ARRAY);
      return false;
    }
  }
}

int norErase(uint32_t start, uint32_t length) {
  const uint32_t c = norBlockSize(start);
  const uint64_t b = uint64_t{length} + start % c;
  const uint32_t first = start - start % c;
  // A range that ends beyond the flash fails whatever its rounding.
  if (first + b > flashSize) return 0;
  const uint32_t d = norBlockSize(static_cast<uint32_t>(first + b - 1));
  const uint64_t covered = (b + d - 1) / d * d;
  if (first + covered > flashSize) return 0;
  if (covered == 0) return 1;
  const auto total = static_cast<uint32_t>(covered);
  uint32_t remaining = total;
  uint32_t done = 0;
  uint32_t mark = 0;
  uint32_t offset = first;
  while (remaining > 0) {
    const uint32_t size = norBlockSize(offset);
    if (reportEraseProgress(done, total, &mark) == 0) return 0;
    if (!eraseNorBlock(offset)) return 0;
    done += size;
    remaining -= std::min(size, remaining);
    offset += size;
  }
  return 1;
}

int norRead(void* destination, uint32_t offset, uint32_t length) {
  if (offset >= flashSize || uint64_t{offset} + length > flashSize) return 0;
  plat::readBlock(destination, flashWindow + offset, length);
  return 1;
}

uint32_t norReadWord(uint32_t offset) {
  if (offset >= flashSize) return 0;
  return word(offset);
}

int norSetEcc(int) {
  return 0;
}

int norWriteWord(uint32_t offset, uint32_t value) {
  if (offset >= flashSize) return 0;
  command(offset, NOR_WORD_PROGRAM);
  command(offset, value);
  const uint32_t t0 = plat::getTickCount();
  for (;;) {
    const uint32_t status = word(offset);
    if (ready(status)) return finish(offset, status) ? 1 : 0;
    if (elapsed(t0, NOR_WORD_TIMEOUT_MS)) {
      command(offset, NOR_READ_ARRAY);
      return 0;
    }
  }
}

// Read-array after a write that programmed nothing: goes to the word below the offset, or to
// the first word of the flash when there is no word below. The command affects the whole chip
// pair, so any address inside the flash serves.
void readArrayBelow(uint32_t offset) {
  command(offset >= 4 ? offset - 4 : 0, NOR_READ_ARRAY);
}

int norWrite(const void* source, uint32_t offset, uint32_t length) {
  if (offset >= flashSize || uint64_t{offset} + length > flashSize) return 0;
  uint32_t remaining = (length + 3) & ~3u;
  // The words programmed must lie inside the flash too (only an unaligned offset near the end
  // could reach beyond it).
  if (uint64_t{offset} + remaining > flashSize) return 0;
  uint32_t words = std::min<uint32_t>(remaining, NOR_WRITE_BUFFER) / 4;
  if (offset % NOR_WRITE_BUFFER != 0) {
    words = std::min<uint32_t>(words, (NOR_WRITE_BUFFER - offset % NOR_WRITE_BUFFER) / 4);
  }
  if (remaining == 0) {
    readArrayBelow(offset);
    return 1;
  }
  const auto* from = static_cast<const uint8_t*>(source);
  uint32_t chunk = offset;
  for (;;) {
    command(chunk, NOR_BUFFER_PROGRAM);
    const uint32_t t0 = plat::getTickCount();
    while (!ready(word(chunk))) {
      if (elapsed(t0, NOR_BUFFER_TIMEOUT_MS)) {
        readArrayBelow(chunk);
        return 0;
      }
    }
    command(chunk, (words - 1) | ((words - 1) << 16));
    for (uint32_t i = 0; i < words; ++i) {
      uint32_t value;
      std::memcpy(&value, from + 4 * i, sizeof value);
      plat::write32(flashWindow + chunk + 4 * i, value);
    }
    const uint32_t last = chunk + 4 * (words - 1);
    command(last, NOR_CONFIRM);
    uint32_t status;
    while (!ready(status = word(last))) {
      if (elapsed(t0, NOR_BUFFER_TIMEOUT_MS)) {
        command(last, NOR_READ_ARRAY);
        return 0;
      }
    }
    // A chunk the chips could not program fails the write at once: nothing after it is
    // written over data that did not arrive.
    if ((status & NOR_STATUS_ERROR) != 0) {
      finish(last, status);
      return 0;
    }
    remaining -= 4 * words;
    if (remaining == 0) {
      command(last, NOR_READ_ARRAY);
      return 1;
    }
    from += 4 * words;
    chunk += 4 * words;
    words = std::min<uint32_t>(remaining, NOR_WRITE_BUFFER) / 4;
  }
}

}  // namespace

uint32_t norTypeOf(uint32_t deviceCode) {
  for (const NorDeviceType& t : norDeviceTypes) {
    if (t.deviceCode == deviceCode) return t.type;
  }
  return 0;
}

int norStart() {
  auto* window = static_cast<uint8_t*>(mapPhysical(0));
  if (window == nullptr) return 0;
  plat::write32(window, NOR_READ_ID);
  const uint32_t manufacturer = plat::read32(window);
  const uint32_t device = plat::read32(window + 4);
  if (manufacturer != NOR_MANUFACTURER) {
    plat::write32(window, NOR_READ_ARRAY);
    unmapPhysical(window);
    return 0;
  }
  NorChipType = norTypeOf(device & 0xFFFF);
  plat::write32(window, NOR_QUERY);
  // Query address 0x27 of each chip: the chip's size as a power of two.
  const uint32_t n = plat::read32(window + 0x9C) & 0xFF;
  flashSize = n >= 25 ? NOR_MAX_SIZE : 2u << n;
  flashWindow = static_cast<uint8_t*>(mapPhysicalRange(0, flashSize));
  if (flashWindow == nullptr) {
    plat::write32(window, NOR_READ_ARRAY);
    unmapPhysical(window);
    return 0;
  }
  unmapPhysical(window);
  for (uint32_t block = 0; block < flashSize; block += norBlockSize(block)) {
    if (block >= NOR_PROTECTED_END) unlockBlock(block);
  }
  command(0, NOR_CLEAR_STATUS);
  command(0, NOR_READ_ARRAY);
  return 1;
}

const FlashOps norFlashOps = {
    norErase,    norBlockSize, norRead,     norReadWord, nullptr,
    norSetEcc,   norWriteWord, norWrite,    setProgress,
};
