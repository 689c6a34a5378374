#include "acceptance/side_by_side.h"

#include "acceptance/work_folder.h"

namespace kit {

namespace {

bool EndsWith(const wchar_t* text, const wchar_t* suffix) {
    const int length = Length(text);
    const int suffixLength = Length(suffix);
    return length >= suffixLength && Equal(text + length - suffixLength, suffix);
}

void AddMarkers(const wchar_t* folder, const wchar_t* relative, Text<2000>& out) {
    Path pattern(folder, L"*");
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern.Get(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        if (Equal(found.cFileName, L".") || Equal(found.cFileName, L"..")) continue;
        Path child(folder, found.cFileName);
        Path name(relative, found.cFileName);
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            AddMarkers(child.Get(), name.Get(), out);
        } else if (EndsWith(found.cFileName, L".loaded")) {
            if (out.length > 0) out.Add(L", ");
            out.Add(name.Get());
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

}  // namespace

[[gnu::noinline]] int PlantSideBySideForms(const wchar_t* local, const wchar_t* library) {
    wchar_t windows[PATH_UNITS] = {};
    const UINT length = GetSystemWindowsDirectoryW(windows, PATH_UNITS);
    if (length == 0 || length >= PATH_UNITS) return 0;
    Path pattern(windows, L"WinSxS", L"*_microsoft.windows.common-controls_6595b64144ccf1df_6.0.*");
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern.Get(), &found);
    if (search == INVALID_HANDLE_VALUE) return 0;
    int made = 0;
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) continue;
        Path folder(local, found.cFileName);
        CreateDirectoryW(folder.Get(), nullptr);
        Path planted(folder.Get(), L"comctl32.dll");
        if (CopyFileW(library, planted.Get(), FALSE)) ++made;
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return made;
}

[[gnu::noinline]] void ListLoadedMarkers(const wchar_t* folder, Text<2000>& out) {
    out.Clear();
    AddMarkers(folder, L"", out);
}

}  // namespace kit
