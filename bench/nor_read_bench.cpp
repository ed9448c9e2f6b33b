// Read speed of the NOR back end: the whole flash of a PXA270 module read through
// flashOps.read in 1 MB pieces, against a plain memcpy of the same size in the same run.
// Exits with 1 when the flash read is slower than half the memcpy speed.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "flash/flash.h"
#include "platform/host.h"
#include "sim/module.h"
#include "sim/nor.h"

namespace {

constexpr uint32_t CHUNK = 0x100000;
constexpr int ROUNDS = 7;

using Clock = std::chrono::steady_clock;

template <class F>
double bestSeconds(F&& run) {
  double best = 1e30;
  for (int i = 0; i < ROUNDS; ++i) {
    const auto t0 = Clock::now();
    if (!run()) return -1;
    best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
  }
  return best;
}

int fail(const std::string& message) {
  std::fprintf(stderr, "nor_read_bench: %s\n", message.c_str());
  return 2;
}

}  // namespace

int main() {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("vz-nor-bench-" + std::to_string(::getpid()));
  std::string error;
  sim::CreateOptions options;
  options.cpu = sim::Cpu::PXA270;
  if (!sim::Module::create(dir, options, &error)) return fail(error);
  struct Cleanup {
    fs::path dir;
    ~Cleanup() {
      std::error_code ignored;
      fs::remove_all(dir, ignored);
    }
  } cleanup{dir};

  std::unique_ptr<sim::Module> module = sim::Module::open(dir, &error);
  if (!module) return fail(error);
  plat::HostOptions host;
  if (!plat::attach(module.get(), host, &error)) return fail(error);
  if (initFlash() != FLASH_NOR) return fail("the NOR flash layer did not start");
  if (lockFlash(FLASH_MUTEX_WAIT_FOREVER) != 1) return fail("no flash lock");

  const uint32_t size = flashSize;
  std::vector<uint8_t> source(size);
  for (uint32_t i = 0; i < size; ++i) source[i] = static_cast<uint8_t>(i * 2654435761u >> 24);
  module->nor()->rawWrite(0, source.data(), source.size());
  std::vector<uint8_t> destination(size, 0);

  const double flashTime = bestSeconds([&] {
    for (uint32_t offset = 0; offset < size; offset += CHUNK) {
      if (flashOps.read(destination.data() + offset, offset, std::min(CHUNK, size - offset)) == 0)
        return false;
    }
    return true;
  });
  if (flashTime < 0) return fail("flashOps.read failed");
  if (destination != source) return fail("flashOps.read gave other bytes than the flash holds");

  const double copyTime = bestSeconds([&] {
    std::memcpy(destination.data(), source.data(), size);
    // Keep the copy from being optimised away.
    return destination[size / 2] == source[size / 2];
  });
  unlockFlash();

  const double mb = size / 1048576.0;
  const double flashSpeed = mb / flashTime;
  const double copySpeed = mb / copyTime;
  const double ratio = flashSpeed / copySpeed;
  std::printf("flash size          %u MB\n", size >> 20);
  std::printf("flashOps.read       %10.1f MB/s  (%.3f ms, best of %d)\n", flashSpeed,
              flashTime * 1e3, ROUNDS);
  std::printf("memcpy              %10.1f MB/s  (%.3f ms, best of %d)\n", copySpeed,
              copyTime * 1e3, ROUNDS);
  std::printf("ratio               %10.2f  (read / memcpy; at least 0.50 required)\n", ratio);

  plat::detach();
  return ratio >= 0.5 ? 0 : 1;
}
