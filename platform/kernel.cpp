// The processor mode, the CP15 identification register, KernelIoControl and kernel routines.
#include "platform/kernel.h"

#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <vector>

#include "platform/internal.h"
#include "platform/text.h"

namespace plat {

namespace detail {
bool doVirtualCopy(uint32_t destination, uint32_t source, uint32_t size, uint32_t protect);
uint32_t defaultMode = 0x10;
thread_local uint32_t threadMode = 0;  // 0: the process's default mode
}  // namespace detail

namespace {

constexpr uint32_t MODE_USER = 0x10;
constexpr uint32_t MODE_SUPERVISOR = 0x13;
constexpr uint32_t MODE_SYSTEM = 0x1F;
constexpr uint32_t CODE_BASE = 0x00010000;  // code addresses handed to the kernel

std::mutex routineLock;
std::vector<KernelRoutine>& routines() {
  static std::vector<KernelRoutine> r;
  return r;
}

uint32_t runRoutine(uint32_t address, uint32_t argument) {
  KernelRoutine routine = nullptr;
  {
    std::lock_guard<std::mutex> g(routineLock);
    uint32_t index = (address - CODE_BASE) / 4;
    if (address >= CODE_BASE && (address & 3) == 0 && index < routines().size()) {
      routine = routines()[index];
    }
  }
  if (!routine) {
    std::fprintf(stderr, "platform: kernel asked to run code at 0x%08x, which is no routine\n",
                 address);
    ::_exit(3);
  }
  uint32_t saved = detail::threadMode;
  detail::threadMode = MODE_SUPERVISOR;
  uint32_t result = routine(argument);
  detail::threadMode = saved;
  return result;
}

}  // namespace

namespace detail {

void startKernel(sim::Module* m) {
  defaultMode = m->config().privileged ? MODE_SYSTEM : MODE_USER;
  sim::KernelHooks hooks;
  hooks.runRoutine = runRoutine;
  hooks.virtualCopy = doVirtualCopy;
  m->oem().setHooks(std::move(hooks));
}

void stopKernel() {
  if (attached()) module().oem().setHooks({});
}

}  // namespace detail

uint32_t currentProcessorMode() {
  return detail::threadMode ? detail::threadMode : detail::defaultMode;
}

uint32_t readMainIdRegister() {
  if ((currentProcessorMode() & 0xF) == 0) {
    std::fprintf(stderr, "platform: undefined instruction (CP15 read in user mode)\n");
    std::fflush(stderr);
    ::_exit(3);
  }
  return detail::module().mainIdRegister();
}

bool kernelIoControl(uint32_t code, void* in, uint32_t inSize, void* out, uint32_t outSize,
                     uint32_t* bytesReturned) {
  bool ok = detail::module().oem().ioControl(code, in, inSize, out, outSize, bytesReturned);
  if (!ok) setLastError(ERROR_NOT_SUPPORTED);
  return ok;
}

uint32_t codeAddress(KernelRoutine routine) {
  std::lock_guard<std::mutex> g(routineLock);
  auto& r = routines();
  for (size_t i = 0; i < r.size(); ++i) {
    if (r[i] == routine) return CODE_BASE + static_cast<uint32_t>(4 * i);
  }
  r.push_back(routine);
  return CODE_BASE + static_cast<uint32_t>(4 * (r.size() - 1));
}

void setColdStart(uint32_t value) { detail::module().oem().setColdStart(value); }

OsVersion getVersion() {
  const sim::Config& c = detail::module().config();
  return OsVersion{c.osMajor, c.osMinor, c.osBuild};
}

void outputDebugString(const char16_t* text) {
  std::string s = toUtf8(text);
  std::fwrite(s.data(), 1, s.size(), stderr);
  std::fflush(stderr);
}

}  // namespace plat
