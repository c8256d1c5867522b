// The Windows and system directories, and short forms of paths.
#include "platform/posix/dos_path.h"
#include "platform/posix/short_names.h"
#include "platform/win32_api.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include <fcntl.h>

namespace dosprep::posix {

std::string WindowsDirectory() {
    DosPath path;
    const char *configured = std::getenv("DOSPREP_WINDIR");
    // A value that is no absolute DOS path cannot be a Windows directory;
    // the usual one stands in, since the call has no way to fail.
    if (configured == nullptr || *configured == '\0' || ParseDosPath(configured, path) != NO_ERROR)
        ParseDosPath("C:\\WINDOWS", path);
    return SpellDosPath(path);
}

namespace {

std::string SystemDirectory() {
    DosPath path;
    ParseDosPath(WindowsDirectory(), path);
    path.parts.emplace_back("SYSTEM32");
    std::string system32 = SpellDosPath(path);
    ResolvedPath resolved;
    if (ResolveDosPath(system32, resolved) == NO_ERROR && resolved.exists) {
        FileDescriptor directory(
            OpenBeneath(resolved.drive, resolved.relative, O_PATH | O_DIRECTORY));
        if (directory.Get() >= 0)
            return system32;
    }
    path.parts.back() = "SYSTEM";
    return SpellDosPath(path);
}

std::string ShortPath(const ResolvedPath &resolved) {
    std::string text = "C:";
    std::string relative;
    std::vector<std::string> entries;
    for (const std::string &name : resolved.names) {
        text += '\\';
        if (IsShortName(name)) {
            text += name;
        } else {
            FileDescriptor directory(OpenBeneath(resolved.drive, relative, O_PATH | O_DIRECTORY));
            int error = directory.Get() < 0 ? errno : ListDirectory(directory.Get(), entries);
            if (error != 0) {
                SetLastError(ErrorFromErrno(error, ERROR_PATH_NOT_FOUND));
                return {};
            }
            auto found = std::lower_bound(entries.begin(), entries.end(), name);
            if (found == entries.end() || *found != name) {
                SetLastError(ERROR_FILE_NOT_FOUND); // removed meanwhile
                return {};
            }
            text += ShortNames(entries)[static_cast<std::size_t>(found - entries.begin())];
        }
        relative = JoinHostPath(relative, name);
    }
    if (resolved.names.empty())
        text += '\\';
    return text;
}

// Whether the whole resolved path leads somewhere inside the drive: its
// last component may be a link.
DWORD CheckLeadsInside(const ResolvedPath &resolved) {
    if (!resolved.exists)
        return ERROR_FILE_NOT_FOUND;
    FileDescriptor target(OpenBeneath(resolved.drive, resolved.relative, O_PATH));
    return target.Get() >= 0 ? NO_ERROR : ErrorFromErrno(errno, ERROR_FILE_NOT_FOUND);
}

} // namespace

} // namespace dosprep::posix

using namespace dosprep::posix;

UINT WINAPI GetWindowsDirectoryA(LPSTR buffer, UINT size) {
    try {
        return PutStringResult(WindowsDirectory(), buffer, size);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
}

UINT WINAPI GetSystemDirectoryA(LPSTR buffer, UINT size) {
    try {
        return PutStringResult(SystemDirectory(), buffer, size);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
}

DWORD WINAPI GetShortPathNameA(LPCSTR longPath, LPSTR shortPath, DWORD size) {
    try {
        if (longPath == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        ResolvedPath resolved;
        DWORD error = ResolveDosPath(longPath, resolved);
        if (error == NO_ERROR)
            error = CheckLeadsInside(resolved);
        if (error != NO_ERROR) {
            SetLastError(error);
            return 0;
        }
        // Built whole before anything is written: the buffers may overlap.
        std::string text = ShortPath(resolved);
        if (text.empty())
            return 0;
        std::string_view input(longPath);
        if (!resolved.names.empty() && (input.back() == '\\' || input.back() == '/'))
            text += '\\';
        return PutStringResult(text, shortPath, size);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
}
