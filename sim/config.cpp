#include "sim/config.h"

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <toml++/toml.h>

namespace sim {

const char* cpuName(Cpu cpu) {
  switch (cpu) {
    case Cpu::PXA270: return "pxa270";
    case Cpu::PXA300: return "pxa300";
    case Cpu::PXA310: return "pxa310";
    case Cpu::PXA320: return "pxa320";
  }
  return "?";
}

bool cpuFromName(const std::string& name, Cpu* cpu) {
  for (Cpu c : {Cpu::PXA270, Cpu::PXA300, Cpu::PXA310, Cpu::PXA320}) {
    if (name == cpuName(c)) {
      *cpu = c;
      return true;
    }
  }
  return false;
}

uint32_t cpuMainId(Cpu cpu) {
  // Implementer 0x69, architecture 5TE; bits 9..4 hold the product number.
  switch (cpu) {
    case Cpu::PXA270: return 0x69054117;  // product 17
    case Cpu::PXA320: return 0x69056827;  // product 2
    case Cpu::PXA300: return 0x69056887;  // product 8
    case Cpu::PXA310: return 0x69056897;  // product 9
  }
  return 0;
}

bool cpuIsPxa3xx(Cpu cpu) { return cpu != Cpu::PXA270; }

namespace {

struct Reader {
  const toml::table& root;
  std::string file;
  std::string error;

  bool fail(const std::string& where, const std::string& what) {
    if (error.empty()) error = file + ": " + where + ": " + what;
    return false;
  }

  // Every key of the table must be one we know.
  void known(const toml::table& t, const std::string& where, std::set<std::string> keys) {
    for (auto&& [k, v] : t) {
      (void)v;
      if (!keys.count(std::string(k.str()))) {
        fail(where.empty() ? std::string(k.str()) : where + "." + std::string(k.str()),
             "unknown setting");
      }
    }
  }

  const toml::table* table(const toml::table& t, const char* name, const std::string& where) {
    const toml::node* n = t.get(name);
    if (!n) return nullptr;
    if (!n->is_table()) {
      fail(where, "must be a table");
      return nullptr;
    }
    return n->as_table();
  }

  template <class T>
  void integer(const toml::table& t, const char* name, const std::string& where, T* out,
               int64_t lo, int64_t hi) {
    const toml::node* n = t.get(name);
    if (!n) return;
    auto v = n->value<int64_t>();
    if (!n->is_integer() || !v) {
      fail(where + "." + name, "must be an integer");
      return;
    }
    if (*v < lo || *v > hi) {
      fail(where + "." + name, "value " + std::to_string(*v) + " out of range");
      return;
    }
    *out = static_cast<T>(*v);
  }

  void boolean(const toml::table& t, const char* name, const std::string& where, bool* out) {
    const toml::node* n = t.get(name);
    if (!n) return;
    if (!n->is_boolean()) {
      fail(where + "." + name, "must be true or false");
      return;
    }
    *out = *n->value<bool>();
  }

  bool string(const toml::table& t, const char* name, const std::string& where, std::string* out) {
    const toml::node* n = t.get(name);
    if (!n) return false;
    if (!n->is_string()) {
      fail(where + "." + name, "must be a string");
      return false;
    }
    *out = *n->value<std::string>();
    return true;
  }

  void bytes(const toml::table& t, const char* name, const std::string& where, uint8_t* out,
             size_t size) {
    const toml::node* n = t.get(name);
    if (!n) return;
    const toml::array* a = n->as_array();
    if (!a || a->size() != size) {
      fail(where + "." + name, "must be an array of " + std::to_string(size) + " bytes");
      return;
    }
    for (size_t i = 0; i < size; ++i) {
      auto v = (*a)[i].value<int64_t>();
      if (!(*a)[i].is_integer() || !v || *v < 0 || *v > 255) {
        fail(where + "." + name, "must be an array of " + std::to_string(size) + " bytes");
        return;
      }
      out[i] = static_cast<uint8_t>(*v);
    }
  }
};

bool parseVersion(const std::string& text, uint32_t* major, uint32_t* minor) {
  unsigned a = 0, b = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%u.%u%c", &a, &b, &tail) != 2 || a > 0xFFFF || b > 0xFFFF) {
    return false;
  }
  *major = a;
  *minor = b;
  return true;
}

}  // namespace

bool loadConfig(const std::filesystem::path& file, Config* config, std::string* error) {
  toml::table root;
  try {
    root = toml::parse_file(file.string());
  } catch (const toml::parse_error& e) {
    std::ostringstream s;
    s << file.string() << ": line " << e.source().begin.line << ": " << e.description();
    *error = s.str();
    return false;
  }
  Config c;
  Reader r{root, file.string(), {}};
  r.known(root, "", {"cpu", "os", "oem", "clock", "memory", "nor"});

  if (const toml::table* t = r.table(root, "cpu", "cpu")) {
    r.known(*t, "cpu", {"product", "mode"});
    std::string s;
    if (r.string(*t, "product", "cpu", &s) && !cpuFromName(s, &c.cpu)) {
      r.fail("cpu.product", "unknown value \"" + s + "\" (pxa270, pxa300, pxa310 or pxa320)");
    }
    if (r.string(*t, "mode", "cpu", &s)) {
      if (s == "user") c.privileged = false;
      else if (s == "privileged") c.privileged = true;
      else r.fail("cpu.mode", "unknown value \"" + s + "\" (user or privileged)");
    }
  }
  if (const toml::table* t = r.table(root, "os", "os")) {
    r.known(*t, "os", {"version", "build", "restart", "image_version"});
    std::string s;
    if (r.string(*t, "version", "os", &s) && !parseVersion(s, &c.osMajor, &c.osMinor)) {
      r.fail("os.version", "must be \"MAJOR.MINOR\"");
    }
    r.integer(*t, "build", "os", &c.osBuild, 0, 0xFFFFFFFF);
    if (r.string(*t, "restart", "os", &s)) {
      if (s == "carry-out") c.restartCarriedOut = true;
      else if (s == "refuse") c.restartCarriedOut = false;
      else r.fail("os.restart", "unknown value \"" + s + "\" (carry-out or refuse)");
    }
    if (const toml::node* n = t->get("image_version")) {
      const toml::array* a = n->as_array();
      bool ok = a && a->size() == 3;
      for (size_t i = 0; ok && i < 3; ++i) {
        auto v = (*a)[i].value<int64_t>();
        ok = (*a)[i].is_integer() && v && *v >= 0 && *v <= 0xFFFFFFFF;
        if (ok) c.imageVersion[i] = static_cast<uint32_t>(*v);
      }
      if (!ok) r.fail("os.image_version", "must be [id, major, minorBuild]");
    }
  }
  if (const toml::table* t = r.table(root, "oem", "oem")) {
    r.known(*t, "oem", {"services", "item0", "image_layout", "hw_version", "item12"});
    if (const toml::table* s = r.table(*t, "services", "oem.services")) {
      r.known(*s, "oem.services",
              {"reboot", "clear_registry", "image_version", "read_item", "write_item", "kernel"});
      r.boolean(*s, "reboot", "oem.services", &c.services.reboot);
      r.boolean(*s, "clear_registry", "oem.services", &c.services.clearRegistry);
      r.boolean(*s, "image_version", "oem.services", &c.services.imageVersion);
      r.boolean(*s, "read_item", "oem.services", &c.services.readItem);
      r.boolean(*s, "write_item", "oem.services", &c.services.writeItem);
      r.boolean(*s, "kernel", "oem.services", &c.services.kernel);
    }
    r.bytes(*t, "item0", "oem", c.item0, 8);
    r.bytes(*t, "item12", "oem", c.item12, 4);
    std::string s;
    if (r.string(*t, "hw_version", "oem", &s)) {
      uint32_t a = 0, b = 0;
      if (!parseVersion(s, &a, &b)) r.fail("oem.hw_version", "must be \"MAJOR.MINOR\"");
      c.hwMajor = static_cast<uint16_t>(a);
      c.hwMinor = static_cast<uint16_t>(b);
    }
    if (const toml::table* l = r.table(*t, "image_layout", "oem.image_layout")) {
      const std::string w = "oem.image_layout";
      r.known(*l, w, {"os_image_start", "registry_start", "registry_copy_size",
                      "second_bootloader_start", "word4", "word5"});
      r.integer(*l, "os_image_start", w, &c.layout.osImageStart, 0, 0xFFFFFFFF);
      r.integer(*l, "registry_start", w, &c.layout.registryStart, 0, 0xFFFFFFFF);
      r.integer(*l, "registry_copy_size", w, &c.layout.registryCopySize, 0, 0xFFFFFFFF);
      r.integer(*l, "second_bootloader_start", w, &c.layout.secondBootloaderStart, 0, 0xFFFFFFFF);
      r.integer(*l, "word4", w, &c.layout.word4, 0, 0xFFFFFFFF);
      r.integer(*l, "word5", w, &c.layout.word5, 0, 0xFFFFFFFF);
    }
  }
  if (const toml::table* t = r.table(root, "clock", "clock")) {
    r.known(*t, "clock", {"virtual"});
    r.boolean(*t, "virtual", "clock", &c.virtualClock);
  }
  if (const toml::table* t = r.table(root, "memory", "memory")) {
    r.known(*t, "memory", {"max_alloc"});
    r.integer(*t, "max_alloc", "memory", &c.maxAlloc, 0, INT64_MAX);
  }
  if (const toml::table* t = r.table(root, "nor", "nor")) {
    r.known(*t, "nor", {"device_code", "chip_size", "faults"});
    r.integer(*t, "device_code", "nor", &c.nor.deviceCode, 0, 0xFFFF);
    r.integer(*t, "chip_size", "nor", &c.nor.chipSize, 0x10000, 0x4000000);
    if (c.nor.chipSize & (c.nor.chipSize - 1)) r.fail("nor.chip_size", "must be a power of two");
    if (const toml::table* f = r.table(*t, "faults", "nor.faults")) {
      const std::string w = "nor.faults";
      r.known(*f, w, {"erase_fail_block", "program_fail_block", "locked_block", "never_ready",
                      "manufacturer", "power_cut_after"});
      r.integer(*f, "erase_fail_block", w, &c.nor.faults.eraseFailBlock, -1, 0xFFFFFFFF);
      r.integer(*f, "program_fail_block", w, &c.nor.faults.programFailBlock, -1, 0xFFFFFFFF);
      r.integer(*f, "locked_block", w, &c.nor.faults.lockedBlock, -1, 0xFFFFFFFF);
      r.boolean(*f, "never_ready", w, &c.nor.faults.neverReady);
      r.integer(*f, "manufacturer", w, &c.nor.faults.manufacturer, 0, 0xFFFF);
      r.integer(*f, "power_cut_after", w, &c.nor.faults.powerCutAfter, 0, INT64_MAX);
    }
  }
  if (!r.error.empty()) {
    *error = r.error;
    return false;
  }
  *config = c;
  return true;
}

namespace {
std::string hex(uint64_t v) {
  char b[24];
  std::snprintf(b, sizeof b, "0x%08llx", static_cast<unsigned long long>(v));
  return b;
}
std::string byteList(const uint8_t* p, size_t n) {
  std::string s = "[";
  for (size_t i = 0; i < n; ++i) s += (i ? ", " : "") + std::to_string(p[i]);
  return s + "]";
}
std::string flag(bool b) { return b ? "true" : "false"; }
}  // namespace

bool saveConfig(const std::filesystem::path& file, const Config& c, std::string* error) {
  std::ostringstream o;
  o << "# Settings of a virtual module. Every setting is optional; missing ones take the\n"
       "# defaults shown here. See README.md for what each one does.\n\n"
    << "[cpu]\n"
    << "product = \"" << cpuName(c.cpu) << "\"   # pxa270 (NOR flash), pxa300, pxa310, pxa320 (NAND flash)\n"
    << "mode = \"" << (c.privileged ? "privileged" : "user")
    << "\"         # the program runs in \"user\" or \"privileged\" mode\n\n"
    << "[os]\n"
    << "version = \"" << c.osMajor << "." << c.osMinor << "\"        # OS version reported to the program\n"
    << "build = " << c.osBuild << "\n"
    << "restart = \"" << (c.restartCarriedOut ? "carry-out" : "refuse")
    << "\"   # restart requests are carried out or refused\n"
    << "image_version = [" << c.imageVersion[0] << ", " << c.imageVersion[1] << ", "
    << c.imageVersion[2] << "]   # running image: id, major, minor | beta build << 16\n\n"
    << "[oem]\n"
    << "hw_version = \"" << c.hwMajor << "." << c.hwMinor << "\"   # OEM item 8\n"
    << "item0 = " << byteList(c.item0, 8) << "\n"
    << "item12 = " << byteList(c.item12, 4) << "\n\n"
    << "[oem.image_layout]   # OEM item 5\n"
    << "os_image_start = " << hex(c.layout.osImageStart) << "\n"
    << "registry_start = " << hex(c.layout.registryStart) << "\n"
    << "registry_copy_size = " << hex(c.layout.registryCopySize) << "\n"
    << "second_bootloader_start = " << hex(c.layout.secondBootloaderStart) << "\n"
    << "word4 = " << hex(c.layout.word4) << "\n"
    << "word5 = " << hex(c.layout.word5) << "\n\n"
    << "[oem.services]   # which OEM requests the OS image serves\n"
    << "reboot = " << flag(c.services.reboot) << "\n"
    << "clear_registry = " << flag(c.services.clearRegistry) << "\n"
    << "image_version = " << flag(c.services.imageVersion) << "\n"
    << "read_item = " << flag(c.services.readItem) << "\n"
    << "write_item = " << flag(c.services.writeItem) << "\n"
    << "kernel = " << flag(c.services.kernel) << "\n\n"
    << "[clock]\n"
    << "virtual = " << flag(c.virtualClock)
    << "   # true: sleeping takes no real time (for tests of time-outs)\n\n"
    << "[memory]\n"
    << "max_alloc = " << c.maxAlloc << "   # largest heap allocation granted, 0 = no limit\n\n"
    << "[nor]   # PXA270 modules: two 16-bit chips on the 32-bit bus\n"
    << "device_code = " << hex(c.nor.deviceCode) << "\n"
    << "chip_size = " << hex(c.nor.chipSize) << "   # bytes per chip; the flash is twice this\n\n"
    << "[nor.faults]   # block addresses are flash offsets, -1 = none\n"
    << "erase_fail_block = " << c.nor.faults.eraseFailBlock << "\n"
    << "program_fail_block = " << c.nor.faults.programFailBlock << "\n"
    << "locked_block = " << c.nor.faults.lockedBlock << "\n"
    << "never_ready = " << flag(c.nor.faults.neverReady) << "\n"
    << "manufacturer = " << hex(c.nor.faults.manufacturer) << "\n"
    << "power_cut_after = " << c.nor.faults.powerCutAfter
    << "   # the power fails at the N-th program or erase command, 0 = never\n";
  std::ofstream f(file, std::ios::trunc);
  f << o.str();
  f.close();
  if (!f) {
    *error = file.string() + ": cannot write";
    return false;
  }
  return true;
}

}  // namespace sim
