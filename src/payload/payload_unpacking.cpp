#include "payload/payload_unpacking.h"

#include "payload/cabinet_expansion.h"
#include "payload/cabinet_layout.h"
#include "payload/output_file.h"

namespace {

// Searched in this order; a missing type is simply empty. The names lie
// side by side in one array, not behind a table of pointers to them: that
// table was what took the bare stub over a 512-byte block.
constexpr wchar_t PAYLOAD_TYPES[][3] = {L"B7", L"BL", L"BN"};
constexpr const wchar_t* TYPE_ARCHIVE = PAYLOAD_TYPES[0];
constexpr const wchar_t* TYPE_CABINET = PAYLOAD_TYPES[1];

const wchar_t SETUP_FILE_NAME[] = L"setup.exe";

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

    // A cabinet is expanded straight from the mapped resource and an
    // uncompressed setup program written from it: either way setup.exe is
    // the one file created. A setup program under the archive's type keeps
    // the resource's own name.
    const bool ownName = lstrcmpW(setupType.Text(), TYPE_ARCHIVE) == 0;
    const wchar_t* fileName = ownName ? setupName.Text() : SETUP_FILE_NAME;
    if (!setupPath.Copy(workDirectory.Text()) || !setupPath.Append(fileName)) {
        return {EXIT_PATH_TOO_LONG, 0};
    }
    if (cabinet) {
        // On failure the setup path still names setup.exe, so that the
        // run's final removal takes a partial file whose delete-on-close
        // could not be set.
        return {ExpandCabinet(setupResource, setupPath.Text()) ? EXIT_OK : EXIT_SETUP_RESOURCE_FAILED, 0};
    }
    if (!SaveResourceAs(setupResource, setupPath.Text())) {
        return {EXIT_SETUP_WRITE_FAILED, GetLastError()};
    }
    return {EXIT_OK, 0};
}
