// The setup program of the runnable layout: it ends at once with exit code 7,
// a code of no stage of the stub, so a whole run that reaches it and passes
// its code on is told apart from every outcome of the stub's own.
#include <windows.h>

void FixedExitEntry(void) { ExitProcess(7); }
