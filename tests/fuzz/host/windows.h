#pragma once

// Host stand-in for the few Windows declarations the text, settings and
// launch modules use, so that they compile for Linux with -fshort-wchar
// (wchar_t is then 16 bits, as on Windows). Only what those modules name is
// here; sizes follow the Windows ABI where it matters (DWORD and LONG are
// 32 bits even though long is 64 bits on Linux).

#include <stdint.h>

#define WINAPI
#define FALSE 0
#define TRUE 1

typedef int BOOL;
typedef unsigned char BYTE;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef LONG LSTATUS;
typedef DWORD REGSAM;
typedef wchar_t WCHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef BYTE* LPBYTE;
typedef DWORD* LPDWORD;
typedef void* LPVOID;
typedef void* HANDLE;
typedef void* HLOCAL;
typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef struct HINSTANCE__* HMODULE;

#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<intptr_t>(static_cast<int32_t>(0x80000001))))

#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define KEY_QUERY_VALUE 0x0001
#define REG_SZ 1
#define CREATE_NO_WINDOW 0x08000000
#define INFINITE 0xFFFFFFFF
#define WAIT_OBJECT_0 0

typedef struct _STARTUPINFOW {
    DWORD cb;
    LPWSTR lpReserved;
    LPWSTR lpDesktop;
    LPWSTR lpTitle;
    DWORD dwX, dwY, dwXSize, dwYSize, dwXCountChars, dwYCountChars, dwFillAttribute, dwFlags;
    uint16_t wShowWindow;
    uint16_t cbReserved2;
    BYTE* lpReserved2;
    HANDLE hStdInput, hStdOutput, hStdError;
} STARTUPINFOW, *LPSTARTUPINFOW;

typedef struct _PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
} PROCESS_INFORMATION, *LPPROCESS_INFORMATION;

// Implemented in host/windows_stand_ins.cpp: the calls the fuzz targets
// reach behave as documented; the others abort, so a target that wanders
// into one is noticed at once.
int WINAPI lstrcmpiW(LPCWSTR first, LPCWSTR second);
HLOCAL WINAPI LocalFree(HLOCAL memory);
LPWSTR WINAPI GetCommandLineW();
DWORD WINAPI GetLastError();

LSTATUS WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result);
LSTATUS WINAPI RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                LPDWORD dataSize);
LSTATUS WINAPI RegCloseKey(HKEY key);
BOOL WINAPI CreateProcessW(LPCWSTR application, LPWSTR commandLine, void* processAttributes, void* threadAttributes,
                           BOOL inheritHandles, DWORD creationFlags, LPVOID environment, LPCWSTR currentDirectory,
                           LPSTARTUPINFOW startupInfo, LPPROCESS_INFORMATION processInformation);
DWORD WINAPI GetFileAttributesW(LPCWSTR fileName);
BOOL WINAPI CloseHandle(HANDLE handle);
DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL WINAPI GetExitCodeProcess(HANDLE process, LPDWORD exitCode);
DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size);
