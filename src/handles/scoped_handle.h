#pragma once

#include <windows.h>

// Owns one kernel handle and closes it when the owner goes out of scope, so
// that every way out of a function lets go of it and the close is never
// written twice. Not copied; Release() hands the handle on to whoever closes
// it next. Holds INVALID_HANDLE_VALUE when it owns nothing: give it only a
// handle that a call returned on success. Closing keeps the thread's last
// error, so a failure's reason survives the clean-up on the way out.
class ScopedHandle {
public:
    ScopedHandle() = default;
    explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
    ~ScopedHandle() { Close(); }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;

    HANDLE Get() const { return handle_; }
    bool IsValid() const { return handle_ != INVALID_HANDLE_VALUE; }

    HANDLE Release() {
        const HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        return handle;
    }

    void Close() {
        if (IsValid()) {
            const DWORD error = GetLastError();
            CloseHandle(Release());
            SetLastError(error);
        }
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};
