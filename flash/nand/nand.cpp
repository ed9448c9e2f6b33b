// NAND back end of the flash layer.
//
// The data flash controller, the chip table, the bad-block map and the NAND operations are not
// part of this program yet. Until they are, the start reports that the controller did not
// start, so on PXA3xx modules the flash layer does not start, and the table holds no
// operations besides the shared progress setting. The controller start and the operations go
// here, and nandStart answers their result.
#include "flash/nand/nand.h"

#include "flash/flash.h"

int nandStart() {
  return 0;
}

const FlashOps nandFlashOps = {
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, setProgress,
};
