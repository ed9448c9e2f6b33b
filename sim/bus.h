#pragma once
// The module's physical bus: devices answer reads and writes in their physical range.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// A device on the bus. Offsets are relative to the device's base address.
class Device {
 public:
  virtual ~Device() = default;
  virtual std::string name() const = 0;
  virtual uint32_t read32(uint32_t offset) = 0;
  virtual void write32(uint32_t offset, uint32_t value) = 0;
  // Narrow accesses default to the containing 32-bit word.
  virtual uint16_t read16(uint32_t offset);
  virtual void write16(uint32_t offset, uint16_t value);
  virtual uint8_t read8(uint32_t offset);
  virtual void write8(uint32_t offset, uint8_t value);
  // Bulk read; the default reads word by word. Memory-like devices copy directly.
  virtual void readBlock(uint32_t offset, void* destination, size_t bytes);
};

class Bus {
 public:
  // Attaches a device (not owned) at [base, base + size).
  void attach(uint32_t base, uint32_t size, Device* device);
  // The device and the offset inside it for a physical address; null when nothing answers.
  Device* find(uint32_t physical, uint32_t* offset) const;

  // Accesses to an address where no device answers are bus errors: they end the process
  // with a message naming the address (the program touched hardware that is not there).
  uint32_t read32(uint32_t physical) const;
  void write32(uint32_t physical, uint32_t value) const;
  uint16_t read16(uint32_t physical) const;
  void write16(uint32_t physical, uint16_t value) const;
  uint8_t read8(uint32_t physical) const;
  void write8(uint32_t physical, uint8_t value) const;
  void readBlock(uint32_t physical, void* destination, size_t bytes) const;

 private:
  struct Slot {
    uint32_t base;
    uint32_t size;
    Device* device;
  };
  Device* deviceFor(uint32_t physical, uint32_t* offset) const;
  std::vector<Slot> slots_;
};

}  // namespace sim
