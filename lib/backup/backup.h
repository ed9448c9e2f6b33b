#pragma once
// Backup of flash regions into an image file.
#include <cstdint>

#include "lib/regions/regions.h"

using RegionFn = int (*)(const FlashRegion* region);
using SectionFn = int (*)(uint32_t start, uint32_t length);
using WriteProgressFn = int (*)(uint32_t doneInSection, uint32_t doneInRegion);

RslResult RSLBackupToFile(const char16_t* path, uint32_t mask, RegionFn regionFn,
                          SectionFn sectionFn, WriteProgressFn writeProgressFn);
