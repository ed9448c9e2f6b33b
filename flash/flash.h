#pragma once
// The flash access layer: one table of operations behind one system-wide mutex.
#include <cstdint>

// Progress callback: (bytes done, bytes in total); nonzero to go on, 0 to abort.
using ProgressFn = int (*)(uint32_t done, uint32_t total);

// Offsets are byte offsets from the start of the flash as the back end presents it.
// Success flags: nonzero = success, 0 = failure.
struct FlashOps {
  int (*erase)(uint32_t start, uint32_t length);
  uint32_t (*blockSize)(uint32_t offset);
  int (*read)(void* destination, uint32_t offset, uint32_t length);
  uint32_t (*readWord)(uint32_t offset);
  uint32_t (*pageSize)();  // null on NOR: test flashKind first
  int (*setEcc)(int on);   // answers the previous setting
  int (*writeWord)(uint32_t offset, uint32_t value);
  int (*write)(const void* source, uint32_t offset, uint32_t length);
  void (*setProgress)(ProgressFn progress, uint32_t interval);
};

constexpr int32_t FLASH_NONE = 0;
constexpr int32_t FLASH_NOR = 1;
constexpr int32_t FLASH_NAND = 2;

extern FlashOps flashOps;
extern int32_t flashKind;   // FLASH_NOR, FLASH_NAND, or FLASH_NONE when not started
extern uint32_t flashSize;  // usable bytes, set by the back end when it starts
extern int32_t NandError;   // last error of the NAND back end

constexpr uint32_t FLASH_MUTEX_WAIT_FOREVER = 0xFFFFFFFFu;
constexpr const char16_t* FLASH_MUTEX_NAME = u"RoZoziduZazez";

int32_t initFlash();                 // flashKind, 0 when the layer failed to start
int lockFlash(uint32_t timeout);     // 1 when the caller now owns the mutex
int unlockFlash();
int closeFlash();                    // always 1
void setProgress(ProgressFn progress, uint32_t interval);

// Erase progress shared by the back ends: call before each block with the bytes done so far
// and the covered total; *nextMark starts at 0. Calls the progress function when done has
// reached the mark, then moves the mark on by the interval (an interval of 0 reports before
// every block). Answers 0 when the progress function asked to abort.
int reportEraseProgress(uint32_t done, uint32_t total, uint32_t* nextMark);
