#pragma once
// Mappings of physical address ranges into the program.
#include <cstdint>

// An 8 KB window on the 4 KB page that holds physical; answers the address inside it
// (low two bits dropped), or base 0 plus that offset on failure.
void* mapPhysical(uint32_t physical);
// A mapping that covers [physical, physical + size).
void* mapPhysicalRange(uint32_t physical, uint32_t size);
void unmapPhysical(void* pointer);
