#pragma once

#include <stdint.h>

#include "settings/installer_names.h"

// The text after the stub's program name is handed to the setup program as
// it stands, and the setup program splits it with its own parser. Two rule
// sets are in use: CommandLineToArgvW's (and the C run-time's before 2008),
// and the C run-time's since 2008, which most programs now follow. They part
// on two quotes in a row inside a quoted span, so one tail can hide a switch
// from the first and show it to the second; the settings judge it by both.

inline bool IsBlank(wchar_t unit) { return unit == L' ' || unit == L'\t'; }

// Where the program name of a command line ends, or null when an opening
// quote is never closed (then nothing can be passed on safely).
const wchar_t* SkipProgramName(const wchar_t* text);

// The units of an argument that a switch decision needs: "--", a name of at
// most SWITCH_NAME_LIMIT units, and its "=". A refused switch is at most
// SWITCH_NAME_LIMIT units whole. An argument longer than this that holds no
// "=" among these units is no switch at all, and one that holds it is judged
// by the units up to it.
constexpr uint32_t ARGUMENT_HEAD_UNITS = 2 + SWITCH_NAME_LIMIT + 1;

// Takes the next argument of `cursor`'s text by the C run-time's rules since
// 2008, and moves `cursor` past it. `head` gets its first ARGUMENT_HEAD_UNITS
// units and a terminator; the rest of a longer argument is read and dropped,
// so a command line of any length needs no buffer of its size. False when
// only blanks are left.
bool NextRuntimeArgument(const wchar_t*& cursor, wchar_t (&head)[ARGUMENT_HEAD_UNITS + 1]);
