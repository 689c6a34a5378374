#pragma once

// Force-included into the product's sources in the behaviour-test build only:
// every imported Windows function is renamed to its hook. The system headers
// that declare them are all included by seam_hooks.h before the renaming.
#include "seam_hooks.h"
#include "seam_redirects.inc"

// Functions taken at run time are reached through their hooks as well.
#undef GetProcAddress
#define GetProcAddress ::seam::GetProcAddressThroughHooks
