#pragma once
// Windowing: message boxes now; dialogs from templates, progress bars and file dialogs are
// served by the same front-ends as they come.
#include <cstdint>

namespace plat {

using Hwnd = uint32_t;  // window handle; 0 = none

constexpr uint32_t MB_OK = 0x0;
constexpr uint32_t MB_OKCANCEL = 0x1;
constexpr uint32_t MB_YESNOCANCEL = 0x3;
constexpr uint32_t MB_YESNO = 0x4;
constexpr uint32_t MB_ICONHAND = 0x10;
constexpr uint32_t MB_ICONQUESTION = 0x20;
constexpr uint32_t MB_ICONEXCLAMATION = 0x30;
constexpr uint32_t MB_ICONASTERISK = 0x40;
constexpr uint32_t MB_DEFBUTTON2 = 0x100;
constexpr uint32_t MB_DEFBUTTON3 = 0x200;

constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDABORT = 3;
constexpr int IDRETRY = 4;
constexpr int IDIGNORE = 5;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

// Shows a message box and answers the button pressed. Modal to the owner (or to the program
// when there is none). May be called from any thread.
int messageBox(Hwnd owner, const char16_t* text, const char16_t* caption, uint32_t style);

// Registers the common controls (progress bars) before any dialog uses them.
void initCommonControls();

}  // namespace plat
