#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

namespace test {

namespace {

std::atomic<unsigned> scratchCounter{0};

}  // namespace

ScratchDirectory::ScratchDirectory() {
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, temp);
    for (;;) {
        std::wstring candidate = std::wstring(temp) + L"stubtest_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                                 std::to_wstring(++scratchCounter);
        if (CreateDirectoryW(candidate.c_str(), nullptr)) {
            path_ = candidate + L"\\";
            return;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            ADD_FAILURE() << "cannot create a scratch directory under " << Narrow(temp);
            path_ = std::wstring(temp);
            return;
        }
    }
}

ScratchDirectory::~ScratchDirectory() { RemoveTree(path_); }

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool IsDirectory(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::vector<std::wstring> Entries(const std::wstring& directory) {
    std::vector<std::wstring> names;
    std::wstring pattern = directory;
    if (!pattern.empty() && pattern.back() != L'\\') {
        pattern += L'\\';
    }
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((pattern + L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") {
            names.push_back(name);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << Narrow(path);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    CloseHandle(file);
}

std::string ReadBytes(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return {};
    }
    std::string bytes;
    char chunk[65536];
    DWORD count = 0;
    while (ReadFile(file, chunk, sizeof(chunk), &count, nullptr) && count != 0) {
        bytes.append(chunk, count);
    }
    CloseHandle(file);
    return bytes;
}

void RemoveTree(const std::wstring& path) {
    std::wstring plain = path;
    while (!plain.empty() && plain.back() == L'\\') {
        plain.pop_back();
    }
    const DWORD attributes = GetFileAttributesW(plain.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return;
    }
    SetFileAttributesW(plain.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        for (const std::wstring& name : Entries(plain)) {
            RemoveTree(plain + L"\\" + name);
        }
        RemoveDirectoryW(plain.c_str());
    } else {
        DeleteFileW(plain.c_str());
    }
}

std::string Narrow(const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), result.data(), size, nullptr,
                        nullptr);
    return result;
}

DWORD FillModulePath(const std::wstring& path, LPWSTR buffer, DWORD size) {
    const DWORD length = static_cast<DWORD>(path.size());
    if (length >= size) {
        std::copy(path.begin(), path.begin() + size, buffer);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::copy(path.begin(), path.end(), buffer);
    buffer[length] = 0;
    return length;
}

std::wstring LayoutDirectory() {
    wchar_t path[MAX_PATH + 1] = {};
    const std::wstring program(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    return program.substr(0, program.rfind(L'\\') + 1) + L"payload_layouts\\";
}

LayoutModule::LayoutModule(const std::wstring& layout)
    : module_(LoadLibraryExW((LayoutDirectory() + layout + L".dll").c_str(), nullptr, 0)) {
    EXPECT_NE(module_, nullptr) << "layout " << Narrow(layout) << " not loaded";
}

LayoutModule::~LayoutModule() {
    if (module_ != nullptr) {
        FreeLibrary(module_);
    }
}

CleanupRegistryValue::CleanupRegistryValue() { RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Tolvane"); }

CleanupRegistryValue::~CleanupRegistryValue() { RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Tolvane"); }

void CleanupRegistryValue::Set(DWORD type, const void* data, DWORD bytes) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Tolvane", 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, L"BriselInstallerCleanup", 0, type, static_cast<const BYTE*>(data), bytes),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

}  // namespace test
