// Processor identification and requests to run code in kernel mode.
#include "hw/cpu.h"

#include <cstdint>

#include "platform/kernel.h"
#include "platform/memory.h"

namespace {

// What the OS image answered to the information read; kept, never interpreted.
struct KernelInfo {
  bool done;
  uint32_t length;
  uint8_t bytes[KERNEL_INFO_SIZE];
};
KernelInfo kernelInfo;

// The product routine: runs in a privileged mode only (the register read traps in user mode).
uint32_t productRoutine(uint32_t, uint32_t) {
  return (plat::readMainIdRegister() >> 4) & 0x3F;
}

}  // namespace

uint32_t isPrivileged() {
  return plat::currentProcessorMode() & 0xF;
}

uint32_t KernelCall(plat::KernelRoutine routine, uint32_t argument) {
  if (routine == nullptr) return 0;
  uint32_t record[3] = {KERNEL_RUN_ROUTINE, plat::codeAddress(routine), argument};
  uint32_t result = 0;
  // When the service is missing nothing is written and the result stays 0.
  plat::kernelIoControl(IOCTL_KERNEL_SERVICE, record, sizeof record, &result, sizeof result,
                        nullptr);
  return result;
}

uint32_t kernelTrampoline(uint32_t block) {
  const auto* b = static_cast<const KernelBlock*>(plat::pinned(block));
  if (b == nullptr || b->function == nullptr) return 0;
  return b->function(b->argument1, b->argument2);
}

uint32_t readCpuProduct() {
  if (isPrivileged() != 0) return productRoutine(0, 0);
  KernelBlock block = {productRoutine, 0, 0};
  const uint32_t address = plat::pin(&block);
  const uint32_t product = KernelCall(kernelTrampoline, address);
  plat::unpin(address);
  return product;
}

uint32_t readKernelInfo() {
  if (!kernelInfo.done) {
    kernelInfo.done = true;
    uint32_t request = KERNEL_READ_INFO;
    uint32_t returned = 0;
    if (!plat::kernelIoControl(IOCTL_KERNEL_SERVICE, &request, sizeof request, kernelInfo.bytes,
                               KERNEL_INFO_SIZE, &returned)) {
      returned = 0;
    }
    kernelInfo.length = returned;
  }
  return kernelInfo.length != 0 ? 1 : 0;
}

uint32_t kernelVirtualCopy(void* destination, uint32_t source, uint32_t size, uint32_t protect) {
  // Reservations lie below 4 GB, so the destination fits the request's 32-bit word.
  const auto address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(destination));
  uint32_t record[5] = {KERNEL_VIRTUAL_COPY, address, source, size, protect};
  uint32_t result = 0;
  if (!plat::kernelIoControl(IOCTL_KERNEL_SERVICE, record, sizeof record, &result, sizeof result,
                             nullptr)) {
    return 0;
  }
  return result;
}
