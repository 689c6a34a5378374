#include "payload/payload_unpacking.h"

#include "payload/cabinet_expansion.h"
#include "payload/cabinet_layout.h"
#include "payload/output_file.h"
#include "workarea/removal.h"

namespace {

// Searched in this order; a missing type is simply empty. The names lie
// side by side in one array, not behind a table of pointers to them: that
// table was what took the bare stub over a 512-byte block.
constexpr wchar_t PAYLOAD_TYPES[][3] = {L"B7", L"BL", L"BN"};
constexpr const wchar_t* TYPE_CABINET = PAYLOAD_TYPES[1];
constexpr const wchar_t* TYPE_UNCOMPRESSED = PAYLOAD_TYPES[2];

const wchar_t SETUP_FILE_NAME[] = L"setup.exe";
// What a cabinet is written as when its own name would be that of the file
// it expands to; the name the build gives every cabinet.
const wchar_t CABINET_FILE_NAME[] = L"SETUP.EX_";

// True when `name` is setup.exe to the file system: letters in any case, and
// trailing dots and blanks, which Windows drops from a file name.
bool NamesTheExpansionTarget(const wchar_t* name) {
    if (!StartsWithNoCase(name, SETUP_FILE_NAME)) {
        return false;
    }
    for (name += sizeof(SETUP_FILE_NAME) / sizeof(wchar_t) - 1; *name != 0; ++name) {
        if (*name != L'.' && *name != L' ') {
            return false;
        }
    }
    return true;
}

// Large enough that a multi-megabyte setup program takes a handful of calls,
// small enough that no single write asks the system for too much at once.
constexpr uint64_t WRITE_CHUNK_BYTES = 0x800000;

}  // namespace

bool SaveResourceAs(const EmbeddedResource& resource, const wchar_t* path) {
    OutputFile file;
    if (!file.Open(path)) {
        return false;
    }
    for (uint64_t written = 0; written < resource.size;) {
        const uint64_t rest = resource.size - written;
        const DWORD chunk = static_cast<DWORD>(rest < WRITE_CHUNK_BYTES ? rest : WRITE_CHUNK_BYTES);
        DWORD count = 0;
        if (!WriteFile(file.Handle(), resource.data + written, chunk, &count, nullptr)) {
            const DWORD error = GetLastError();
            file.MarkForDeletion();
            file.Close();
            SetLastError(error);
            return false;
        }
        written += chunk;
    }
    return true;
}

RunOutcome ExtractPayload(HMODULE module, const InstallerNames& names, const PathBuffer& workDirectory,
                          PathBuffer& setupPath, PathBuffer& archiveName, TypeNameBuffer& archiveType) {
    setupPath.Clear();
    archiveName.Clear();
    archiveType.Clear();
    PathBuffer setupName;
    TypeNameBuffer setupType;
    EmbeddedResource setupResource = {nullptr, 0};
    uint32_t error = 0;

    for (const wchar_t* type : PAYLOAD_TYPES) {
        error = 0;
        PayloadFinder finder(names.archivePrefix, archiveName, setupName, setupResource, error);
        EnumerateResourcesOfType(finder, module, type);
        if (error != 0) {
            // The archive's type is recorded only after a type that had no
            // error, so an error in the archive's own type still blames it.
            return {archiveType.IsEmpty() ? EXIT_ARCHIVE_RESOURCE_FAILED : EXIT_SETUP_RESOURCE_FAILED, error};
        }
        if (archiveType.IsEmpty() && !archiveName.IsEmpty()) {
            archiveType.Copy(type);
        }
        if (setupType.IsEmpty() && setupResource.size != 0) {
            setupType.Copy(type);
        }
    }
    if (archiveName.IsEmpty()) {
        return {EXIT_ARCHIVE_RESOURCE_FAILED, ERROR_FILE_NOT_FOUND};
    }
    if (setupResource.size == 0) {
        return {EXIT_SETUP_RESOURCE_FAILED, ERROR_FILE_NOT_FOUND};
    }
    // A cabinet whose file table does not add up would expand to a program
    // cut short; it is refused before anything is written.
    const bool cabinet = lstrcmpW(setupType.Text(), TYPE_CABINET) == 0;
    if (cabinet && !FirstFileIsWhole(setupResource.data, setupResource.size)) {
        return {EXIT_SETUP_RESOURCE_FAILED, 0};
    }

    // An uncompressed setup program always lands as setup.exe; otherwise the
    // file takes the resource's own name, unless a cabinet's name would make
    // it the very file it is expanded onto.
    const bool uncompressed = lstrcmpW(setupType.Text(), TYPE_UNCOMPRESSED) == 0;
    const wchar_t* fileName = uncompressed ? SETUP_FILE_NAME : setupName.Text();
    if (cabinet && NamesTheExpansionTarget(fileName)) {
        fileName = CABINET_FILE_NAME;
    }
    if (!setupPath.Copy(workDirectory.Text()) || !setupPath.Append(fileName)) {
        return {EXIT_PATH_TOO_LONG, 0};
    }
    if (!SaveResourceAs(setupResource, setupPath.Text())) {
        return {EXIT_SETUP_WRITE_FAILED, GetLastError()};
    }
    if (!cabinet) {
        return {EXIT_OK, 0};
    }

    PathBuffer expansionTarget;
    if (!expansionTarget.Copy(workDirectory.Text()) || !expansionTarget.Append(SETUP_FILE_NAME)) {
        return {EXIT_PATH_TOO_LONG, 0};
    }
    const bool expanded = ExpandCabinet(setupPath.Text(), expansionTarget.Text());
    // The cabinet has served its purpose whatever the expansion gave.
    RemoveWithRetries(setupPath.Text());
    setupPath.Copy(expansionTarget.Text());
    if (!expanded) {
        return {EXIT_SETUP_RESOURCE_FAILED, 0};
    }
    return {EXIT_OK, 0};
}
