#pragma once
// Processor identification and requests to run code in kernel mode.
#include <cstdint>

#include "platform/kernel.h"

constexpr uint32_t CPU_PXA270 = 17;
constexpr uint32_t CPU_PXA320 = 2;
constexpr uint32_t CPU_PXA300 = 8;
constexpr uint32_t CPU_PXA310 = 9;

constexpr uint32_t IOCTL_KERNEL_SERVICE = 0x010120D0;  // sub-functions 0, 1, 2

// Sub-functions of IOCTL_KERNEL_SERVICE (first word of the request record).
constexpr uint32_t KERNEL_RUN_ROUTINE = 0;    // {0, routine, argument} -> 4-byte result
constexpr uint32_t KERNEL_VIRTUAL_COPY = 1;   // {1, destination, physical / 256, size, protect}
constexpr uint32_t KERNEL_READ_INFO = 2;      // {2} -> up to KERNEL_INFO_SIZE bytes
constexpr uint32_t KERNEL_INFO_SIZE = 200;

// Argument block of the kernel-mode trampoline: the function to call and its two arguments.
// On the module the function is a 32-bit code address; on the host it is the function itself.
using TrampolineFunction = uint32_t (*)(uint32_t argument1, uint32_t argument2);
struct KernelBlock {
  TrampolineFunction function;
  uint32_t argument1;
  uint32_t argument2;
};

// Low four bits of the mode field of the CPSR: 0 in user mode.
uint32_t isPrivileged();
// Runs routine(argument) in kernel mode through the OS image; 0 for a null routine or when the
// kernel wrote nothing.
uint32_t KernelCall(plat::KernelRoutine routine, uint32_t argument);
// Kernel-mode trampoline: argument is the 32-bit address (plat::pin) of a KernelBlock.
uint32_t kernelTrampoline(uint32_t block);
// Bits 9..4 of the main identification register.
uint32_t readCpuProduct();
// Sub-function 2, sent once per process before the first user-mode mapping request.
// Answers nonzero when the kernel returned at least one byte (later calls answer the same
// without a new request).
uint32_t readKernelInfo();
// Sub-function 1: VirtualCopy done by the kernel on the caller's behalf. Answers the kernel's
// 4-byte result, or 0 when the request itself failed.
uint32_t kernelVirtualCopy(void* destination, uint32_t source, uint32_t size, uint32_t protect);
