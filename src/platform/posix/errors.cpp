// The Win32 conventions for errors and string results.
#include "platform/posix/errors.h"

#include "platform/posix/run_record.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

thread_local DWORD g_lastError = NO_ERROR;

// The Win32 error of errno values, each row's values padded with 0.
constexpr struct {
    DWORD win32;
    int errnos[8];
} kErrors[] = {
    {ERROR_FILE_NOT_FOUND, {ENOENT}},
    {ERROR_PATH_NOT_FOUND, {ENOTDIR}},
    // ELOOP: O_NOFOLLOW met a link; ENXIO: a FIFO without a reader.
    {ERROR_ACCESS_DENIED, {EACCES, EPERM, EISDIR, ELOOP, ENXIO, EROFS, ETXTBSY, EBUSY}},
    {ERROR_FILE_EXISTS, {EEXIST}},
    {ERROR_DISK_FULL, {ENOSPC, EDQUOT, EFBIG}},
    {ERROR_NOT_ENOUGH_MEMORY, {ENOMEM}},
    {ERROR_FILENAME_EXCED_RANGE, {ENAMETOOLONG}},
    {ERROR_TOO_MANY_OPEN_FILES, {EMFILE, ENFILE}},
    {ERROR_INVALID_HANDLE, {EBADF}},
    {ERROR_INVALID_PARAMETER, {EINVAL}},
};

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
    for (const auto &row : kErrors)
        if (error != 0 && std::ranges::find(row.errnos, error) != std::end(row.errnos))
            return row.win32;
    return fallback;
}

DWORD PutStringResult(std::string_view value, char *buffer, DWORD size) {
    auto length = static_cast<DWORD>(value.size());
    if (buffer == nullptr || size <= length)
        return length + 1;
    std::memmove(buffer, value.data(), length);
    buffer[length] = '\0';
    return length;
}

} // namespace dosprep::posix
