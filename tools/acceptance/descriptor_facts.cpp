#include "acceptance/descriptor_facts.h"

#include <sddl.h>

namespace kit {

namespace {

// Descriptors of the few entries we read fit here; one process, one thread.
alignas(8) unsigned char descriptorBlock[8192];
alignas(8) unsigned char tokenBlock[512];

}  // namespace

void AddDescriptorFacts(Facts& facts, const wchar_t* prefix, const wchar_t* path) {
    DWORD needed = 0;
    if (!GetFileSecurityW(path, DACL_SECURITY_INFORMATION, descriptorBlock, sizeof(descriptorBlock), &needed)) {
        facts.SetNumber(prefix, L"error", GetLastError());
        return;
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptorBlock, &control, &revision);
    facts.SetNumber(prefix, L"control", control);
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    ACL* dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptorBlock, &present, &dacl, &defaulted) || !present || dacl == nullptr) {
        facts.Set(prefix, L"aces", L"none");
        return;
    }
    facts.SetNumber(prefix, L"aces", dacl->AceCount);
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace)) break;
        const ACE_HEADER* header = static_cast<const ACE_HEADER*>(ace);
        Text<300> value;
        value.Clear();
        value.AddHex(header->AceType);
        value.Add(L" ");
        value.AddHex(header->AceFlags);
        // Allowed and denied entries share one layout; anything else is
        // named by its type alone, which no expected entry matches.
        if (header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_DENIED_ACE_TYPE) {
            const ACCESS_ALLOWED_ACE* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
            value.Add(L" ");
            value.AddHex(allowed->Mask);
            wchar_t* sid = nullptr;
            if (ConvertSidToStringSidW(const_cast<DWORD*>(&allowed->SidStart), &sid)) {
                value.Add(L" ");
                value.Add(sid);
                LocalFree(sid);
            }
        }
        Text<32> key;
        Numbered(key, L"ace.", i + 1);
        facts.Set(prefix, key.Get(), value.Get());
    }
}

bool TokenOwnerText(Text<200>& text) {
    text.Clear();
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    DWORD needed = 0;
    const BOOL read = GetTokenInformation(token, TokenOwner, tokenBlock, sizeof(tokenBlock), &needed);
    CloseHandle(token);
    wchar_t* sid = nullptr;
    if (!read || !ConvertSidToStringSidW(reinterpret_cast<TOKEN_OWNER*>(tokenBlock)->Owner, &sid)) return false;
    text.Add(sid);
    LocalFree(sid);
    return true;
}

DWORD MakeFolderForOwner(const wchar_t* path, const wchar_t* rights, Text<200>& owner, const wchar_t*& step) {
    step = L"the token owner cannot be read";
    if (!TokenOwnerText(owner)) return GetLastError();
    Text<400> sddl;
    sddl.Clear();
    sddl.Add(rights);
    sddl.Add(owner.Get());
    sddl.Add(L")");
    step = L"a descriptor cannot be built";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.Get(), SDDL_REVISION_1, &descriptor, nullptr)) {
        return GetLastError();
    }
    step = L"a folder with a descriptor cannot be made";
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
    const BOOL made = CreateDirectoryW(path, &attributes);
    const DWORD error = made ? 0 : GetLastError();
    LocalFree(descriptor);
    return error;
}

}  // namespace kit
