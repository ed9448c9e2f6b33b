#pragma once
// NOR back end: two 16-bit chips side by side on the 32-bit bus at physical address 0.
// Every command and status word carries the same 16-bit value for both chips (0x00XX00XX).
#include <cstdint>

#include "flash/flash.h"

// Commands, written as 32-bit words into the mapped flash.
constexpr uint32_t NOR_READ_ARRAY = 0x00FF00FF;
constexpr uint32_t NOR_READ_ID = 0x00900090;       // identifier codes and block lock status
constexpr uint32_t NOR_QUERY = 0x00980098;
constexpr uint32_t NOR_CLEAR_STATUS = 0x00500050;
constexpr uint32_t NOR_UNLOCK_SETUP = 0x00600060;  // then NOR_CONFIRM
constexpr uint32_t NOR_ERASE_SETUP = 0x00200020;   // then NOR_CONFIRM
constexpr uint32_t NOR_CONFIRM = 0x00D000D0;
constexpr uint32_t NOR_WORD_PROGRAM = 0x00400040;  // then the data word
constexpr uint32_t NOR_BUFFER_PROGRAM = 0x00E800E8;

constexpr uint32_t NOR_STATUS_READY = 0x00800080;  // both chips show bit 7
// Error bits of either chip: 1 block locked, 3 program voltage, 4 program error, 5 erase error.
// Errors stick until the clear-status command, which every failing operation sends, so that
// one failure does not make every later operation fail.
constexpr uint32_t NOR_STATUS_ERROR = 0x003A003A;
constexpr uint32_t NOR_BLOCK_LOCKED = 0x00010001;  // lock status at block + 8 in identifier mode
constexpr uint32_t NOR_MANUFACTURER = 0x00890089;

constexpr uint32_t NOR_SMALL_BLOCK = 0x10000;
constexpr uint32_t NOR_BLOCK = 0x40000;
constexpr uint32_t NOR_PROTECTED_END = 0x40000;  // blocks below keep their lock state at start
constexpr uint32_t NOR_MAX_SIZE = 0x4000000;
constexpr uint32_t NOR_WRITE_BUFFER = 64;        // bytes of one buffered program on the bus

constexpr uint32_t NOR_ERASE_TIMEOUT_MS = 10000;
constexpr uint32_t NOR_ERASE_POLL_MS = 100;
constexpr uint32_t NOR_WORD_TIMEOUT_MS = 1000;
constexpr uint32_t NOR_BUFFER_TIMEOUT_MS = 2000;

// Chip type by device code; codes not in the table give type 0 (accepted, 256 KB blocks).
struct NorDeviceType {
  uint16_t deviceCode;
  uint8_t type;
};
constexpr uint32_t NOR_DEVICE_TYPES = 18;
extern const NorDeviceType norDeviceTypes[NOR_DEVICE_TYPES];
uint32_t norTypeOf(uint32_t deviceCode);

extern uint32_t NorChipType;

// Identifies the chips, maps the whole flash, sets flashSize and unlocks every block from
// NOR_PROTECTED_END up. Success flag. Runs under the flash mutex.
int norStart();
// The NOR entries of FlashOps (pageSize is null).
extern const FlashOps norFlashOps;
