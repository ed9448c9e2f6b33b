#include "sim/oem.h"

#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>

#include "sim/module.h"

namespace sim {

namespace {

uint32_t word(const void* p, size_t index) {
  uint32_t v;
  std::memcpy(&v, static_cast<const uint8_t*>(p) + 4 * index, 4);
  return v;
}

void putWord(void* p, uint32_t v) { std::memcpy(p, &v, 4); }

uint32_t itemSize(uint32_t item) {
  switch (item) {
    case 0: return 8;
    case 5: return 24;
    case 8: return 8;
    case 12: return 4;
    default: return 0;
  }
}

std::filesystem::path itemFile(const Module* m) { return m->dir() / "oem-items.json"; }

nlohmann::json readItems(const Module* m) {
  std::ifstream f(itemFile(m));
  if (!f) return nlohmann::json::object();
  try {
    return nlohmann::json::parse(f);
  } catch (const nlohmann::json::exception&) {
    return nlohmann::json::object();
  }
}

}  // namespace

bool Oem::item(uint32_t number, uint8_t* buffer, uint32_t size, uint32_t* length) const {
  uint32_t n = itemSize(number);
  if (n == 0 || size < n) return false;
  const Config& c = module_->config();
  uint8_t data[24] = {};
  switch (number) {
    case 0: std::memcpy(data, c.item0, 8); break;
    case 5: {
      const uint32_t words[6] = {c.layout.osImageStart, c.layout.registryStart,
                                 c.layout.registryCopySize, c.layout.secondBootloaderStart,
                                 c.layout.word4, c.layout.word5};
      std::memcpy(data, words, 24);
      break;
    }
    case 8: {
      const uint16_t words[4] = {c.hwMajor, c.hwMinor, 0, 0};
      std::memcpy(data, words, 8);
      break;
    }
    case 12: std::memcpy(data, c.item12, 4); break;
  }
  // Items the program wrote back override the settings.
  nlohmann::json items = readItems(module_);
  std::string key = std::to_string(number);
  if (items.contains(key) && items[key].is_array() && items[key].size() == n) {
    for (uint32_t i = 0; i < n; ++i) data[i] = items[key][i].get<uint8_t>();
  }
  std::memcpy(buffer, data, n);
  *length = n;
  return true;
}

bool Oem::ioControl(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                    uint32_t* bytesReturned) {
  const Config& c = module_->config();
  switch (code) {
    case IOCTL_HAL_REBOOT:
      if (!c.services.reboot) return false;
      return reboot(in, inSize);
    case IOCTL_OEM_CLEAR_REGISTRY:
      if (!c.services.clearRegistry) return false;
      module_->registry().clearPersistent();
      module_->events().record({{"event", "registry-clear"}});
      return true;
    case IOCTL_OEM_IMAGE_VERSION:
      // The caller passes the 12-byte record with an output size of 0.
      if (!c.services.imageVersion || !out) return false;
      std::memcpy(out, c.imageVersion, 12);
      if (bytesReturned) *bytesReturned = 12;
      return true;
    case IOCTL_OEM_READ_ITEM: {
      if (!c.services.readItem || !in || inSize < 12 || !out) return false;
      uint32_t n = 0;
      if (!item(word(in, 0), static_cast<uint8_t*>(out), outSize, &n)) return false;
      if (bytesReturned) *bytesReturned = n;
      return true;
    }
    case IOCTL_OEM_WRITE_ITEM: {
      if (!c.services.writeItem || !in || inSize < 12 || !out) return false;
      uint32_t number = word(in, 0);
      uint32_t n = itemSize(number);
      if (n == 0 || outSize < n) return false;
      nlohmann::json items = readItems(module_);
      nlohmann::json bytes = nlohmann::json::array();
      for (uint32_t i = 0; i < n; ++i) bytes.push_back(static_cast<const uint8_t*>(out)[i]);
      items[std::to_string(number)] = bytes;
      std::ofstream(itemFile(module_), std::ios::trunc) << items.dump(2) << "\n";
      module_->events().record({{"event", "oem-item-write"}, {"item", number}});
      return true;
    }
    case IOCTL_OEM_KERNEL:
      if (!c.services.kernel) return false;
      return kernel(in, inSize, out, outSize, bytesReturned);
    default:
      return false;
  }
}

bool Oem::reboot(const void* in, uint32_t inSize) {
  // A cold restart is asked for by the cold-start call or by the 4-byte zero input.
  bool cold = coldStart_ || (in && inSize == 4 && word(in, 0) == 0);
  if (!module_->config().restartCarriedOut) {
    module_->events().record({{"event", "restart-refused"}, {"kind", cold ? "cold" : "warm"}});
    return false;
  }
  module_->restart(cold);
}

bool Oem::kernel(const void* in, uint32_t inSize, void* out, uint32_t outSize,
                 uint32_t* returned) {
  if (!in || inSize < 4) return false;
  switch (word(in, 0)) {
    case 0: {  // run a routine in kernel mode
      if (inSize < 12 || !out || outSize < 4 || !hooks_.runRoutine) return false;
      putWord(out, hooks_.runRoutine(word(in, 1), word(in, 2)));
      if (returned) *returned = 4;
      return true;
    }
    case 1: {  // VirtualCopy on the caller's behalf
      if (inSize < 20 || !out || outSize < 4 || !hooks_.virtualCopy) return false;
      bool ok = hooks_.virtualCopy(word(in, 1), word(in, 2), word(in, 3), word(in, 4));
      putWord(out, ok ? 1 : 0);
      if (returned) *returned = 4;
      return true;
    }
    case 2: {  // information block
      if (!out) return false;
      uint8_t info[200] = {};
      const char text[] = "virtual kernel services 1.0";
      std::memcpy(info, text, sizeof text);
      putWord(info + 64, module_->mainIdRegister());
      uint32_t n = outSize < 200 ? outSize : 200;
      std::memcpy(out, info, n);
      if (returned) *returned = n;
      return true;
    }
    default:
      return false;
  }
}

}  // namespace sim
