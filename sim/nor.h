#pragma once
// NOR flash: two 16-bit chips side by side on the 32-bit bus at physical address 0.
// Each chip runs its own command state machine on its half of every 32-bit access.
// Contents persist in a file (the 32-bit bus view, byte for byte).
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

  // powerCut is called when the configured power cut strikes; it does not return.
  NorFlash(const NorConfig& config, std::filesystem::path contents,
           std::function<void(const char*)> powerCut);
  ~NorFlash() override;
  // Maps the contents file, creating it erased when missing.
  bool open(std::string* error);

  uint32_t size() const;  // bytes on the bus (two chips)
  std::string name() const override { return "nor"; }
  uint32_t read32(uint32_t offset) override;
  void write32(uint32_t offset, uint32_t value) override;
  void readBlock(uint32_t offset, void* destination, size_t bytes) override;

  // Access that bypasses the command set, as a factory programmer (and tests) would.
  void rawRead(uint32_t offset, void* destination, size_t bytes) const;
  void rawWrite(uint32_t offset, const void* source, size_t bytes);

  Counters counters() const;
  NorFaults& faults();
  bool blockLocked(uint32_t offset) const;
  uint32_t blockSizeAt(uint32_t offset) const;  // erase-block size on the bus at that offset

 private:
  struct State;
  State* s_;
};

}  // namespace sim
