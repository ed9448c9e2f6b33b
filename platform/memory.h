#pragma once
// Process memory, virtual memory with physical mappings, and register access.
//
// A mapping of physical memory is reached only through the accessor functions below: the
// addresses that virtualAlloc hands out are reserved but not readable. Every access is served
// by the device at that physical address.
#include <cstddef>
#include <cstdint>

namespace plat {

// Local heap. localAlloc answers null when the allocation fails (the module may limit the
// largest allocation, to show behaviour under memory pressure).
void* localAlloc(size_t bytes);
void localFree(void* p);

constexpr uint32_t MEM_COMMIT = 0x1000;
constexpr uint32_t MEM_RESERVE = 0x2000;
constexpr uint32_t MEM_DECOMMIT = 0x4000;
constexpr uint32_t MEM_RELEASE = 0x8000;
constexpr uint32_t PAGE_NOACCESS = 0x01;
constexpr uint32_t PAGE_READWRITE = 0x04;
constexpr uint32_t PAGE_NOCACHE = 0x200;
constexpr uint32_t PAGE_PHYSICAL = 0x400;

// Reserves address space (MEM_RESERVE, PAGE_NOACCESS). The addresses fit in 32 bits.
void* virtualAlloc(void* address, uint32_t size, uint32_t type, uint32_t protect);
// Backs a reservation with physical memory. With PAGE_PHYSICAL, source is the physical
// address divided by 256. Only privileged code may call it; a user-mode thread gets false
// (ERROR_ACCESS_DENIED) and asks the kernel instead.
bool virtualCopy(void* destination, uint32_t source, uint32_t size, uint32_t protect);
bool virtualFree(void* address, uint32_t size, uint32_t type);

// Register and bus accessors on mapped addresses.
uint32_t read32(const void* address);
uint16_t read16(const void* address);
uint8_t read8(const void* address);
void write32(void* address, uint32_t value);
void write16(void* address, uint16_t value);
void write8(void* address, uint8_t value);
// Bulk copy from a mapping (memory read cycles), for reading memory-like devices fast.
void readBlock(void* destination, const void* address, size_t bytes);

// 32-bit stand-ins for program addresses that requests to the kernel carry in 32-bit words
// (on the module addresses are 32 bits wide). pin() registers an address and answers its
// 32-bit value; pinned() resolves it; unpin() forgets it.
uint32_t pin(const void* p);
void* pinned(uint32_t value);
void unpin(uint32_t value);

}  // namespace plat
