#pragma once

#include <stdint.h>

// The stub's first steps, before anything else of it runs:
//  - every library that anything in this process loads by name from now on
//    (the system's own code included) is looked for in the system folder
//    alone, never beside the installer, where a download folder may hold a
//    planted one; the image's own imports were taken from there already by
//    its load configuration;
//  - `cookie`, the stack cookie, is drawn whole from the system's random
//    generator.
// False when either could not be done: the run must then not go on, since a
// cookie left at its known starting value protects nothing.
bool ProtectProcess(uintptr_t& cookie);
