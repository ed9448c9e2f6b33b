#pragma once
// The OS image's OEM layer: the KernelIoControl requests the module's OS image serves.
#include <cstdint>
#include <functional>

namespace sim {

class Module;

// What the kernel does inside the calling process; supplied by the host side that runs the
// program (the OEM layer knows nothing of it).
struct KernelHooks {
  // Runs the routine at a code address in kernel mode with one argument; answers its result.
  std::function<uint32_t(uint32_t routine, uint32_t argument)> runRoutine;
  // VirtualCopy for the caller: destination address, source (physical / 256), size, protection.
  std::function<bool(uint32_t destination, uint32_t source, uint32_t size, uint32_t protect)>
      virtualCopy;
};

constexpr uint32_t IOCTL_HAL_REBOOT = 0x0101003C;
constexpr uint32_t IOCTL_OEM_IMAGE_VERSION = 0x0101200C;
constexpr uint32_t IOCTL_OEM_CLEAR_REGISTRY = 0x01012010;
constexpr uint32_t IOCTL_OEM_READ_ITEM = 0x01012028;
constexpr uint32_t IOCTL_OEM_WRITE_ITEM = 0x0101202C;
constexpr uint32_t IOCTL_OEM_KERNEL = 0x010120D0;

class Oem {
 public:
  explicit Oem(Module* module) : module_(module) {}
  void setHooks(KernelHooks hooks) { hooks_ = std::move(hooks); }
  // Answers false (and writes nothing) for requests the OS image does not serve.
  bool ioControl(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                 uint32_t* bytesReturned);
  // The cold-start call of the core system library.
  void setColdStart(uint32_t value) { coldStart_ = value != 0; }
  // Reads an OEM item as the OS image holds it (items written by the program included).
  bool item(uint32_t number, uint8_t* buffer, uint32_t size, uint32_t* length) const;

 private:
  bool reboot(const void* in, uint32_t inSize);
  bool kernel(const void* in, uint32_t inSize, void* out, uint32_t outSize, uint32_t* returned);
  Module* module_;
  KernelHooks hooks_;
  bool coldStart_ = false;
};

}  // namespace sim
