#pragma once
// A virtual module: a folder that holds its settings, flash contents, registry, file root and
// event log, and the devices and OS-image services built from them.
//
//   DIR/module.toml      settings
//   DIR/files/           the module's file root ("\" on the module)
//   DIR/flash/           flash contents (nor.bin)
//   DIR/registry/        default.json, persistent.json, live.json
//   DIR/state.json       boot counter and boot time
//   DIR/run/boot-N/      named objects of the running boot (mutexes, shared memory)
//   DIR/events.jsonl     what the OS image and the hardware did
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "sim/bus.h"
#include "sim/clock.h"
#include "sim/config.h"
#include "sim/events.h"
#include "sim/oem.h"
#include "sim/registry_store.h"

namespace sim {

class NorFlash;
class Gpio;
class OsTimer;

// Physical addresses of the module's devices.
constexpr uint32_t NOR_BASE = 0x00000000;
constexpr uint32_t OST_BASE = 0x40A00000;   // OS timer; the counter is at +0x10
constexpr uint32_t GPIO_BASE = 0x40E00000;
constexpr uint32_t MFPR_BASE = 0x40E10000;  // PXA3xx multi-function pin registers
constexpr uint32_t NAND_CONTROLLER_BASE = 0x43100000;

struct CreateOptions {
  Cpu cpu = Cpu::PXA270;
  uint16_t hwMajor = 1, hwMinor = 2;
};

class Module {
 public:
  ~Module();
  // Creates a new module folder with default settings. Fails when DIR holds a module already.
  static bool create(const std::filesystem::path& dir, const CreateOptions& options,
                     std::string* error);
  // Opens a module folder. On failure answers null and a one-line message.
  static std::unique_ptr<Module> open(const std::filesystem::path& dir, std::string* error);

  const std::filesystem::path& dir() const { return dir_; }
  const Config& config() const { return config_; }
  std::filesystem::path fileRoot() const { return dir_ / "files"; }
  std::filesystem::path flashDir() const { return dir_ / "flash"; }
  // Where the named objects of the running boot live.
  std::filesystem::path objectDir() const;
  uint64_t bootCount() const { return boot_; }

  Bus& bus() { return bus_; }
  Clock& clock() { return clock_; }
  Events& events() { return events_; }
  RegistryStore& registry() { return registry_; }
  Oem& oem() { return oem_; }
  NorFlash* nor() { return nor_.get(); }  // null on PXA3xx modules
  Gpio* gpio() { return gpio_.get(); }
  OsTimer* timer() { return timer_.get(); }
  // CP15 c0 of the module's processor.
  uint32_t mainIdRegister() const { return cpuMainId(config_.cpu); }

  // The module restarts: recorded, the boot ends (named objects and the live registry go),
  // and the process ends with exit code 1 as the program's would when the module reboots.
  [[noreturn]] void restart(bool cold);
  // The power fails: recorded, and the process ends at once (exit code 3). Flash keeps
  // exactly what was done.
  [[noreturn]] void powerCut(const char* what);

 private:
  Module();
  bool load(const std::filesystem::path& dir, std::string* error);
  void startBoot();

  std::filesystem::path dir_;
  Config config_;
  uint64_t boot_ = 0;
  Bus bus_;
  Clock clock_;
  Events events_;
  RegistryStore registry_;
  Oem oem_{this};
  std::unique_ptr<NorFlash> nor_;
  std::unique_ptr<Gpio> gpio_;
  std::unique_ptr<OsTimer> timer_;
};

}  // namespace sim
