// The physical bus: finds the device for an address; a cycle nobody answers ends the process.
#include "sim/bus.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {

uint16_t Device::read16(uint32_t offset) {
  return static_cast<uint16_t>(read32(offset & ~3u) >> (8 * (offset & 2)));
}

uint8_t Device::read8(uint32_t offset) {
  return static_cast<uint8_t>(read32(offset & ~3u) >> (8 * (offset & 3)));
}

void Device::write16(uint32_t offset, uint16_t value) {
  const uint32_t shift = 8 * (offset & 2);
  const uint32_t word = read32(offset & ~3u);
  write32(offset & ~3u, (word & ~(0xFFFFu << shift)) | uint32_t{value} << shift);
}

void Device::write8(uint32_t offset, uint8_t value) {
  const uint32_t shift = 8 * (offset & 3);
  const uint32_t word = read32(offset & ~3u);
  write32(offset & ~3u, (word & ~(0xFFu << shift)) | uint32_t{value} << shift);
}

void Device::readBlock(uint32_t offset, void* destination, size_t bytes) {
  auto* out = static_cast<uint8_t*>(destination);
  while (bytes > 0) {
    const uint32_t aligned = offset & ~3u;
    const uint32_t skip = offset - aligned;
    const size_t n = std::min<size_t>(4 - skip, bytes);
    const uint32_t word = read32(aligned);
    uint8_t b[4];
    std::memcpy(b, &word, 4);
    std::memcpy(out, b + skip, n);
    out += n;
    offset += static_cast<uint32_t>(n);
    bytes -= n;
  }
}

void Bus::attach(uint32_t base, uint32_t size, Device* device) {
  slots_.push_back({base, size, device});
}

Device* Bus::find(uint32_t physical, uint32_t* offset) const {
  for (const Slot& slot : slots_) {
    if (physical - slot.base < slot.size && physical >= slot.base) {
      if (offset != nullptr) *offset = physical - slot.base;
      return slot.device;
    }
  }
  return nullptr;
}

Device* Bus::deviceFor(uint32_t physical, uint32_t* offset) const {
  Device* device = find(physical, offset);
  if (device == nullptr) {
    std::fflush(stdout);
    std::fprintf(stderr, "bus error: no device at physical 0x%08X\n", physical);
    std::fflush(stderr);
    std::_Exit(3);
  }
  return device;
}

uint32_t Bus::read32(uint32_t physical) const {
  uint32_t offset = 0;
  Device* device = deviceFor(physical, &offset);
  return device->read32(offset);
}

void Bus::write32(uint32_t physical, uint32_t value) const {
  uint32_t offset = 0;
  Device* device = deviceFor(physical, &offset);
  device->write32(offset, value);
}

uint16_t Bus::read16(uint32_t physical) const {
  uint32_t offset = 0;
  Device* device = deviceFor(physical, &offset);
  return device->read16(offset);
}

void Bus::write16(uint32_t physical, uint16_t value) const {
  uint32_t offset = 0;
  Device* device = deviceFor(physical, &offset);
  device->write16(offset, value);
}

uint8_t Bus::read8(uint32_t physical) const {
  uint32_t offset = 0;
  Device* device = deviceFor(physical, &offset);
  return device->read8(offset);
}

void Bus::write8(uint32_t physical, uint8_t value) const {
  uint32_t offset = 0;
  Device* device = deviceFor(physical, &offset);
  device->write8(offset, value);
}

// A block may run across devices; each part goes to the device that holds it.
void Bus::readBlock(uint32_t physical, void* destination, size_t bytes) const {
  auto* out = static_cast<uint8_t*>(destination);
  while (bytes > 0) {
    uint32_t offset = 0;
    Device* device = deviceFor(physical, &offset);
    uint64_t room = 0;
    for (const Slot& slot : slots_) {
      if (slot.device == device && physical >= slot.base && physical - slot.base < slot.size) {
        room = uint64_t{slot.size} - offset;
        break;
      }
    }
    const size_t n = static_cast<size_t>(std::min<uint64_t>(room, bytes));
    device->readBlock(offset, out, n);
    out += n;
    physical += static_cast<uint32_t>(n);
    bytes -= n;
  }
}

}  // namespace sim
