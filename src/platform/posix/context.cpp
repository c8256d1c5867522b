#include "platform/posix/context.h"

#include "platform/posix/ascii.h"
#include "platform/posix/errors.h"
#include "platform/posix/run_record.h"

#include <cstdlib>
#include <filesystem>
#include <memory>

namespace dosprep::posix {

namespace {

namespace fs = std::filesystem;

// A path from the environment or the command line; empty when unset, and
// without trailing slashes.
std::string HostPath(const char *value) {
    std::string path = value != nullptr ? value : "";
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

// Where drive C is configured (context.h); false when nowhere.
bool LocateDriveC(DriveC &drive) {
    std::string given = HostPath(Settings().drive.c_str());
    std::error_code error;
    // A DRIVE argument is a Wine prefix when it holds what wineboot makes.
    if (given.empty())
        drive.directory = HostPath(std::getenv("DOSPREP_DRIVE_C"));
    else if (!fs::is_directory(JoinHostPath(given, "dosdevices"), error) &&
             !fs::is_directory(JoinHostPath(given, "drive_c"), error))
        drive.directory = given;
    if (!drive.directory.empty())
        return true;
    std::string home = HostPath(std::getenv("HOME"));
    drive.winePrefix = !given.empty() ? given : HostPath(std::getenv("WINEPREFIX"));
    if (drive.winePrefix.empty() && !home.empty())
        drive.winePrefix = JoinHostPath(home, ".wine");
    if (drive.winePrefix.empty())
        return false;
    // Wine's drive C is wherever dosdevices/c: leads; drive_c is only where
    // wineboot makes it lead.
    std::string device = JoinHostPath(drive.winePrefix, "dosdevices/c:");
    bool linked = fs::exists(fs::symlink_status(device, error));
    drive.directory = linked ? device : JoinHostPath(drive.winePrefix, "drive_c");
    return true;
}

// WinDir= in the first [Paths] section of an MSDOS.SYS text, "" without
// one: names ignore case, blanks around names and values do not count,
// ';' begins a comment, and the first WinDir line decides. A section name
// runs to the FIRST ']' of its line: MSDOS.SYS is the boot loader's
// record, not a profile file, whose loader reads to the last one.
std::string FindWinDir(std::string_view text) {
    bool inPaths = false;
    while (!text.empty()) {
        std::size_t end = std::min(text.find_first_of("\r\n"), text.size());
        std::string_view line = Trimmed(text.substr(0, end), " \t");
        text.remove_prefix(std::min(end + 1, text.size()));
        std::size_t close = line.find(']'), equals = line.find('=');
        if (line.starts_with('[') && close != std::string_view::npos) {
            if (inPaths)
                return ""; // the first [Paths] section ended
            inPaths = EqualsIgnoringCase(Trimmed(line.substr(1, close - 1), " \t"), "Paths");
        } else if (inPaths && !line.starts_with(';') && equals != std::string_view::npos &&
                   EqualsIgnoringCase(Trimmed(line.substr(0, equals), " \t"), "WinDir")) {
            return std::string(Trimmed(line.substr(equals + 1), " \t"));
        }
    }
    return "";
}

// WinDir= of C:\MSDOS.SYS, read up to its first Ctrl-Z (the end of a DOS
// text) within 64 KiB (Windows 9x keeps it under 2 KiB); "" without one,
// or when the file is binary: the DOS kernel of MS-DOS 6 and earlier.
std::string RecordedWindowsDirectory(const DriveC &drive) {
    FileDescriptor fd(OpenDosFile(drive, "C:\\", "MSDOS.SYS"));
    std::string bytes(64 * 1024, '\0');
    std::size_t size = 0;
    if (fd.Get() < 0 || !ReadAll(fd.Get(), bytes.data(), bytes.size(), size))
        return "";
    bytes.resize(std::min(size, bytes.find('\x1A')));
    return bytes.find('\0') == std::string::npos ? FindWinDir(bytes) : "";
}

std::string WindowsDirectory(const Context &context) {
    const char *configured = std::getenv("DOSPREP_WINDIR");
    std::string windows = configured != nullptr ? configured : "";
    DosPath path;
    // A value that is no absolute DOS path counts as unset.
    if (ParseDosPath(windows, path) != NO_ERROR)
        windows = HoldsWineRegistry(context) ? "" : RecordedWindowsDirectory(context.drive);
    if (windows.empty())
        windows = "C:\\WINDOWS";
    return ParseDosPath(windows, path) == NO_ERROR ? SpellDosPath(context.drive, path) : windows;
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

bool IsRegularEntry(int directory, const char *name) {
    struct stat info {};
    return fstatat(directory, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode);
}

std::unique_ptr<Context> FindContext() {
    auto found = std::make_unique<Context>();
    DriveC &drive = found->drive;
    if (LocateDriveC(drive)) {
        drive.root =
            FileDescriptor(open(drive.directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        found->driveError = drive.root.Get() < 0 ? errno : 0;
    }
    if (drive.root.Get() >= 0) {
        found->prefix =
            FileDescriptor(drive.winePrefix.empty()
                               ? openat(drive.root.Get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC)
                               : open(drive.winePrefix.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    }
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
