#include "lib/backup/backup.h"

// The backup writer is not part of this build yet: a backup fails without creating a file.
RslResult RSLBackupToFile(const char16_t* path, uint32_t mask, RegionFn regionFn,
                          SectionFn sectionFn, WriteProgressFn writeProgressFn) {
  (void)path;
  (void)mask;
  (void)regionFn;
  (void)sectionFn;
  (void)writeProgressFn;
  if (!libraryInitialised) return 3;
  return 1;
}
