#pragma once

// Files and programs in the kit's work folder.
#include "acceptance/facts.h"

namespace kit {

constexpr int PATH_UNITS = 400;

// A path joined from parts with one backslash between them.
struct Path : Text<PATH_UNITS> {
    Path(const wchar_t* folder, const wchar_t* name = nullptr, const wchar_t* more = nullptr);
};

bool WriteSmallFile(const wchar_t* path, const char* content);
// The file holds exactly `content`.
bool FileHolds(const wchar_t* path, const char* content);
// The two files hold the same bytes (both could be read whole).
bool SameFile(const wchar_t* first, const wchar_t* second);
// Deletes a folder and everything in it; links inside are removed as links.
void RemoveTree(const wchar_t* path);
// The "\\?\" form of a full drive or share path (a path already in that
// form, or any other, as it stands): read by no Win32 rule, so a name that
// ends in a dot or a blank keeps it.
void LiteralPath(const wchar_t* path, Text<PATH_UNITS>& out);
// The names in `folder` other than the `keep` ones, comma-separated.
void ListOthers(const wchar_t* folder, const wchar_t* const* keep, int keepCount, Text<2000>& names);

// The path of what `path` names, as the file system gives it from an open
// handle (links resolved, long names, "\\?\" dropped for a drive or a share),
// as the stub now tells its setup program; `path` itself when it cannot be
// had.
void FinalPathOf(const wchar_t* path, Text<PATH_UNITS>& out);
// The same path exactly as GetFinalPathNameByHandleW gives it, "\\?\" and
// all. 0, or the error (`out` empty).
DWORD WholeFinalPathOf(const wchar_t* path, Text<PATH_UNITS>& out);

struct RunResult {
    bool started;
    DWORD error;     // CreateProcessW's, when not started
    DWORD exitCode;  // when started and ended
    bool timedOut;
};

// Starts `program` with `command` (changed in place by the system) in
// `directory`, with the kit's environment, and waits up to `timeoutMs`. With
// `beforeItRuns`, the program is started suspended and that is done to it
// before its first instruction.
void RunProgram(const wchar_t* program, wchar_t* command, const wchar_t* directory, DWORD timeoutMs, RunResult& result,
                void (*beforeItRuns)(const wchar_t* program) = nullptr);

}  // namespace kit
