#pragma once
// NAND back end of the flash layer (PXA3xx modules): data flash controller, chip table,
// bad-block map and the FlashOps entries.
#include "flash/flash.h"

// Starts the NAND back end: controller, chip identification and bad-block map. Success flag.
// Runs under the flash mutex.
int nandStart();
// The NAND entries of FlashOps.
extern const FlashOps nandFlashOps;
