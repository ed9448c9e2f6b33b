// Mappings of physical address ranges into the program.
//
// A mapping is a reservation of address space backed by VirtualCopy from physical memory. A
// user-mode thread may not call VirtualCopy, so then the kernel does it on the program's behalf;
// the information read goes to the kernel once before the first such request.
#include "hw/physmem.h"

#include <algorithm>
#include <cstdint>

#include "hw/cpu.h"
#include "platform/memory.h"

namespace {

constexpr uint32_t PAGE_SIZE = 0x1000;

bool copyPhysical(void* destination, uint32_t physical, uint32_t size) {
  const uint32_t source = physical / 256;
  if (isPrivileged() != 0) {
    return plat::virtualCopy(destination, source, size, PHYS_MAP_PROTECT);
  }
  readKernelInfo();
  return kernelVirtualCopy(destination, source, size, PHYS_MAP_PROTECT) != 0;
}

// Base of a mapping plus the word offset of the address inside its page. On failure the
// answer is null whatever the offset: an offset alone is no usable address.
void* inside(void* base, uint32_t physical) {
  if (base == nullptr) return nullptr;
  return static_cast<uint8_t*>(base) + (physical & 0xFFC);
}

}  // namespace

void* mapPhysical(uint32_t physical) {
  void* base = plat::virtualAlloc(nullptr, PHYS_WINDOW_SIZE, plat::MEM_RESERVE,
                                  plat::PAGE_NOACCESS);
  if (base != nullptr && !copyPhysical(base, physical & ~(PAGE_SIZE - 1), PHYS_WINDOW_SIZE)) {
    plat::virtualFree(base, 0, plat::MEM_RELEASE);
    base = nullptr;
  }
  return inside(base, physical);
}

void* mapPhysicalRange(uint32_t physical, uint32_t size) {
  const uint64_t span = uint64_t{physical % PAGE_SIZE} + size;
  const uint64_t total = (span + PAGE_SIZE - 1) / PAGE_SIZE * PAGE_SIZE;
  if (total == 0 || total > 0xFFFFFFFFu) return nullptr;
  void* base = plat::virtualAlloc(nullptr, static_cast<uint32_t>(total), plat::MEM_RESERVE,
                                  plat::PAGE_NOACCESS);
  if (base == nullptr) return nullptr;
  const uint32_t first = physical & ~(PAGE_SIZE - 1);
  uint32_t done = 0;
  while (done < total) {
    const uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(total - done, PHYS_MAP_PIECE));
    if (!copyPhysical(static_cast<uint8_t*>(base) + done, first + done, piece)) {
      plat::virtualFree(base, 0, plat::MEM_RELEASE);
      return nullptr;
    }
    done += piece;
  }
  return inside(base, physical);
}

void unmapPhysical(void* pointer) {
  if (pointer == nullptr) return;
  const uintptr_t page = reinterpret_cast<uintptr_t>(pointer) & ~uintptr_t{PAGE_SIZE - 1};
  plat::virtualFree(reinterpret_cast<void*>(page), 0, plat::MEM_RELEASE);
}
