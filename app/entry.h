#pragma once
// Program entry, start-up check and the commands of the command line.
#include <cstdint>

#include "lib/regions/regions.h"
#include "platform/ui.h"

using Instance = uint32_t;  // the program's instance handle

constexpr uint8_t COMMAND_UPDATE = 0;
constexpr uint8_t COMMAND_SAVE_REGISTRY = 1;
constexpr uint8_t COMMAND_CLEAR_REGISTRY = 2;
constexpr uint8_t COMMAND_RESET = 3;
constexpr uint8_t COMMAND_BACKUP = 4;

constexpr int MAX_COMMANDS = 20;
constexpr int COMMAND_ARGUMENT_SIZE = 260;

// One command of the command line. For a reset command the first 32 bits of argument hold
// the restart delay in milliseconds (see commandRestartDelay).
struct ToolCommand {
  char16_t argument[COMMAND_ARGUMENT_SIZE];
  uint8_t kind;
  int32_t silent;
};

extern ToolCommand commandTable[MAX_COMMANDS];
extern int commandCount;
extern int32_t silentMode;
extern char16_t imagePath[260];
extern int32_t startupState;
extern Instance programInstance;
extern RslResult startResult;  // what startLibrary answered at program start

uint32_t commandRestartDelay(const ToolCommand& command);

// The program entry: the command line without the program name (modified in place).
// Answers the process exit code: 1 when the run succeeded, 0 when it failed.
int programMain(Instance instance, char16_t* commandLine);

void parseCommandLine(char16_t* commandLine);
RslResult startLibrary();
int32_t checkModule();
uint32_t readOemInfo(uint32_t item, void* buffer, uint32_t size);
int runCommands(Instance instance);
int saveRegistry(plat::Hwnd owner);
int clearRegistry(plat::Hwnd owner);
int restartModule(int cold);
