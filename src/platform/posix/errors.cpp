// The Win32 conventions for errors and string results.
#include "platform/posix/errors.h"

#include "platform/posix/run_record.h"

#include <cerrno>
#include <cstring>

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

DWORD ErrorFromErrno(int error, DWORD fallback) {
    NoteCause(error);
    switch (error) {
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case ELOOP: // O_NOFOLLOW met a symbolic link
    case ENXIO: // a FIFO without a reader, a device without its driver
    case EROFS:
    case ETXTBSY:
    case EBUSY:
        return ERROR_ACCESS_DENIED;
    case EEXIST:
        return ERROR_FILE_EXISTS;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return ERROR_DISK_FULL;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    default:
        return fallback;
    }
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
