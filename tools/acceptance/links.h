#pragma once

#include <windows.h>

namespace kit {

// Makes `link` (a new, empty directory) a junction to the directory `target`
// (a full path). 0, or the error of the step that failed.
DWORD MakeJunction(const wchar_t* link, const wchar_t* target);

// Points the junction (or empty directory) `link` at the directory `target`
// (a full path), in place of whatever it led to. 0, or the error.
DWORD SetJunctionTarget(const wchar_t* link, const wchar_t* target);

// Deletes the object at `path` itself through a handle, as a link never
// followed. 0, or the error.
DWORD DeleteLinkItself(const wchar_t* path);

}  // namespace kit
