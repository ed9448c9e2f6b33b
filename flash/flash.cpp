// The flash access layer: one table of operations behind the system-wide mutex
// "RoZoziduZazez", started on first use with the back end that fits the processor.
#include "flash/flash.h"

#include <cstdint>

#include "flash/nand/nand.h"
#include "flash/nor/nor.h"
#include "hw/cpu.h"
#include "platform/threads.h"
#include "platform/types.h"

FlashOps flashOps;
int32_t flashKind = FLASH_NONE;
uint32_t flashSize = 0;
int32_t NandError = 0;

namespace {

struct LayerState {
  uint32_t started;
  plat::Handle mutex;
  ProgressFn progress;
  uint32_t interval;
};
LayerState layer;

}  // namespace

int32_t initFlash() {
  if (layer.started != 0) return flashKind;
  layer.mutex = plat::createMutex(FLASH_MUTEX_NAME, false);
  if (layer.mutex == 0) return FLASH_NONE;
  // Started from here on, so that taking the lock does not start the layer again.
  layer.started = 1;
  lockFlash(FLASH_MUTEX_WAIT_FOREVER);
  if (readCpuProduct() == CPU_PXA270) {
    flashKind = FLASH_NOR;
    layer.started = norStart() != 0 ? 1 : 0;
    flashOps = norFlashOps;
  } else {
    flashKind = FLASH_NAND;
    layer.started = nandStart() != 0 ? 1 : 0;
    flashOps = nandFlashOps;
  }
  unlockFlash();
  if (layer.started == 0) closeFlash();
  return flashKind;
}

int lockFlash(uint32_t timeout) {
  if (layer.started == 0) initFlash();
  if (layer.mutex == 0) return 0;
  const uint32_t wait = plat::waitForSingleObject(layer.mutex, timeout);
  if (wait == plat::WAIT_ABANDONED) {
    // Its last owner ended inside a flash operation: what it left in the flash is unknown, so
    // this caller gives up. The ownership that came with the answer is handed back, else no
    // one else could take the lock while this process lives.
    plat::releaseMutex(layer.mutex);
    return 0;
  }
  return wait == plat::WAIT_OBJECT_0 ? 1 : 0;
}

int unlockFlash() {
  return plat::releaseMutex(layer.mutex) ? 1 : 0;
}

int closeFlash() {
  plat::closeHandle(layer.mutex);
  flashKind = FLASH_NONE;
  layer.mutex = 0;
  layer.started = 0;
  return 1;
}

void setProgress(ProgressFn progress, uint32_t interval) {
  layer.progress = progress;
  layer.interval = interval;
}

int reportEraseProgress(uint32_t done, uint32_t total, uint32_t* nextMark) {
  if (layer.progress == nullptr || done < *nextMark) return 1;
  if (layer.progress(done, total) == 0) return 0;
  // Saturates: a mark beyond every offset means no further call.
  *nextMark = layer.interval > UINT32_MAX - *nextMark ? UINT32_MAX : *nextMark + layer.interval;
  return 1;
}
