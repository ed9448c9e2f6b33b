#pragma once
// NOR flash: two 16-bit chips side by side on the 32-bit bus at physical address 0.
// Each chip runs its own command state machine on its half of every 32-bit access.
// Contents persist in a file (the 32-bit bus view, byte for byte).
//
// Chip word address = bus offset / 4; chip 0 answers in bits 15..0, chip 1 in bits 31..16.
// Geometry follows the device code: the bottom-parameter chip types have four 32 KB
// parameter blocks at the bottom of each chip (64 KB blocks on the bus below 0x40000) and
// 128 KB main blocks above; all others have 128 KB blocks per chip (256 KB on the bus).
// All blocks are locked at power-on. Operations complete at once unless a fault says never.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "sim/bus.h"
#include "sim/config.h"

namespace sim {

class NorFlash : public Device {
 public:
  struct Counters {
    uint64_t reads = 0;     // read accesses (a block read counts once)
    uint64_t programs = 0;  // program commands (word program or buffered program confirm)
    uint64_t erases = 0;    // block erase commands
  };

  // Status register bits of each chip.
  static constexpr uint16_t STATUS_READY = 0x80;
  static constexpr uint16_t STATUS_ERASE_ERROR = 0x20;
  static constexpr uint16_t STATUS_PROGRAM_ERROR = 0x10;
  static constexpr uint16_t STATUS_VPP_ERROR = 0x08;
  static constexpr uint16_t STATUS_LOCKED_ERROR = 0x02;

  // powerCut is called when the configured power cut strikes; it does not return.
  NorFlash(const NorConfig& config, std::filesystem::path contents,
           std::function<void(const char*)> powerCut);
  ~NorFlash() override;
  NorFlash(const NorFlash&) = delete;
  NorFlash& operator=(const NorFlash&) = delete;
  // Maps the contents file, creating it erased when missing. Answers false and a one-line
  // message naming the file when the file has the wrong size or cannot be mapped, or when
  // the configured chip size is not usable.
  bool open(std::string* error);

  uint32_t size() const;  // bytes on the bus (two chips)
  std::string name() const override { return "nor"; }
  uint32_t read32(uint32_t offset) override;
  void write32(uint32_t offset, uint32_t value) override;
  // A 16-bit (or 8-bit) write reaches only the chip whose half it addresses.
  void write16(uint32_t offset, uint16_t value) override;
  void write8(uint32_t offset, uint8_t value) override;
  // Copies straight from the contents when both chips read the array.
  void readBlock(uint32_t offset, void* destination, size_t bytes) override;

  // Access that bypasses the command set, as a factory programmer (and tests) would.
  // Answers false (and touches nothing) when the range does not lie inside the flash.
  bool rawRead(uint32_t offset, void* destination, size_t bytes) const;
  bool rawWrite(uint32_t offset, const void* source, size_t bytes);

  Counters counters() const;
  NorFaults& faults();
  bool blockLocked(uint32_t offset) const;       // either chip holds the block locked
  void setBlockLocked(uint32_t offset, bool locked);  // both chips, as a programmer would
  uint32_t blockSizeAt(uint32_t offset) const;  // erase-block size on the bus at that offset
  uint32_t blockStart(uint32_t offset) const;   // bus offset of the block holding offset
  bool bottomParameterBlocks() const;

 private:
  struct State;
  State* s_;
};

}  // namespace sim
