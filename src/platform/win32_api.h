// The subset of the Win32 interface (KERNEL32) that dosprep calls.
//
// On Windows this is <windows.h> itself. Elsewhere the same names are
// provided by our own layer in src/platform/posix/, with the same
// signatures and the same conventions for results and last errors, so the
// rest of the program reads like a Windows program on every host.
#pragma once

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#else

#include <cstdint>

#define WINAPI
#define CALLBACK

using BOOL = int;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using UINT = unsigned int;
using HANDLE = void *;
using HINSTANCE = void *;
using LPSTR = char *;
using LPCSTR = const char *;
using LPVOID = void *;
using LPCVOID = const void *;
using LPDWORD = DWORD *;
using PLONG = LONG *;

struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES *;
struct OVERLAPPED;
using LPOVERLAPPED = OVERLAPPED *;

constexpr BOOL FALSE = 0;
constexpr BOOL TRUE = 1;
constexpr DWORD MAX_PATH = 260;

constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD FILE_SHARE_WRITE = 0x2;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD FILE_BEGIN = 0;
constexpr DWORD FILE_CURRENT = 1;
constexpr DWORD FILE_END = 2;
constexpr DWORD INVALID_SET_FILE_POINTER = 0xFFFFFFFFu;
inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(-1);

constexpr DWORD NO_ERROR = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_WRITE_FAULT = 29;
constexpr DWORD ERROR_READ_FAULT = 30;
constexpr DWORD ERROR_HANDLE_DISK_FULL = 39;
constexpr DWORD ERROR_FILE_EXISTS = 80;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_DISK_FULL = 112;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_NEGATIVE_SEEK = 131;
constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
constexpr DWORD ERROR_OPERATION_ABORTED = 995;
constexpr DWORD ERROR_CANT_RESOLVE_FILENAME = 1921;

// The program's entry point, called as the Windows start-up code calls it.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show);

// Last-error value of the calling thread, as set by the calls below.
DWORD WINAPI GetLastError();
void WINAPI SetLastError(DWORD error);

// Writes the Windows directory in its on-disk spelling: $DOSPREP_WINDIR;
// else, except on a Wine prefix, WinDir= of [Paths] in C:\MSDOS.SYS as
// Windows 9x records it; else C:\WINDOWS. Returns its length without the
// NUL, or the size needed including the NUL when `size` is too small
// (nothing written then).
UINT WINAPI GetWindowsDirectoryA(LPSTR buffer, UINT size);

// Writes the system directory: <Windows directory>\SYSTEM32 when that
// exists, else <Windows directory>\SYSTEM. Same results as above.
UINT WINAPI GetSystemDirectoryA(LPSTR buffer, UINT size);

// Every path below is resolved inside drive C: a symbolic link is followed
// only while it stays there, and a path that would leave the drive fails
// as a missing one does.

// Writes the short (8.3) form of an existing path: each component that is
// a valid 8.3 name as spelt on disk stays so, any other becomes its alias
// (BASE~N.EXT). Returns its length without the NUL, the size needed
// including the NUL when `size` is too small (nothing written then), or 0
// with the last error set when the path does not exist. The two buffers
// may be the same.
DWORD WINAPI GetShortPathNameA(LPCSTR longPath, LPSTR shortPath, DWORD size);

// Reads [section] key= from WIN.INI in the Windows directory; on a Wine
// prefix, [intl] is read from HKEY_CURRENT_USER\Control Panel\International
// in the prefix's registry instead, and only there, as Wine's default
// mapping of WIN.INI has it (a value there counts even empty). Copies at
// most size - 1 characters and a NUL; returns the count copied (0, nothing
// written, when size is 0). Names match whatever their case; only the
// first section of that name is searched, and its first line for the key
// decides. A missing file, section or key, a key line without '=', or an
// empty value copies `defaultValue` (nullptr: ""), cut the same way.
DWORD WINAPI GetProfileStringA(LPCSTR section, LPCSTR key, LPCSTR defaultValue, LPSTR buffer,
                               DWORD size);

// Opens a file. Supported: GENERIC_READ with OPEN_EXISTING, and
// GENERIC_WRITE with CREATE_ALWAYS (create or truncate, never through a
// symbolic link, never a file with other hard links or without the
// owner-write bit). Returns INVALID_HANDLE_VALUE with the last error set on
// failure; a directory or other non-regular file fails with
// ERROR_ACCESS_DENIED.
HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD shareMode,
                          LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                          HANDLE templateFile);

// Reads `toRead` bytes, fewer only at the end of the file; *read = 0 with
// TRUE there.
// Returns FALSE with the last error set on a read error.
BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read,
                     LPOVERLAPPED overlapped);

// Writes all `toWrite` bytes, or returns FALSE with the last error set
// (ERROR_DISK_FULL when the disk or the file-size limit is reached).
BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written,
                      LPOVERLAPPED overlapped);

// Moves the file position. Returns the new low 32 bits of the position
// (high bits in *high when given) and sets the last error to NO_ERROR, or
// returns INVALID_SET_FILE_POINTER with the last error set on failure
// (ERROR_NEGATIVE_SEEK before the start; the position is not moved).
DWORD WINAPI SetFilePointer(HANDLE file, LONG distance, PLONG high, DWORD method);

// Closes a handle; FALSE with the last error set when the close fails.
BOOL WINAPI CloseHandle(HANDLE object);

// Copies `existing` onto `newName`. The new content is written beside the
// target and renamed into place, so the target is never half-written; an
// existing target keeps its permission bits and its on-disk name. Fails
// (0, target unchanged) when the target exists and failIfExists is TRUE
// (ERROR_FILE_EXISTS), when it lacks the owner-write bit (read-only), or
// is not a regular file (ERROR_ACCESS_DENIED for both).
BOOL WINAPI CopyFileA(LPCSTR existing, LPCSTR newName, BOOL failIfExists);

// Removes a file or a symbolic link (not a directory, not a file without
// the owner-write bit); FALSE with the last error on failure.
BOOL WINAPI DeleteFileA(LPCSTR name);

#endif
