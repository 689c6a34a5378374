#pragma once

// Libraries planted where side-by-side redirection looks: in a
// "<program>.local" folder beside a program, by name and in the folder form
// of the side-by-side store.
#include "acceptance/facts.h"

namespace kit {

// For each version of the Common-Controls assembly in the system's
// side-by-side store, makes "<local>\<that assembly's folder name>\" and
// copies `library` there as comctl32.dll: the form in which a program whose
// manifest depends on that assembly would be given it. How many were made.
int PlantSideBySideForms(const wchar_t* local, const wchar_t* library);

// The markers that planted libraries under `folder` left ("<library>.loaded",
// anywhere below it), as paths relative to it, comma-separated; empty when
// none was loaded.
void ListLoadedMarkers(const wchar_t* folder, Text<2000>& out);

}  // namespace kit
