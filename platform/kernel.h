#pragma once
// The processor, the kernel and the OS image's OEM services.
#include <cstdint>

namespace plat {

// Mode field of the current program status register for the calling thread:
// 0x10 user, 0x13 supervisor, 0x1F system.
uint32_t currentProcessorMode();
// CP15 register c0 (main identification). Privileged modes only: in user mode the access is an
// undefined instruction and the process ends.
uint32_t readMainIdRegister();

// KernelIoControl: a request to the OS image. Answers false when the OS image does not serve
// it. bytesReturned may be null.
bool kernelIoControl(uint32_t code, void* in, uint32_t inSize, void* out, uint32_t outSize,
                     uint32_t* bytesReturned);

// A routine that the kernel may run on the program's behalf (kernel call, sub-function 0).
using KernelRoutine = uint32_t (*)(uint32_t argument);
// The 32-bit code address under which the kernel finds the routine.
uint32_t codeAddress(KernelRoutine routine);

// The core system library's cold-start call (export 615): the next restart is a cold one.
void setColdStart(uint32_t value);

struct OsVersion {
  uint32_t major;
  uint32_t minor;
  uint32_t build;
};
OsVersion getVersion();

// The platform's debug output.
void outputDebugString(const char16_t* text);

}  // namespace plat
