// Process memory and mappings of physical memory.
//
// Reservations are real address space (no access) below 4 GB, so that their addresses fit the
// 32-bit words of kernel requests and a raw dereference faults at once. What backs a
// reservation is recorded here; the accessor functions route each access to the device that
// answers at the physical address.
#include "platform/memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "platform/internal.h"
#include "platform/kernel.h"
#include "platform/types.h"

namespace plat {

namespace detail {
bool doVirtualCopy(uint32_t destination, uint32_t source, uint32_t size, uint32_t protect);
}

namespace {

struct Segment {
  uintptr_t start;  // virtual
  uint32_t size;
  uint32_t physical;
};

struct Reservation {
  uint32_t size;
  std::vector<Segment> segments;
};

std::shared_mutex mapLock;
std::map<uintptr_t, Reservation>& reservations() {
  static std::map<uintptr_t, Reservation> r;
  return r;
}
std::atomic<uint64_t> generation{1};

struct Cached {
  uint64_t generation = 0;
  Segment segment{};
};
thread_local Cached cache;

[[noreturn]] void accessViolation(const void* address) {
  std::fprintf(stderr, "platform: access violation at 0x%08lx (no mapping)\n",
               static_cast<unsigned long>(reinterpret_cast<uintptr_t>(address)));
  std::fflush(stderr);
  ::_exit(3);
}

// Physical address for a mapped virtual address, and how many bytes stay in the same segment.
uint32_t translate(const void* address, uint32_t* rest) {
  uintptr_t a = reinterpret_cast<uintptr_t>(address);
  if (cache.generation == generation.load(std::memory_order_acquire) && a >= cache.segment.start &&
      a - cache.segment.start < cache.segment.size) {
    uintptr_t off = a - cache.segment.start;
    if (rest) *rest = static_cast<uint32_t>(cache.segment.size - off);
    return static_cast<uint32_t>(cache.segment.physical + off);
  }
  std::shared_lock<std::shared_mutex> g(mapLock);
  auto& r = reservations();
  auto it = r.upper_bound(a);
  if (it == r.begin()) accessViolation(address);
  --it;
  for (const Segment& s : it->second.segments) {
    if (a >= s.start && a - s.start < s.size) {
      cache.generation = generation.load(std::memory_order_acquire);
      cache.segment = s;
      uintptr_t off = a - s.start;
      if (rest) *rest = static_cast<uint32_t>(s.size - off);
      return static_cast<uint32_t>(s.physical + off);
    }
  }
  accessViolation(address);
}

std::map<uint32_t, void*>& pins() {
  static std::map<uint32_t, void*> p;
  return p;
}
std::mutex pinLock;
uint32_t nextPin = 0x7E000000;

}  // namespace

void* localAlloc(size_t bytes) {
  uint64_t limit = detail::attached() ? detail::module().config().maxAlloc : 0;
  if (limit && bytes > limit) {
    setLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  void* p = std::malloc(bytes ? bytes : 1);
  if (!p) setLastError(ERROR_NOT_ENOUGH_MEMORY);
  return p;
}

void localFree(void* p) { std::free(p); }

void* virtualAlloc(void* address, uint32_t size, uint32_t type, uint32_t protect) {
  (void)protect;
  if (address || !(type & MEM_RESERVE) || size == 0) {
    setLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  size_t bytes = (size + 0xFFFu) & ~size_t{0xFFF};
  void* p = ::mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_32BIT,
                   -1, 0);
  if (p == MAP_FAILED) {
    setLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  std::unique_lock<std::shared_mutex> g(mapLock);
  reservations()[reinterpret_cast<uintptr_t>(p)] = Reservation{static_cast<uint32_t>(bytes), {}};
  return p;
}

bool detail::doVirtualCopy(uint32_t destination, uint32_t source, uint32_t size, uint32_t protect) {
  if (!(protect & PAGE_PHYSICAL) || size == 0 || (destination & 0xFFF)) {
    setLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  uint64_t physical = static_cast<uint64_t>(source) << 8;
  if (physical + size > 0x100000000ull) {
    setLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  std::unique_lock<std::shared_mutex> g(mapLock);
  auto& r = reservations();
  uintptr_t d = destination;
  auto it = r.upper_bound(d);
  if (it == r.begin()) {
    setLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  --it;
  if (d - it->first + size > it->second.size) {
    setLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  it->second.segments.push_back(Segment{d, size, static_cast<uint32_t>(physical)});
  generation.fetch_add(1, std::memory_order_release);
  return true;
}

bool virtualCopy(void* destination, uint32_t source, uint32_t size, uint32_t protect) {
  if ((currentProcessorMode() & 0xF) == 0) {
    setLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  uintptr_t d = reinterpret_cast<uintptr_t>(destination);
  if (d > 0xFFFFFFFFu) {
    setLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  return detail::doVirtualCopy(static_cast<uint32_t>(d), source, size, protect);
}

bool virtualFree(void* address, uint32_t size, uint32_t type) {
  (void)size;
  if (!(type & MEM_RELEASE)) {
    setLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  std::unique_lock<std::shared_mutex> g(mapLock);
  auto& r = reservations();
  auto it = r.find(reinterpret_cast<uintptr_t>(address));
  if (it == r.end()) {
    setLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  ::munmap(address, it->second.size);
  r.erase(it);
  generation.fetch_add(1, std::memory_order_release);
  return true;
}

uint32_t read32(const void* address) { return detail::module().bus().read32(translate(address, nullptr)); }
uint16_t read16(const void* address) { return detail::module().bus().read16(translate(address, nullptr)); }
uint8_t read8(const void* address) { return detail::module().bus().read8(translate(address, nullptr)); }
void write32(void* address, uint32_t value) {
  detail::module().bus().write32(translate(address, nullptr), value);
}
void write16(void* address, uint16_t value) {
  detail::module().bus().write16(translate(address, nullptr), value);
}
void write8(void* address, uint8_t value) {
  detail::module().bus().write8(translate(address, nullptr), value);
}

void readBlock(void* destination, const void* address, size_t bytes) {
  auto* out = static_cast<uint8_t*>(destination);
  auto a = reinterpret_cast<uintptr_t>(address);
  while (bytes) {
    uint32_t rest = 0;
    uint32_t physical = translate(reinterpret_cast<const void*>(a), &rest);
    size_t n = bytes < rest ? bytes : rest;
    detail::module().bus().readBlock(physical, out, n);
    out += n;
    a += n;
    bytes -= n;
  }
}

uint32_t pin(const void* p) {
  std::lock_guard<std::mutex> g(pinLock);
  uint32_t v = nextPin;
  nextPin += 8;
  pins()[v] = const_cast<void*>(p);
  return v;
}

void* pinned(uint32_t value) {
  std::lock_guard<std::mutex> g(pinLock);
  auto it = pins().find(value);
  return it == pins().end() ? nullptr : it->second;
}

void unpin(uint32_t value) {
  std::lock_guard<std::mutex> g(pinLock);
  pins().erase(value);
}

}  // namespace plat
