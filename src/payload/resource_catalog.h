#pragma once

#include <windows.h>
#include <stdint.h>

#include "text/bounded_text.h"

// A resource located in the mapped image: its bytes stay where the loader put
// them and are never copied, freed or written. Size 0 means none recorded.
struct EmbeddedResource {
    const uint8_t* data;
    uint64_t size;
};

class ResourceVisitor {
public:
    // `name` belongs to the system and lives only during the call. Returns
    // true to go on with the enumeration.
    virtual bool OnResource(const wchar_t* name, const EmbeddedResource& resource) = 0;

protected:
    ~ResourceVisitor() = default;
};

// Recognises the product archive ("brisel...", or a name that begins with a
// release's own archive name) and the setup program ("setup...", a plain file
// name: no "\\", "/" or ":") by name; any other name is ERROR_INVALID_DATA.
// Holds only references, so what it records adds up over the enumerations of
// several types.
class PayloadFinder final : public ResourceVisitor {
public:
    PayloadFinder(const wchar_t* archivePrefix, PathBuffer& archiveName, PathBuffer& setupName,
                  EmbeddedResource& setupResource, uint32_t& error)
        : archivePrefix_(archivePrefix),
          archiveName_(archiveName),
          setupName_(setupName),
          setupResource_(setupResource),
          error_(error) {}

    bool OnResource(const wchar_t* name, const EmbeddedResource& resource) override;

private:
    const wchar_t* archivePrefix_;  // "brisel", or a release's own archive name
    PathBuffer& archiveName_;
    PathBuffer& setupName_;
    EmbeddedResource& setupResource_;
    uint32_t& error_;
};

// Hands every named resource of `type` to the visitor, located and locked.
void EnumerateResourcesOfType(ResourceVisitor& visitor, HMODULE module, const wchar_t* type);

BOOL CALLBACK ResourceNameCallback(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR context);

// ASCII letters compared without regard to case; nothing else is folded.
bool StartsWithNoCase(const wchar_t* text, const wchar_t* prefix);
