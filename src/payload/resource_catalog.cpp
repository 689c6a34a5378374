#include "payload/resource_catalog.h"

namespace {

const wchar_t SETUP_PREFIX[] = L"setup";

wchar_t FoldAscii(wchar_t unit) {
    return (unit >= L'A' && unit <= L'Z') ? static_cast<wchar_t>(unit | 0x20) : unit;
}

// The setup resource's name becomes a file name in the scratch directory:
// a separator would put the file elsewhere, and a colon would name a drive
// or an alternate data stream.
bool IsPlainFileName(const wchar_t* name) {
    for (; *name != 0; ++name) {
        if (*name == L'\\' || *name == L'/' || *name == L':') {
            return false;
        }
    }
    return true;
}

}  // namespace

bool StartsWithNoCase(const wchar_t* text, const wchar_t* prefix) {
    if (text == nullptr || prefix == nullptr) {
        return false;
    }
    // A text shorter than the prefix differs at its terminator, so it is
    // never read beyond its end.
    for (uint64_t i = 0; prefix[i] != 0; ++i) {
        if (FoldAscii(text[i]) != FoldAscii(prefix[i])) {
            return false;
        }
    }
    return true;
}

bool PayloadFinder::OnResource(const wchar_t* name, const EmbeddedResource& resource) {
    // The archive test comes first: "brisel..." is the archive whatever
    // follows, even "briselsetup".
    if (StartsWithNoCase(name, archivePrefix_)) {
        if (!archiveName_.IsEmpty()) {
            error_ = ERROR_TOO_MANY_NAMES;
            return false;
        }
        if (!archiveName_.Copy(name)) {
            error_ = ERROR_FILENAME_EXCED_RANGE;
            return false;
        }
        return true;
    }
    if (StartsWithNoCase(name, SETUP_PREFIX) && IsPlainFileName(name)) {
        if (setupResource_.size != 0) {
            error_ = ERROR_TOO_MANY_NAMES;
            return false;
        }
        if (!setupName_.Copy(name)) {
            error_ = ERROR_FILENAME_EXCED_RANGE;
            return false;
        }
        setupResource_ = resource;
        return true;
    }
    error_ = ERROR_INVALID_DATA;
    return false;
}

BOOL CALLBACK ResourceNameCallback(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR context) {
    ResourceVisitor* visitor = reinterpret_cast<ResourceVisitor*>(context);
    // Payload items are named; an integer identifier is no payload and ends
    // the enumeration of this type, as does any failure to locate one.
    if (visitor == nullptr || IS_INTRESOURCE(name)) {
        return FALSE;
    }
    HRSRC found = FindResourceW(module, name, type);
    if (found == nullptr) {
        return FALSE;
    }
    const DWORD size = SizeofResource(module, found);
    if (size == 0) {
        return FALSE;
    }
    HGLOBAL loaded = LoadResource(module, found);
    if (loaded == nullptr) {
        return FALSE;
    }
    const void* data = LockResource(loaded);
    if (data == nullptr) {
        return FALSE;
    }
    const EmbeddedResource resource = {static_cast<const uint8_t*>(data), size};
    return visitor->OnResource(name, resource) ? TRUE : FALSE;
}

void EnumerateResourcesOfType(ResourceVisitor& visitor, HMODULE module, const wchar_t* type) {
    EnumResourceNamesW(module, type, ResourceNameCallback, reinterpret_cast<LONG_PTR>(&visitor));
}
