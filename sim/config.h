#pragma once
// The settings of a virtual module (module.toml).
#include <cstdint>
#include <filesystem>
#include <string>

namespace sim {

enum class Cpu { PXA270, PXA300, PXA310, PXA320 };
const char* cpuName(Cpu cpu);                  // "pxa270" ...
bool cpuFromName(const std::string& name, Cpu* cpu);
uint32_t cpuMainId(Cpu cpu);                   // CP15 c0 value of the processor
bool cpuIsPxa3xx(Cpu cpu);

// One fault record for the NOR flash. Block addresses are flash offsets of any byte in the
// block; -1 means no such fault.
struct NorFaults {
  int64_t eraseFailBlock = -1;    // erase of this block reports an erase error
  int64_t programFailBlock = -1;  // programs into this block report a program error, change nothing
  int64_t lockedBlock = -1;       // this block stays locked whatever unlock does
  bool neverReady = false;        // the chips never report ready after a program or erase command
  uint32_t manufacturer = 0x0089; // manufacturer code the chips answer
  uint64_t powerCutAfter = 0;     // the power fails at the N-th program or erase command (0 = never)
};

struct NorConfig {
  uint32_t deviceCode = 0x8818;   // device identifier of each chip
  uint32_t chipSize = 0x1000000;  // bytes per chip (a power of two); the bus sees twice this
  NorFaults faults;
};

struct OemServices {  // which OEM requests the OS image serves
  bool reboot = true;
  bool clearRegistry = true;
  bool imageVersion = true;
  bool readItem = true;
  bool writeItem = true;
  bool kernel = true;
};

struct ImageLayout {  // OEM item 5
  uint32_t osImageStart = 0x00080000;
  uint32_t registryStart = 0x01400000;
  uint32_t registryCopySize = 0x00040000;
  uint32_t secondBootloaderStart = 0;
  uint32_t word4 = 0;
  uint32_t word5 = 0;
};

struct Config {
  Cpu cpu = Cpu::PXA270;
  bool privileged = false;          // the program's threads run in a privileged mode
  uint32_t osMajor = 5, osMinor = 0, osBuild = 0;
  bool restartCarriedOut = true;    // false: the OS image refuses restart requests
  uint32_t imageVersion[3] = {1, 3, 0};  // VersionInfo of the running image: id, major, minorBuild
  OemServices services;
  uint8_t item0[8] = {};
  ImageLayout layout;
  uint16_t hwMajor = 1, hwMinor = 2; // OEM item 8
  uint8_t item12[4] = {};
  bool virtualClock = false;
  uint64_t maxAlloc = 0;            // largest allocation the heap grants (0 = no limit)
  NorConfig nor;
};

// Reads module.toml. On failure answers false and a one-line message naming the file.
bool loadConfig(const std::filesystem::path& file, Config* config, std::string* error);
// Writes a module.toml with every setting, documented.
bool saveConfig(const std::filesystem::path& file, const Config& config, std::string* error);

}  // namespace sim
