// The Windows and system directories, and short forms of paths.
#include "platform/posix/dos_path.h"
#include "platform/posix/run_record.h"
#include "platform/posix/short_names.h"
#include "platform/win32_api.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dosprep::posix {

namespace {

// Windows 9x keeps MSDOS.SYS under 2 KiB; a record further in is not read.
constexpr std::size_t kMsdosSysLimit = 64 * 1024;

std::string_view TrimRecordBlanks(std::string_view text) {
    std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The first `kMsdosSysLimit` bytes of a file, or nullopt when it is no
// regular file or cannot be read.
std::optional<std::string> ReadFilePrefix(const ResolvedPath &file) {
    struct stat info {};
    DWORD error = NO_ERROR;
    FileDescriptor fd(OpenRegularForReading(file, info, error));
    if (fd.Get() < 0)
        return std::nullopt;
    std::string bytes;
    std::array<char, 4096> chunk{};
    while (bytes.size() < kMsdosSysLimit) {
        std::size_t wanted = std::min(chunk.size(), kMsdosSysLimit - bytes.size());
        ssize_t got = ReadRetrying(fd.Get(), chunk.data(), wanted);
        if (got < 0)
            return std::nullopt;
        if (got == 0)
            break;
        bytes.append(chunk.data(), static_cast<std::size_t>(got));
    }
    return bytes;
}

// WinDir= in the first [Paths] section of an MSDOS.SYS text: section and
// key names ignore case, blanks around names and values are dropped, the
// first WinDir line decides. nullopt without one, or with an empty value.
std::optional<std::string> FindWinDir(std::string_view text) {
    bool inPaths = false;
    while (!text.empty()) {
        std::size_t end = text.find_first_of("\r\n");
        std::string_view line = TrimRecordBlanks(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.starts_with('[')) {
            std::size_t close = line.find(']');
            if (close == std::string_view::npos)
                continue; // no section header
            if (inPaths)
                return std::nullopt; // the first [Paths] section ended
            inPaths = EqualsIgnoringCase(TrimRecordBlanks(line.substr(1, close - 1)), "Paths");
            continue;
        }
        std::size_t equals = line.find('=');
        if (!inPaths || line.starts_with(';') || equals == std::string_view::npos ||
            !EqualsIgnoringCase(TrimRecordBlanks(line.substr(0, equals)), "WinDir"))
            continue;
        std::string_view value = TrimRecordBlanks(line.substr(equals + 1));
        if (value.empty())
            return std::nullopt;
        return std::string(value);
    }
    return std::nullopt;
}

// Where Windows 95, 98 and ME record their Windows directory: WinDir= in
// the [Paths] section of C:\MSDOS.SYS. nullopt when there is no such file
// or it cannot be read, when it is binary (the DOS kernel of MS-DOS 6 and
// earlier: a NUL byte before the first Ctrl-Z, which ends a DOS text), or
// when it holds no such value.
std::optional<std::string> RecordedWindowsDirectory() {
    ResolvedPath resolved;
    if (ResolveDosPath("C:\\MSDOS.SYS", resolved) != NO_ERROR || !resolved.exists)
        return std::nullopt;
    std::optional<std::string> bytes = ReadFilePrefix(resolved);
    if (!bytes)
        return std::nullopt;
    std::string_view text(*bytes);
    text = text.substr(0, text.find('\x1A'));
    if (text.find('\0') != std::string_view::npos)
        return std::nullopt;
    return FindWinDir(text);
}

} // namespace

std::string WindowsDirectory() {
    DosPath path;
    // A value that is no absolute DOS path cannot be a Windows directory;
    // it counts as unset.
    const char *configured = std::getenv("DOSPREP_WINDIR");
    if (configured != nullptr && *configured != '\0' && ParseDosPath(configured, path) == NO_ERROR)
        return SpellDosPath(path);
    // Wine's Windows directory is C:\windows, whatever MSDOS.SYS says.
    std::optional<std::string> recorded;
    if (!DriveCIsWinePrefix())
        recorded = RecordedWindowsDirectory();
    if (recorded) {
        // A record that is no absolute DOS path is given as it stands, so
        // that every query on it fails, as for one on another drive: the
        // run then touches nothing.
        if (ParseDosPath(*recorded, path) != NO_ERROR)
            return *recorded;
        return SpellDosPath(path);
    }
    ParseDosPath("C:\\WINDOWS", path);
    return SpellDosPath(path);
}

namespace {

std::string SystemDirectory() {
    std::string windows = WindowsDirectory();
    DosPath path;
    if (ParseDosPath(windows, path) != NO_ERROR)
        return windows + "\\SYSTEM"; // as unusable as the Windows directory
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

namespace {

DWORD ShortPathName(LPCSTR longPath, LPSTR shortPath, DWORD size) {
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

} // namespace

// A failed query is recorded: the run ends on it when the Windows or the
// system directory is missing.
DWORD WINAPI GetShortPathNameA(LPCSTR longPath, LPSTR shortPath, DWORD size) {
    BeginCall();
    DWORD length = ShortPathName(longPath, shortPath, size);
    if (length == 0)
        RecordFailure("GetShortPathNameA", longPath != nullptr ? longPath : "");
    return length;
}
