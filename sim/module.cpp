#include "sim/module.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>

#include "sim/gpio.h"
#include "sim/nor.h"

namespace sim {

namespace fs = std::filesystem;

namespace {

int64_t wallMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool writable(const fs::path& dir) { return ::access(dir.c_str(), W_OK | X_OK) == 0; }

}  // namespace

Module::Module() = default;
Module::~Module() = default;

bool Module::create(const fs::path& dir, const CreateOptions& options, std::string* error) {
  std::error_code ec;
  if (fs::exists(dir / "module.toml", ec)) {
    *error = (dir / "module.toml").string() + ": a module exists here already";
    return false;
  }
  if (fs::exists(dir, ec) && !fs::is_directory(dir, ec)) {
    *error = dir.string() + ": not a folder";
    return false;
  }
  fs::create_directories(dir, ec);
  if (ec || !writable(dir)) {
    *error = dir.string() + ": cannot create the module folder" + (ec ? " (" + ec.message() + ")" : "");
    return false;
  }
  Config c;
  c.cpu = options.cpu;
  c.hwMajor = options.hwMajor;
  c.hwMinor = options.hwMinor;
  for (const fs::path& p : {dir / "files" / "USB HD" / "IMAGES", dir / "files" / "windows",
                            dir / "flash", dir / "registry", dir / "run"}) {
    fs::create_directories(p, ec);
    if (ec) {
      *error = p.string() + ": cannot create (" + ec.message() + ")";
      return false;
    }
  }
  uint32_t flashBytes = 2 * c.nor.chipSize;
  const uint32_t fsBase = 0x01480000;
  if (!RegistryStore::writeDefault(dir / "registry", fsBase,
                                   flashBytes > fsBase ? flashBytes - fsBase : 0, error)) {
    return false;
  }
  return saveConfig(dir / "module.toml", c, error);
}

std::unique_ptr<Module> Module::open(const fs::path& dir, std::string* error) {
  std::unique_ptr<Module> m(new Module());
  if (!m->load(dir, error)) return nullptr;
  return m;
}

bool Module::load(const fs::path& dir, std::string* error) {
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) {
    *error = dir.string() + ": no such module folder";
    return false;
  }
  if (!writable(dir)) {
    *error = dir.string() + ": the module folder is not writable";
    return false;
  }
  if (!fs::exists(dir / "module.toml", ec)) {
    *error = (dir / "module.toml").string() +
             ": not found (create a module with \"vazizodu-module create\")";
    return false;
  }
  dir_ = fs::absolute(dir, ec);
  if (!loadConfig(dir_ / "module.toml", &config_, error)) return false;
  for (const fs::path& p : {fileRoot(), flashDir(), dir_ / "registry", dir_ / "run"}) {
    fs::create_directories(p, ec);
    if (ec) {
      *error = p.string() + ": cannot create (" + ec.message() + ")";
      return false;
    }
  }

  // The running boot: its number and when it started.
  int64_t bootEpoch = 0;
  {
    std::ifstream f(dir_ / "state.json");
    if (f) {
      try {
        nlohmann::json s = nlohmann::json::parse(f);
        boot_ = s.value("boot", uint64_t{0});
        bootEpoch = s.value("boot_time_ms", int64_t{0});
      } catch (const nlohmann::json::exception&) {
        boot_ = 0;
      }
    }
  }
  registry_.open(dir_ / "registry");
  events_.open(dir_ / "events.jsonl", &clock_);
  if (boot_ == 0) {
    startBoot();
  } else {
    clock_.start(config_.virtualClock, bootEpoch);
    if (!fs::exists(registry_.liveFile(), ec)) registry_.boot();
  }
  fs::create_directories(objectDir(), ec);

  if (!cpuIsPxa3xx(config_.cpu)) {
    nor_ = std::make_unique<NorFlash>(config_.nor, flashDir() / "nor.bin",
                                      [this](const char* what) { powerCut(what); });
    if (!nor_->open(error)) return false;
    bus_.attach(NOR_BASE, nor_->size(), nor_.get());
  }
  gpio_ = std::make_unique<Gpio>(config_.cpu);
  bus_.attach(GPIO_BASE, 0x20000, gpio_.get());
  timer_ = std::make_unique<OsTimer>(&clock_);
  bus_.attach(OST_BASE, 0x1000, timer_.get());
  return true;
}

fs::path Module::objectDir() const { return dir_ / "run" / ("boot-" + std::to_string(boot_)); }

void Module::startBoot() {
  std::error_code ec;
  fs::remove_all(objectDir(), ec);
  ++boot_;
  int64_t now = wallMs();
  clock_.start(config_.virtualClock, now);
  registry_.boot();
  fs::create_directories(objectDir(), ec);
  std::ofstream(dir_ / "state.json", std::ios::trunc)
      << nlohmann::json{{"boot", boot_}, {"boot_time_ms", now}}.dump(2) << "\n";
}

void Module::restart(bool cold) {
  events_.record({{"event", "restart"}, {"kind", cold ? "cold" : "warm"}});
  startBoot();
  std::fflush(stdout);
  std::fflush(stderr);
  ::_exit(1);
}

void Module::powerCut(const char* what) {
  events_.record({{"event", "power-cut"}, {"during", what}});
  std::fprintf(stderr, "virtual module: power cut during %s\n", what);
  std::fflush(stdout);
  std::fflush(stderr);
  ::_exit(3);
}

}  // namespace sim
