// The program on the host: runs the module's program on a virtual module.
//
//   vazizodu [--module DIR] [--ui text|script] [--ui-script FILE] [--ui-log FILE]
//            [--regions] [--] COMMAND LINE...
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/entry.h"
#include "lib/regions/regions.h"
#include "platform/host.h"
#include "platform/text.h"
#include "sim/module.h"

namespace {

const char* const USAGE =
    "usage: vazizodu [HOST OPTIONS] [--] [COMMAND LINE...]\n"
    "\n"
    "Runs the flash maintenance tool on a virtual module. Everything after the host options\n"
    "is the module's command line; without commands the main dialog opens.\n"
    "Exit code: 1 = success, 0 = failure (the module's convention), 2 = host error.\n"
    "\n"
    "Host options:\n"
    "  --module DIR       the module's folder (default: $VAZIZODU_MODULE, else\n"
    "                     $XDG_DATA_HOME/vazizodu/module, created on first use)\n"
    "  --ui text|script   front-end for message boxes and dialogs (default: text)\n"
    "  --ui-script FILE   script front-end: answers, one per line (yes, no, ok, or a number)\n"
    "  --ui-log FILE      script front-end: what was shown, as JSON lines\n"
    "  --regions          start up and print the region table, run no commands\n"
    "  --help, --version\n"
    "\n"
    "Module command line:\n"
    "  /u PATH    update flash from the image file PATH (silent)\n"
    "  /b PATH    back up all regions into the image file PATH (silent)\n"
    "  /f, /fu    save the registry (/fu: without messages)\n"
    "  /c, /cu    clear the flash registry (/cu: without messages)\n"
    "  /r         restart warm;  /rc[MS]  restart cold after MS milliseconds (default 1)\n"
    "Up to 20 commands run in order; the first failure ends the run.\n"
    "Example: vazizodu --module m /u \\USB HD\\Images\\nk.bin /fu /rc5000\n";

int hostError(const std::string& message) {
  std::fprintf(stderr, "vazizodu: %s\n", message.c_str());
  return 2;
}

std::string defaultModuleDir() {
  if (const char* env = std::getenv("VAZIZODU_MODULE"); env && *env) return env;
  std::string base;
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) {
    base = xdg;
  } else if (const char* home = std::getenv("HOME"); home && *home) {
    base = std::string(home) + "/.local/share";
  } else {
    base = ".";
  }
  return base + "/vazizodu/module";
}

int printRegions() {
  const RslResult result = startLibrary();
  if (result != 0) {
    std::fprintf(stderr, "vazizodu: start-up failed with result %d\n", result);
    return 0;
  }
  for (int i = 0; i < REGION_TABLE_SIZE && RegionTable[i].flags != 0; ++i) {
    const FlashRegion& r = RegionTable[i];
    const char16_t* name = regionName(r.flags);
    std::printf("0x%08x 0x%08x 0x%08x 0x%08x %s\n", r.flags, r.start, r.length, r.used,
                name ? plat::toUtf8(name).c_str() : "");
  }
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string moduleDir;
  bool moduleGiven = false;
  bool regions = false;
  plat::HostOptions options;
  int i = 1;
  for (; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--") {
      ++i;
      break;
    }
    if (a.rfind("--", 0) != 0) break;
    std::string value;
    bool hasValue = false;
    if (size_t eq = a.find('='); eq != std::string::npos) {
      value = a.substr(eq + 1);
      a = a.substr(0, eq);
      hasValue = true;
    }
    auto take = [&](const char* name) -> bool {
      if (hasValue) return true;
      if (i + 1 >= argc) return false;
      value = argv[++i];
      (void)name;
      return true;
    };
    if (a == "--help") {
      std::fputs(USAGE, stdout);
      return 1;
    } else if (a == "--version") {
      std::printf("vazizodu %s\n", VZ_VERSION);
      return 1;
    } else if (a == "--regions") {
      regions = true;
    } else if (a == "--module") {
      if (!take("--module")) return hostError("--module needs a folder");
      moduleDir = value;
      moduleGiven = true;
    } else if (a == "--ui") {
      if (!take("--ui")) return hostError("--ui needs text or script");
      if (value != "text" && value != "script") {
        return hostError("--ui: unknown front-end \"" + value + "\" (text or script)");
      }
      options.ui = value;
    } else if (a == "--ui-script") {
      if (!take("--ui-script")) return hostError("--ui-script needs a file");
      options.uiScript = value;
    } else if (a == "--ui-log") {
      if (!take("--ui-log")) return hostError("--ui-log needs a file");
      options.uiLog = value;
    } else {
      return hostError("unknown host option " + a + " (see --help)");
    }
  }

  // The module's command line: the remaining arguments joined with single blanks.
  std::string commandLine;
  for (int k = i; k < argc; ++k) {
    if (k > i) commandLine += ' ';
    commandLine += argv[k];
  }

  std::string error;
  if (!moduleGiven) {
    moduleDir = defaultModuleDir();
    if (!std::getenv("VAZIZODU_MODULE") || !*std::getenv("VAZIZODU_MODULE")) {
      std::error_code ec;
      if (!std::filesystem::exists(std::filesystem::path(moduleDir) / "module.toml", ec) &&
          !sim::Module::create(moduleDir, sim::CreateOptions{}, &error)) {
        return hostError(error);
      }
    }
  }
  std::unique_ptr<sim::Module> module = sim::Module::open(moduleDir, &error);
  if (!module) return hostError(error);
  if (!plat::attach(module.get(), options, &error)) return hostError(error);

  if (regions) return printRegions();

  std::u16string line = plat::fromUtf8(commandLine);
  std::vector<char16_t> buffer(line.begin(), line.end());
  buffer.push_back(u'\0');
  const Instance instance = 0x00010000;
  return programMain(instance, buffer.data());
}
