#pragma once
#include "lib/regions/regions.h"

// The main dialog, shown when the command line holds no commands; startResult is what the
// start-up sequence answered. Answers when the dialog is closed.
void showMainDialog(RslResult startResult);
