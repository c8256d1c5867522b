// The run's context: drive C, its Wine prefix, and the Windows and system
// directories, found once.
#include "platform/posix/context.h"

#include "platform/posix/ascii.h"
#include "platform/posix/dos_path.h"
#include "platform/posix/errors.h"
#include "platform/posix/run_record.h"
#include "platform/win32_api.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <memory>
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
std::optional<std::string> ReadFirstBytes(const ResolvedPath &file) {
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
// A section name runs to the FIRST ']' of its line: MSDOS.SYS is no
// profile file but the boot loader's record, written by Windows Setup as
// "[Paths]", and what follows the bracket is no part of the name. WIN.INI
// differs (profile.cpp): its loader takes the name to the last ']'.
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

// WinDir= of C:\MSDOS.SYS. nullopt when there is no such file or it
// cannot be read, when it is binary (the DOS kernel of MS-DOS 6 and
// earlier: a NUL byte before the first Ctrl-Z, which ends a DOS text), or
// when it holds no such value.
std::optional<std::string> RecordedWindowsDirectory(const DriveC &drive) {
    DosPath path;
    ResolvedPath resolved;
    ParseDosPath("C:\\MSDOS.SYS", path);
    if (ResolveOnDrive(drive, path, resolved) != NO_ERROR || !resolved.exists)
        return std::nullopt;
    std::optional<std::string> bytes = ReadFirstBytes(resolved);
    if (!bytes)
        return std::nullopt;
    std::string_view text(*bytes);
    text = text.substr(0, text.find('\x1A'));
    if (text.find('\0') != std::string_view::npos)
        return std::nullopt;
    return FindWinDir(text);
}

std::string WindowsDirectory(const Context &context) {
    DosPath path;
    // A value that is no absolute DOS path cannot be a Windows directory;
    // it counts as unset.
    const char *configured = std::getenv("DOSPREP_WINDIR");
    if (configured != nullptr && *configured != '\0' && ParseDosPath(configured, path) == NO_ERROR)
        return SpellDosPath(context.drive, path);
    std::optional<std::string> recorded;
    if (!HoldsWineRegistry(context))
        recorded = RecordedWindowsDirectory(context.drive);
    if (!recorded)
        recorded = "C:\\WINDOWS";
    if (ParseDosPath(*recorded, path) != NO_ERROR)
        return *recorded;
    return SpellDosPath(context.drive, path);
}

std::string SystemDirectory(const Context &context) {
    const std::string &windows = context.windowsDirectory;
    DosPath path;
    if (ParseDosPath(windows, path) != NO_ERROR)
        return windows + "\\SYSTEM"; // as unusable as the Windows directory
    path.parts.emplace_back("SYSTEM32");
    ResolvedPath resolved;
    if (path.drive == 'C' && context.drive.root.Get() >= 0 &&
        ResolveOnDrive(context.drive, path, resolved) == NO_ERROR && resolved.exists) {
        FileDescriptor directory(
            OpenBeneath(context.drive, resolved.relative, O_PATH | O_DIRECTORY));
        if (directory.Get() >= 0)
            return SpellDosPath(context.drive, path);
    }
    path.parts.back() = "SYSTEM";
    return SpellDosPath(context.drive, path);
}

int OpenPrefix(const DriveC &drive) {
    if (drive.root.Get() < 0)
        return -1;
    if (drive.winePrefix.empty())
        return openat(drive.root.Get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
    return open(drive.winePrefix.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

bool IsRegularEntry(int directory, const char *name) {
    struct stat info {};
    return fstatat(directory, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode);
}

// What the context is found from: the variables, each with whether it is
// set, and the DRIVE argument.
std::string Environment() {
    std::string key;
    for (const char *name : {"DOSPREP_DRIVE_C", "WINEPREFIX", "HOME", "DOSPREP_WINDIR"}) {
        const char *value = std::getenv(name);
        key += value != nullptr ? '=' : '-';
        key += value != nullptr ? value : "";
        key += '\0';
    }
    return key + Settings().drive;
}

} // namespace

const Context &RunContext() {
    static std::unique_ptr<Context> context;
    std::string environment = Environment();
    if (context && context->environment == environment)
        return *context;
    auto found = std::make_unique<Context>();
    found->environment = std::move(environment);
    if (!OpenDriveC(found->drive))
        found->driveError = errno;
    found->prefix = FileDescriptor(OpenPrefix(found->drive));
    found->windowsDirectory = WindowsDirectory(*found);
    found->systemDirectory = SystemDirectory(*found);
    context = std::move(found);
    return *context;
}

bool HoldsWineRegistry(const Context &context) {
    return context.prefix.Get() >= 0 && IsRegularEntry(context.prefix.Get(), "system.reg") &&
           IsRegularEntry(context.prefix.Get(), "user.reg");
}

} // namespace dosprep::posix

using namespace dosprep::posix;

UINT WINAPI GetWindowsDirectoryA(LPSTR buffer, UINT size) {
    try {
        return PutStringResult(RunContext().windowsDirectory, buffer, size);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
}

UINT WINAPI GetSystemDirectoryA(LPSTR buffer, UINT size) {
    try {
        return PutStringResult(RunContext().systemDirectory, buffer, size);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
}
