#pragma once

#include <windows.h>

#include "outcome/run_outcome.h"
#include "payload/resource_catalog.h"
#include "settings/installer_names.h"
#include "text/bounded_text.h"

// Puts the setup program into the scratch directory: finds exactly one archive
// and one setup program among the payload resources and writes the setup
// program, expanding it straight from its resource when it is stored as a
// cabinet. On EXIT_OK the setup path, the archive's resource name and its
// type are filled. The archive itself is never read.
RunOutcome ExtractPayload(HMODULE module, const InstallerNames& names, const PathBuffer& workDirectory,
                          PathBuffer& setupPath, PathBuffer& archiveName, TypeNameBuffer& archiveType);

// Writes the resource's bytes, straight from the mapped image, to a new file.
// On false no part of the file remains and the last error says why.
bool SaveResourceAs(const EmbeddedResource& resource, const wchar_t* path);
