#pragma once

#include <stdint.h>

// The highest counted attempt, and the pause before each counted retry: about
// ten seconds in all for a virus scanner or an indexer to let go of a file.
constexpr int32_t REMOVE_ATTEMPT_LIMIT = 100;
constexpr uint32_t REMOVE_RETRY_DELAY_MS = 100;

// Deletes one file or one empty directory through a handle, never following a
// link at the path. True when the path names nothing any more (also when it
// never existed); false when the object stays.
bool RemoveWithRetries(const wchar_t* path);
