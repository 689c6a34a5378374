#pragma once

// The machine's volumes, for the one check that needs a volume that keeps no
// ACLs (FAT or exFAT: a USB stick, an SD card).
#include "acceptance/facts.h"
#include "acceptance/work_folder.h"

namespace kit {

// Makes a folder of the kit's on the first fixed or removable volume that
// keeps no ACLs and can be written: true with its path in `folder` and the
// volume's file system in `fileSystem`. False with why none was found in
// `why` (the volumes looked at and what each was).
bool MakeFolderOnVolumeWithoutAcls(Text<PATH_UNITS>& folder, Text<64>& fileSystem, Text<700>& why);

}  // namespace kit
