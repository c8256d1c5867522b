// The Win32 conventions for errors and string results.
#include "platform/posix/errors.h"

#include "platform/posix/run_record.h"

#include <cerrno>
#include <cstring>
#include <utility>

namespace {

thread_local DWORD g_lastError = NO_ERROR;

} // namespace

DWORD WINAPI GetLastError() {
    return g_lastError;
}

void WINAPI SetLastError(DWORD error) {
    g_lastError = error;
}

namespace dosprep::posix {

namespace {

// errno values and their Win32 errors.
constexpr std::pair<int, DWORD> kErrors[] = {
    {ENOENT, ERROR_FILE_NOT_FOUND},
    {ENOTDIR, ERROR_PATH_NOT_FOUND},
    {EACCES, ERROR_ACCESS_DENIED},
    {EPERM, ERROR_ACCESS_DENIED},
    {EISDIR, ERROR_ACCESS_DENIED},
    {ELOOP, ERROR_ACCESS_DENIED}, // O_NOFOLLOW met a symbolic link
    {ENXIO, ERROR_ACCESS_DENIED}, // a FIFO without a reader, a device without its driver
    {EROFS, ERROR_ACCESS_DENIED},
    {ETXTBSY, ERROR_ACCESS_DENIED},
    {EBUSY, ERROR_ACCESS_DENIED},
    {EEXIST, ERROR_FILE_EXISTS},
    {ENOSPC, ERROR_DISK_FULL},
    {EDQUOT, ERROR_DISK_FULL},
    {EFBIG, ERROR_DISK_FULL},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
    {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
    {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
    {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
    {EBADF, ERROR_INVALID_HANDLE},
    {EINVAL, ERROR_INVALID_PARAMETER},
};

} // namespace

DWORD ErrorFromErrno(int error, DWORD fallback) {
    NoteCause(error);
    for (auto [errnoValue, win32Error] : kErrors)
        if (errnoValue == error)
            return win32Error;
    return fallback;
}

DWORD PutStringResult(std::string_view value, char *buffer, DWORD size) {
    // Longer than any DWORD can count: report it as not fitting anything.
    if (value.size() >= 0xFFFFFFFFu)
        return 0xFFFFFFFFu;
    auto length = static_cast<DWORD>(value.size());
    if (buffer == nullptr || size <= length)
        return length + 1;
    if (length != 0)
        std::memmove(buffer, value.data(), length);
    buffer[length] = '\0';
    return length;
}

} // namespace dosprep::posix
