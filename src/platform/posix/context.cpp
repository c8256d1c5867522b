// The run's context: drive C, its Wine prefix, and the Windows and system
// directories, found once.
#include "platform/posix/context.h"

#include "platform/posix/ascii.h"
#include "platform/posix/dos_path.h"
#include "platform/posix/errors.h"
#include "platform/win32_api.h"

#include <cerrno>
#include <cstdlib>
#include <memory>
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

// WinDir= in the first [Paths] section of an MSDOS.SYS text: section and
// key names ignore case, blanks around names and values are dropped, the
// first WinDir line decides. "" without one.
// A section name runs to the FIRST ']' of its line: MSDOS.SYS is no
// profile file but the boot loader's record, written by Windows Setup as
// "[Paths]", and what follows the bracket is no part of the name. WIN.INI
// differs (profile.cpp): its loader takes the name to the last ']'.
std::string FindWinDir(std::string_view text) {
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
                return ""; // the first [Paths] section ended
            inPaths = EqualsIgnoringCase(TrimRecordBlanks(line.substr(1, close - 1)), "Paths");
            continue;
        }
        std::size_t equals = line.find('=');
        if (inPaths && !line.starts_with(';') && equals != std::string_view::npos &&
            EqualsIgnoringCase(TrimRecordBlanks(line.substr(0, equals)), "WinDir"))
            return std::string(TrimRecordBlanks(line.substr(equals + 1)));
    }
    return "";
}

// WinDir= of C:\MSDOS.SYS, from its first `kMsdosSysLimit` bytes; ""
// when it is missing, no regular file or cannot be read, when it is binary
// (the DOS kernel of MS-DOS 6 and earlier: a NUL byte before the first
// Ctrl-Z, which ends a DOS text), or when it holds no such value.
std::string RecordedWindowsDirectory(const DriveC &drive) {
    ResolvedPath resolved;
    if (ResolveOnDrive(drive, DosPath{'C', {"MSDOS.SYS"}}, resolved) != NO_ERROR ||
        !resolved.exists)
        return "";
    struct stat info {};
    DWORD error = NO_ERROR;
    FileDescriptor fd(OpenRegularForReading(resolved, info, error));
    std::string bytes(kMsdosSysLimit, '\0');
    std::size_t size = 0;
    if (fd.Get() < 0 || !ReadAll(fd.Get(), bytes.data(), bytes.size(), size))
        return "";
    std::string_view text(bytes.data(), size);
    text = text.substr(0, text.find('\x1A'));
    return text.find('\0') == std::string_view::npos ? FindWinDir(text) : "";
}

std::string WindowsDirectory(const Context &context) {
    DosPath path;
    // A value that is no absolute DOS path cannot be a Windows directory;
    // it counts as unset.
    const char *configured = std::getenv("DOSPREP_WINDIR");
    if (configured != nullptr && ParseDosPath(configured, path) == NO_ERROR)
        return SpellDosPath(context.drive, path);
    std::string recorded =
        HoldsWineRegistry(context) ? "" : RecordedWindowsDirectory(context.drive);
    if (recorded.empty())
        recorded = "C:\\WINDOWS";
    return ParseDosPath(recorded, path) == NO_ERROR ? SpellDosPath(context.drive, path) : recorded;
}

std::string SystemDirectory(const Context &context) {
    const std::string &windows = context.windowsDirectory;
    DosPath path;
    if (ParseDosPath(windows, path) != NO_ERROR)
        return windows + "\\SYSTEM"; // as unusable as the Windows directory
    path.parts.emplace_back("SYSTEM32");
    path.trailingSeparator = true; // it counts only as a directory
    ResolvedPath resolved;
    if (ResolveOnDrive(context.drive, path, resolved) != NO_ERROR)
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

std::unique_ptr<Context> FindContext() {
    auto found = std::make_unique<Context>();
    if (!OpenDriveC(found->drive))
        found->driveError = errno;
    found->prefix = FileDescriptor(OpenPrefix(found->drive));
    found->windowsDirectory = WindowsDirectory(*found);
    found->systemDirectory = SystemDirectory(*found);
    return found;
}

// A directory of the run's context, as the Win32 string result.
UINT PutContextDirectory(const std::string Context::*directory, LPSTR buffer, UINT size) {
    try {
        return PutStringResult(RunContext().*directory, buffer, size);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
}

} // namespace

const Context &RunContext() {
    // When finding it throws, the next call tries again.
    static const std::unique_ptr<Context> context = FindContext();
    return *context;
}

bool HoldsWineRegistry(const Context &context) {
    return context.prefix.Get() >= 0 && IsRegularEntry(context.prefix.Get(), "system.reg") &&
           IsRegularEntry(context.prefix.Get(), "user.reg");
}

} // namespace dosprep::posix

using namespace dosprep::posix;

UINT WINAPI GetWindowsDirectoryA(LPSTR buffer, UINT size) {
    return PutContextDirectory(&Context::windowsDirectory, buffer, size);
}

UINT WINAPI GetSystemDirectoryA(LPSTR buffer, UINT size) {
    return PutContextDirectory(&Context::systemDirectory, buffer, size);
}
