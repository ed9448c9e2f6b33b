#include "app/update_flow.h"

#include "app/entry.h"
#include "platform/kernel.h"

// Image validation and the update engine are not part of this build yet: an update command
// fails without touching the flash.
int runImageUpdate(plat::Hwnd owner) {
  (void)owner;
  plat::outputDebugString(u"Vazizodu: image update is not available in this build\n");
  imagePath[0] = u'\0';
  return 0;
}
