#include "payload/output_file.h"

bool OutputFile::Open(const wchar_t* path) {
    Close();
    if (!path_.Copy(path)) {
        return false;
    }
    // Delete sharing only: while we write, nobody else can read or write
    // the file, and DELETE access is what lets MarkForDeletion work.
    handle_ = CreateFileW(path_.Text(), GENERIC_WRITE | DELETE, FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                          FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) {
        path_.Clear();
        return false;
    }
    return true;
}

bool OutputFile::MarkForDeletion() {
    if (!IsOpen()) {
        return false;
    }
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return SetFileInformationByHandle(handle_, FileDispositionInfo, &disposition, 1) != FALSE;
}

HANDLE OutputFile::Duplicate() {
    if (!IsOpen()) {
        return INVALID_HANDLE_VALUE;
    }
    HANDLE duplicate = INVALID_HANDLE_VALUE;
    if (!DuplicateHandle(GetCurrentProcess(), handle_, GetCurrentProcess(), &duplicate, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        return INVALID_HANDLE_VALUE;
    }
    return duplicate;
}

void OutputFile::Close() {
    if (IsOpen()) {
        HANDLE old = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        CloseHandle(old);
    }
    path_.Clear();
}
