#pragma once
#include "platform/ui.h"

// Updates flash from the image file in imagePath (asks for one when it is empty).
// Answers 1 when the image was written, 0 otherwise.
int runImageUpdate(plat::Hwnd owner);
