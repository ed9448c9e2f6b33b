#pragma once
// Mappings of physical address ranges into the program.
#include <cstdint>

// Mappings are uncached read/write views: PAGE_READWRITE | PAGE_NOCACHE | PAGE_PHYSICAL.
constexpr uint32_t PHYS_MAP_PROTECT = 0x604;
constexpr uint32_t PHYS_WINDOW_SIZE = 0x2000;     // mapPhysical
constexpr uint32_t PHYS_MAP_PIECE = 0x2000000;    // largest VirtualCopy of mapPhysicalRange

// An 8 KB window on the 4 KB page that holds physical; answers the address inside it
// (low two bits dropped), or null when the reservation or the copy failed.
void* mapPhysical(uint32_t physical);
// A mapping that covers [physical, physical + size), made in pieces of at most 32 MB;
// answers the address inside it (low two bits dropped), or null on failure.
void* mapPhysicalRange(uint32_t physical, uint32_t size);
// Releases a mapping made by mapPhysical or mapPhysicalRange (null is ignored).
void unmapPhysical(void* pointer);
