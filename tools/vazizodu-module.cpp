// vazizodu-module: creates virtual module folders and reads or writes their flash contents
// directly, as a factory programmer would.
//
//   vazizodu-module create DIR --cpu pxa270|pxa300|pxa310|pxa320 [--hw-version MAJOR.MINOR]
//   vazizodu-module dump DIR OFFSET LENGTH     raw flash bytes to standard output
//   vazizodu-module write DIR OFFSET FILE      raw bytes from FILE into the flash
//
// Numbers are decimal or hexadecimal with 0x. Errors: one line on standard error, exit code 2.
#include <CLI/CLI.hpp>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "sim/config.h"
#include "sim/module.h"
#include "sim/nor.h"

namespace {

constexpr int EXIT_ERROR = 2;
const char* const PROGRAM = "vazizodu-module";

int fail(const std::string& message) {
  std::fprintf(stderr, "%s: %s\n", PROGRAM, message.c_str());
  return EXIT_ERROR;
}

// Decimal or 0x-prefixed hexadecimal, all of the text, within 32 bits.
bool parseNumber(const std::string& text, uint32_t* value) {
  if (text.empty()) return false;
  int base = 10;
  std::string digits = text;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    digits = text.substr(2);
  }
  for (char ch : digits) {
    if (base == 10 ? !std::isdigit(static_cast<unsigned char>(ch))
                   : !std::isxdigit(static_cast<unsigned char>(ch))) {
      return false;
    }
  }
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(digits.c_str(), &end, base);
  if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFull) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

bool parseHwVersion(const std::string& text, uint16_t* major, uint16_t* minor) {
  const size_t dot = text.find('.');
  if (dot == std::string::npos) return false;
  uint32_t a = 0, b = 0;
  if (!parseNumber(text.substr(0, dot), &a) || !parseNumber(text.substr(dot + 1), &b)) return false;
  if (a > 0xFFFF || b > 0xFFFF) return false;
  *major = static_cast<uint16_t>(a);
  *minor = static_cast<uint16_t>(b);
  return true;
}

// Opens the module and checks that [offset, offset + length) lies in its NOR flash.
std::unique_ptr<sim::Module> openFlash(const std::string& dir, uint32_t offset, uint64_t length,
                                       const std::string& what, std::string* error) {
  std::unique_ptr<sim::Module> module = sim::Module::open(dir, error);
  if (!module) return nullptr;
  sim::NorFlash* nor = module->nor();
  if (nor == nullptr) {
    *error = dir + ": the module has no NOR flash (" + sim::cpuName(module->config().cpu) + ")";
    return nullptr;
  }
  if (uint64_t{offset} + length > nor->size()) {
    char size[32];
    std::snprintf(size, sizeof size, "0x%X", nor->size());
    *error = what + ": runs past the end of the flash (" + size + " bytes)";
    return nullptr;
  }
  return module;
}

int create(const std::string& dir, const std::string& cpuText, const std::string& hwText) {
  sim::CreateOptions options;
  if (!sim::cpuFromName(cpuText, &options.cpu)) {
    return fail("--cpu " + cpuText + ": unknown processor (pxa270, pxa300, pxa310 or pxa320)");
  }
  if (!hwText.empty() && !parseHwVersion(hwText, &options.hwMajor, &options.hwMinor)) {
    return fail("--hw-version " + hwText + ": not a version MAJOR.MINOR");
  }
  std::string error;
  if (!sim::Module::create(dir, options, &error)) return fail(error);
  return 0;
}

int dump(const std::string& dir, const std::string& offsetText, const std::string& lengthText) {
  uint32_t offset = 0, length = 0;
  if (!parseNumber(offsetText, &offset)) return fail("OFFSET " + offsetText + ": not a number");
  if (!parseNumber(lengthText, &length)) return fail("LENGTH " + lengthText + ": not a number");
  std::string error;
  auto module = openFlash(dir, offset, length, "OFFSET " + offsetText + " LENGTH " + lengthText,
                          &error);
  if (!module) return fail(error);
  std::vector<uint8_t> bytes(length);
  module->nor()->rawRead(offset, bytes.data(), bytes.size());
  if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() ||
      std::fflush(stdout) != 0) {
    return fail(std::string("standard output: ") + std::strerror(errno));
  }
  return 0;
}

int write(const std::string& dir, const std::string& offsetText, const std::string& file) {
  uint32_t offset = 0;
  if (!parseNumber(offsetText, &offset)) return fail("OFFSET " + offsetText + ": not a number");
  std::ifstream in(file, std::ios::binary);
  if (!in) return fail(file + ": cannot read (" + std::strerror(errno) + ")");
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return fail(file + ": cannot read");
  std::string error;
  auto module = openFlash(dir, offset, bytes.size(),
                          file + " (" + std::to_string(bytes.size()) + " bytes) at OFFSET " + offsetText,
                          &error);
  if (!module) return fail(error);
  module->nor()->rawWrite(offset, bytes.data(), bytes.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Creates virtual modules and reads or writes their flash as a factory programmer "
               "would.",
               PROGRAM};
  app.require_subcommand(1);

  std::string dir, cpu, hwVersion, offset, length, file;
  CLI::App* createCmd = app.add_subcommand("create", "Create a new module folder");
  createCmd->add_option("DIR", dir, "Module folder to create")->required();
  createCmd->add_option("--cpu", cpu, "Processor: pxa270, pxa300, pxa310 or pxa320")->required();
  createCmd->add_option("--hw-version", hwVersion, "Hardware version MAJOR.MINOR (OEM item 8)");

  CLI::App* dumpCmd = app.add_subcommand("dump", "Write raw NOR flash bytes to standard output");
  dumpCmd->add_option("DIR", dir, "Module folder")->required();
  dumpCmd->add_option("OFFSET", offset, "Flash offset (decimal or 0x hex)")->required();
  dumpCmd->add_option("LENGTH", length, "Number of bytes (decimal or 0x hex)")->required();

  CLI::App* writeCmd = app.add_subcommand("write", "Write a file's bytes raw into the NOR flash");
  writeCmd->add_option("DIR", dir, "Module folder")->required();
  writeCmd->add_option("OFFSET", offset, "Flash offset (decimal or 0x hex)")->required();
  writeCmd->add_option("FILE", file, "File whose bytes are written")->required();

  if (argc < 2) return fail("no command given: create, dump or write (see --help)");
  const std::string command = argv[1];
  if (command.empty() || (command[0] != '-' && command != "create" && command != "dump" &&
                          command != "write")) {
    return fail(command + ": unknown command (create, dump or write)");
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::string message = e.what();
    for (char& ch : message) {
      if (ch == '\n') ch = ' ';
    }
    return fail(message + " (see --help)");
  }

  if (createCmd->parsed()) return create(dir, cpu, hwVersion);
  if (dumpCmd->parsed()) return dump(dir, offset, length);
  return write(dir, offset, file);
}
