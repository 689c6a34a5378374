#include "settings/installer_names.h"

namespace {

const wchar_t NAMES_RESOURCE[] = L"NAMES";
constexpr uint32_t NAMED_TEXTS = 4;
constexpr uint32_t NAMED_LIMITS[NAMED_TEXTS] = {REGISTRY_NAME_LIMIT, REGISTRY_NAME_LIMIT, SWITCH_NAME_LIMIT,
                                                SWITCH_NAME_LIMIT};

}  // namespace

bool ParseInstallerNames(const wchar_t* units, uint32_t count, InstallerNames& names) {
    const wchar_t** const named[NAMED_TEXTS] = {&names.cleanupKey, &names.cleanupValue, &names.pathSwitch,
                                                &names.archivePrefix};
    names.refusedSwitchCount = 0;
    uint32_t at = 0;
    for (uint32_t index = 0;; ++index) {
        // Every text ends inside the resource: nothing is read beyond it.
        const wchar_t* text = units + at;
        const uint32_t start = at;
        while (at < count && units[at] != 0) {
            ++at;
        }
        if (at == count) {
            return false;
        }
        const uint32_t length = at - start;
        ++at;
        if (index < NAMED_TEXTS) {
            if (length == 0 || length > NAMED_LIMITS[index]) {
                return false;
            }
            *named[index] = text;
            continue;
        }
        if (length == 0) {
            // The end of the list, which must be the end of the resource.
            return at == count;
        }
        if (length > SWITCH_NAME_LIMIT || names.refusedSwitchCount == REFUSED_SWITCH_COUNT_LIMIT) {
            return false;
        }
        names.refusedSwitches[names.refusedSwitchCount++] = text;
    }
}

bool ReadInstallerNames(HMODULE module, InstallerNames& names) {
    HRSRC found = FindResourceW(module, NAMES_RESOURCE, MAKEINTRESOURCEW(10));  // RT_RCDATA
    if (found == nullptr) {
        return true;
    }
    const DWORD size = SizeofResource(module, found);
    HGLOBAL loaded = LoadResource(module, found);
    const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
    // UTF-16 units only: an odd size, or bytes at an odd place, hold none.
    if (data == nullptr || size % 2 != 0 || reinterpret_cast<uintptr_t>(data) % 2 != 0) {
        return false;
    }
    return ParseInstallerNames(static_cast<const wchar_t*>(data), size / 2, names);
}
