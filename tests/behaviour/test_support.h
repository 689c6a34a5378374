#pragma once

#include <windows.h>

#include <ostream>
#include <string>
#include <vector>

#include "outcome/run_outcome.h"

// Outcomes compare and print as {exit code, system error}.
inline bool operator==(const RunOutcome& a, const RunOutcome& b) {
    return a.exitCode == b.exitCode && a.systemError == b.systemError;
}
inline std::ostream& operator<<(std::ostream& out, const RunOutcome& outcome) {
    return out << "{" << outcome.exitCode << ", " << outcome.systemError << "}";
}

namespace test {

// A fresh directory on the Wine drive for one test, removed with everything in
// it when the test ends.
class ScratchDirectory {
public:
    ScratchDirectory();
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    // The directory's path with a trailing backslash.
    const std::wstring& Path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const { return path_ + name; }

private:
    std::wstring path_;
};

bool Exists(const std::wstring& path);
bool IsDirectory(const std::wstring& path);
// Names in a directory, sorted, without "." and "..".
std::vector<std::wstring> Entries(const std::wstring& directory);
void WriteBytes(const std::wstring& path, const std::string& bytes);
std::string ReadBytes(const std::wstring& path);
// Removes a file or directory tree; test clean-up only.
void RemoveTree(const std::wstring& path);

std::string Narrow(const std::wstring& text);

// What GetModuleFileNameW does with `path`: a path that does not fit is cut
// to the buffer, without terminator, the size is returned and the last error
// is ERROR_INSUFFICIENT_BUFFER. For tests that tell the stub where it lives.
DWORD FillModulePath(const std::wstring& path, LPWSTR buffer, DWORD size);

// The resource modules built from tests/behaviour/layouts (and the files they
// embed), beside the test program; the path ends with a backslash.
std::wstring LayoutDirectory();

// One layout loaded as a module, for the code under test to search.
class LayoutModule {
public:
    explicit LayoutModule(const std::wstring& layout);
    ~LayoutModule();
    LayoutModule(const LayoutModule&) = delete;
    LayoutModule& operator=(const LayoutModule&) = delete;

    HMODULE Get() const { return module_; }

private:
    HMODULE module_;
};

// HKCU\Software\Tolvane, removed before and after each use so that no test
// sees another's value.
class CleanupRegistryValue {
public:
    CleanupRegistryValue();
    ~CleanupRegistryValue();
    CleanupRegistryValue(const CleanupRegistryValue&) = delete;
    CleanupRegistryValue& operator=(const CleanupRegistryValue&) = delete;

    // Stores `bytes` bytes of `data` as the value, exactly (no terminator is
    // added), with the given type.
    void Set(DWORD type, const void* data, DWORD bytes);
};

}  // namespace test
