#pragma once

#include <windows.h>

// Splits a command line the way Windows does (see host/windows_stand_ins.cpp
// for the rules the stand-in follows). The vector and its strings are one
// allocation, released with LocalFree.
LPWSTR* WINAPI CommandLineToArgvW(LPCWSTR commandLine, int* argumentCount);
