// The project's own second stage: the setup program that the demo installer
// carries. For now it only ends successfully.
#include <windows.h>

extern "C" [[noreturn]] void SecondStageEntry() { ExitProcess(0); }
