// Program entry, start-up check and the commands of the command line.
#include "app/entry.h"

#include <cstring>

#include "app/main_dialog.h"
#include "app/update_flow.h"
#include "flash/flash.h"
#include "hw/cpu.h"
#include "lib/backup/backup.h"
#include "platform/kernel.h"
#include "platform/memory.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "platform/threads.h"

ToolCommand commandTable[MAX_COMMANDS];
int commandCount = 0;
int32_t silentMode = 0;
char16_t imagePath[260];
int32_t startupState = 1;
Instance programInstance = 0;
RslResult startResult = 0;

namespace {

constexpr uint32_t IOCTL_HAL_REBOOT = 0x0101003C;
constexpr uint32_t IOCTL_OEM_CLEAR_REGISTRY = 0x01012010;
constexpr uint32_t IOCTL_OEM_READ_ITEM = 0x01012028;
constexpr uint32_t OEM_ITEM_HW_VERSION = 8;
constexpr int32_t HW_VERSION_1_2 = 0x00010002;

constexpr uint32_t MB_ERROR = plat::MB_ICONHAND | plat::MB_OK;  // 16

void setRestartDelay(ToolCommand& command, uint32_t delay) {
  std::memcpy(command.argument, &delay, sizeof delay);
}

}  // namespace

uint32_t commandRestartDelay(const ToolCommand& command) {
  uint32_t delay;
  std::memcpy(&delay, command.argument, sizeof delay);
  return delay;
}

// Grammar: switches start with '/'; u and b take a path up to the next '/', f and c take an
// optional 'u' (silent), r takes an optional 'c' (cold) and a delay in milliseconds.
void parseCommandLine(char16_t* line) {
  commandCount = 0;
  plat::wlowerInPlace(line);
  const size_t len = plat::wlen(line);
  if (len == 0 || line[0] != u'/') return;

  size_t p = 0;
  for (;;) {
    if (commandCount >= MAX_COMMANDS) return;
    ToolCommand& cmd = commandTable[commandCount];
    const char16_t letter = p + 1 < len ? line[p + 1] : u'\0';
    const char16_t next = p + 2 < len ? line[p + 2] : u'\0';
    size_t end;  // where what the switch consumed ends
    switch (letter) {
      case u'u':
      case u'b': {
        cmd.kind = letter == u'u' ? COMMAND_UPDATE : COMMAND_BACKUP;
        // The character after the letter is skipped unread, whatever it is.
        size_t from = p + 2 < len ? p + 3 : len;
        end = from;
        while (end < len && line[end] != u'/') ++end;
        size_t n = end - from;
        if (n > COMMAND_ARGUMENT_SIZE - 1) n = COMMAND_ARGUMENT_SIZE - 1;  // cut to fit the field
        std::memcpy(cmd.argument, line + from, n * sizeof(char16_t));
        while (n > 0 && cmd.argument[n - 1] == u' ') --n;
        cmd.argument[n] = u'\0';
        cmd.silent = 1;
        break;
      }
      case u'f':
      case u'c':
        cmd.kind = letter == u'f' ? COMMAND_SAVE_REGISTRY : COMMAND_CLEAR_REGISTRY;
        cmd.silent = next == u'u' ? 1 : 0;
        end = next == u'u' ? p + 3 : p + 2;
        break;
      case u'r':
        cmd.kind = COMMAND_RESET;
        if (next == u'c') {
          uint32_t delay = 1;
          const size_t q = p + 3;
          if (q < len && line[q] != u'/' && line[q] != u' ') {
            long value = plat::wtol(line + q);
            // A negative delay would be a wait of weeks; it keeps the shortest cold restart.
            delay = value < 0 ? 1 : static_cast<uint32_t>(value);
          }
          setRestartDelay(cmd, delay);
          end = q;
        } else {
          setRestartDelay(cmd, 0);
          end = p + 2;
        }
        break;
      default: {
        char16_t message[128];
        plat::wformat(message, 128, u"WARNING: Vazizodu.exe: Unknown Command parameter: %c\n\r",
                      letter);
        plat::outputDebugString(message);
        return;
      }
    }
    ++commandCount;
    while (end < len && line[end] != u'/') ++end;
    if (end >= len) return;
    p = end;
  }
}

uint32_t readOemInfo(uint32_t item, void* buffer, uint32_t size) {
  const uint32_t address = plat::pin(buffer);
  uint32_t request[3] = {item, address, size};
  uint32_t returned = 0;
  plat::kernelIoControl(IOCTL_OEM_READ_ITEM, request, sizeof request, buffer, size, &returned);
  plat::unpin(address);
  return returned;
}

int32_t checkModule() {
  if (startupState != 1) return startupState;
  startupState = 4;
  if (readCpuProduct() == CPU_PXA320) {
    uint8_t version[8] = {};
    if (readOemInfo(OEM_ITEM_HW_VERSION, version, sizeof version) != 0) {
      const uint32_t major = static_cast<uint32_t>(version[0] | version[1] << 8);
      const uint32_t minor = static_cast<uint32_t>(version[2] | version[3] << 8);
      if (static_cast<int32_t>(major * 65536u + minor) < HW_VERSION_1_2) return 4;
    }
  }
  if (initFlash() == 0) {
    startupState = 13;
    return 13;
  }
  startupState = 0;
  return 0;
}

RslResult startLibrary() {
  if (libraryInitialised) return 0;
  RslResult result = checkModule();
  if (result != 0) return result;
  result = RSLInit(REGION_ALL);
  if (result == 0) libraryInitialised = 1;
  return result;
}

int saveRegistry(plat::Hwnd owner) {
  const bool ok = plat::regFlushKey(plat::HKEY_LOCAL_MACHINE) == 0;
  if (!silentMode) {
    plat::messageBox(owner, ok ? u"Registry successfully saved" : u"Registry save FAILED!",
                     u"Registry", ok ? plat::MB_OK : MB_ERROR);
  }
  return ok ? 1 : 0;
}

int clearRegistry(plat::Hwnd owner) {
  const bool ok = plat::kernelIoControl(IOCTL_OEM_CLEAR_REGISTRY, nullptr, 0, nullptr, 0, nullptr);
  if (!silentMode) {
    plat::messageBox(owner, ok ? u"Registry successfully cleared" : u"Registry clear FAILED!",
                     u"Registry", ok ? plat::MB_OK : MB_ERROR);
  }
  return ok ? 1 : 0;
}

int restartModule(int cold) {
  if (cold) {
    plat::setColdStart(1);
    uint32_t zero = 0;
    plat::kernelIoControl(IOCTL_HAL_REBOOT, &zero, sizeof zero, nullptr, 0, nullptr);
  } else {
    plat::kernelIoControl(IOCTL_HAL_REBOOT, nullptr, 0, nullptr, 0, nullptr);
  }
  return 0;  // still running: the restart was refused
}

int runCommands(Instance instance) {
  (void)instance;
  if (commandCount == 0) {
    if (startResult == 4) {
      plat::messageBox(0, u"Module HW version not supported", u"ERROR", MB_ERROR);
      return 0;
    }
    showMainDialog(startResult);
    return 1;
  }
  if (startResult != 0) {
    if (commandTable[0].silent == 0) {
      plat::messageBox(0, u"Init VazizoduLib failed.", u"ERROR", MB_ERROR);
    }
    return 0;
  }
  for (int i = 0; i < commandCount; ++i) {
    const ToolCommand& cmd = commandTable[i];
    int ok = 1;
    switch (cmd.kind) {
      case COMMAND_UPDATE:
        plat::wcopy(imagePath, 260, cmd.argument);
        silentMode = cmd.silent;
        ok = runImageUpdate(0);
        break;
      case COMMAND_SAVE_REGISTRY:
        silentMode = cmd.silent;
        ok = saveRegistry(0);
        break;
      case COMMAND_CLEAR_REGISTRY:
        silentMode = cmd.silent;
        ok = clearRegistry(0);
        break;
      case COMMAND_RESET: {
        const uint32_t delay = commandRestartDelay(cmd);
        if (delay != 0) {
          plat::sleep(delay);
          restartModule(1);
        } else {
          restartModule(0);
        }
        break;  // a refused restart is not a failure
      }
      case COMMAND_BACKUP:
        ok = RSLBackupToFile(cmd.argument, REGION_ALL, nullptr, nullptr, nullptr) == 0;
        break;
    }
    if (!ok) return 0;
  }
  return 1;
}

int programMain(Instance instance, char16_t* commandLine) {
  programInstance = instance;
  plat::initCommonControls();
  parseCommandLine(commandLine);
  startResult = startLibrary();
  return runCommands(instance);
}
