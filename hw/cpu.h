#pragma once
// Processor identification and requests to run code in kernel mode.
#include <cstdint>

#include "platform/kernel.h"

constexpr uint32_t CPU_PXA270 = 17;
constexpr uint32_t CPU_PXA320 = 2;
constexpr uint32_t CPU_PXA300 = 8;
constexpr uint32_t CPU_PXA310 = 9;

constexpr uint32_t IOCTL_KERNEL_SERVICE = 0x010120D0;  // sub-functions 0, 1, 2

// Low four bits of the mode field of the CPSR: 0 in user mode.
uint32_t isPrivileged();
// Runs routine(argument) in kernel mode through the OS image; 0 for a null routine or when the
// kernel wrote nothing.
uint32_t KernelCall(plat::KernelRoutine routine, uint32_t argument);
// Kernel-mode trampoline: argument is the 32-bit address of a block {function, arg1, arg2}.
uint32_t kernelTrampoline(uint32_t block);
// Bits 9..4 of the main identification register.
uint32_t readCpuProduct();
// Sub-function 2, sent once per process before the first user-mode mapping request.
// Answers nonzero when the kernel returned at least one byte.
uint32_t readKernelInfo();
