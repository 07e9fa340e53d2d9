// panic.bin: the map's message file and the crashed run's temporary logs,
// packed into one archive by the relaunch.
#pragma once

#include "driver/panic_map.h"

namespace kestrel {

// Packs every usable file of `collected` into panic.bin, each named by its
// last path component. Prints each file that cannot be used and every
// failure to standard error; makes no archive when no file is usable.
void BuildPanicArchive(const PanicRecord* collected);

}  // namespace kestrel
