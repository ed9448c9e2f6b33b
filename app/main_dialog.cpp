#include "app/main_dialog.h"

// The main dialog arrives with the dialog front-ends; until then the program ends at once
// when it has no commands to run.
void showMainDialog(RslResult startResult) { (void)startResult; }
