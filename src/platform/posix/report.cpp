#include "platform/posix/report.h"

#include "platform/posix/ascii.h"
#include "platform/posix/dos_path.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <spawn.h>
#include <sys/wait.h>

extern char **environ;

namespace dosprep::posix {

namespace {

// The two edits, in the order they run, by the names that the program
// gives their files.
struct Edit {
    const char *batch;
    const char *temp;
};
constexpr Edit kAutoexec = {"autoexec.bat", "autoexec.tmp"};
constexpr Edit kDosstart = {"dosstart.bat", "dosstart.tmp"};

std::size_t LastSeparator(std::string_view dosPath) {
    return dosPath.find_last_of("\\/");
}

// Whether the last component is `name`, whatever its case.
bool IsNamed(std::string_view dosPath, std::string_view name) {
    std::size_t separator = LastSeparator(dosPath);
    return EqualsIgnoringCase(
        separator == std::string_view::npos ? dosPath : dosPath.substr(separator + 1), name);
}

bool IsOf(const FileEvent &event, const Edit &edit) {
    return IsNamed(event.dosPath, edit.batch) || IsNamed(event.dosPath, edit.temp);
}

bool IsCopy(const FileEvent &event, const Edit &edit) {
    return event.error == NO_ERROR && std::string_view(event.call) == "CopyFileA" &&
           IsNamed(event.dosPath, edit.batch);
}

std::string WindowsDirectoryText() {
    std::string text(MAX_PATH, '\0');
    UINT length = GetWindowsDirectoryA(text.data(), MAX_PATH);
    if (length >= MAX_PATH) {
        text.assign(length, '\0');
        length = GetWindowsDirectoryA(text.data(), length);
    }
    text.resize(length < text.size() ? length : 0);
    return text;
}

std::string InDirectory(std::string directory, std::string_view name) {
    if (directory.empty() || directory.back() != '\\')
        directory += '\\';
    return directory + std::string(name);
}

// The batch file's DOS path as the program gives it: where the run looked
// for its files, else where it would have.
std::string DosPathOf(const Edit &edit, const std::vector<FileEvent> &events,
                      const std::string &windowsDirectory) {
    for (const FileEvent &event : events) {
        if (IsOf(event, edit))
            return event.dosPath.substr(0, LastSeparator(event.dosPath) + 1) + edit.batch;
    }
    return &edit == &kAutoexec ? std::string("C:\\") + edit.batch
                               : InDirectory(windowsDirectory, edit.batch);
}

std::string CauseText(int cause, DWORD error) {
    switch (cause) {
    case kCauseReadOnly:
        return "read-only";
    case kCauseDirectory:
        return "a directory";
    case kCauseSymbolicLink:
        return "a symbolic link";
    case kCauseNotRegular:
        return "not a regular file";
    case kCauseHardLinks:
        return "has other hard links";
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return "disk full";
    default:
        break;
    }
    if (cause > 0)
        return std::strerror(cause);
    switch (error) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return "disk full";
    case ERROR_ACCESS_DENIED:
        return "access denied";
    case ERROR_NOT_ENOUGH_MEMORY:
        return "out of memory";
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return "not found";
    default:
        return "Win32 error " + std::to_string(error);
    }
}

// Why the edit's last failed call failed, as seen from its batch file.
std::string FailureReason(const FileEvent &failure, const Edit &edit) {
    std::string why = CauseText(failure.cause, failure.error);
    std::string_view call = failure.call;
    if (why == "disk full")
        return why;
    if (IsNamed(failure.dosPath, edit.temp))
        return (call == "CreateFileA" ? "cannot create " : "cannot write ") +
               UpperCased(failure.dosPath) + " (" + why + ")";
    bool reading = call == "CreateFileA" || call == "ReadFile" || call == "SetFilePointer";
    return reading && failure.cause > 0 ? "unreadable (" + why + ")" : why;
}

// Why an edit that the run never began was not made: the run ended at the
// Windows or the system directory, or a path passed the path limit; when
// the other edit ran, it is the DOSSTART.BAT edit, whose set-up line holds
// the Windows directory and must fit in one line piece.
std::string RunReason(const std::vector<FileEvent> &events, const std::string &windowsDirectory) {
    if (!events.empty() && std::string_view(events.front().call) != "GetShortPathNameA")
        return "the set-up line would pass the limit of 255 characters";
    DosPath windows;
    for (const FileEvent &event : events) {
        if (std::string_view(event.call) != "GetShortPathNameA")
            continue;
        if (ParseDosPath(windowsDirectory, windows) != NO_ERROR || windows.drive != 'C')
            return "the Windows directory " + windowsDirectory + " is not on drive C";
        // A directory on the way to the system directory is missing.
        if (EqualsIgnoringCase(event.dosPath, windowsDirectory) ||
            event.error != ERROR_FILE_NOT_FOUND)
            return "no Windows directory " + windowsDirectory;
        return "no system directory (SYSTEM32 or SYSTEM) in " + windowsDirectory;
    }
    return "path past the limit of " + std::to_string(MAX_PATH - 1) + " characters";
}

// DOS paths are shown in capitals, as DOS shows them; the host path is
// the file's own, or the one that it would be created as.
void PrintNotMade(const std::string &dosPath, const std::string &reason) {
    std::string host = HostPathOf(dosPath);
    std::string where =
        host.empty() ? UpperCased(dosPath) : UpperCased(dosPath) + " (" + host + ")";
    std::fprintf(stderr, "dosprep: %s: %s; left as it was\n", where.c_str(), reason.c_str());
}

// Runs diff -u on the kept contents, labelled as below drive C.
bool ShowDiff(const FileEvent &copy, const std::string &dosPath) {
    if (copy.after.empty()) {
        std::fprintf(stderr, "dosprep: %s: changed; its diff cannot be shown (%s)\n",
                     UpperCased(dosPath).c_str(), std::strerror(copy.keptError));
        return false;
    }
    std::vector<std::string> args = {"diff",    "-u",
                                     "--label", "a/" + copy.relative,
                                     "--label", "b/" + copy.relative,
                                     "--",      copy.before.empty() ? "/dev/null" : copy.before,
                                     copy.after};
    std::vector<char *> command;
    for (std::string &arg : args)
        command.push_back(arg.data());
    command.push_back(nullptr);
    std::fflush(stdout);
    pid_t pid = 0;
    int failed = posix_spawnp(&pid, "diff", nullptr, nullptr, command.data(), environ);
    if (failed != 0) {
        std::fprintf(stderr, "dosprep: cannot run diff: %s\n", std::strerror(failed));
        return false;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    // 0: the same, 1: they differ; anything else is diff's own trouble.
    if (WIFEXITED(status) && WEXITSTATUS(status) <= 1)
        return true;
    std::fprintf(stderr, "dosprep: %s: diff failed\n", UpperCased(dosPath).c_str());
    return false;
}

} // namespace

bool ReportRun(bool showDiffs) {
    // A copy: the queries below record what they do too.
    const std::vector<FileEvent> events = RunEvents();
    std::string windowsDirectory = WindowsDirectoryText();
    bool allMade = true;
    for (const Edit *edit : {&kAutoexec, &kDosstart}) {
        std::string dosPath = DosPathOf(*edit, events, windowsDirectory);
        const FileEvent *copy = nullptr;
        const FileEvent *failure = nullptr;
        bool began = false;
        for (const FileEvent &event : events) {
            if (!IsOf(event, *edit))
                continue;
            began = true;
            if (IsCopy(event, *edit))
                copy = &event;
            // The reason is the edit's last failed call: a failure ends the
            // rewrite (a missing target's failed open, which reads as
            // empty, comes first), and the temporary file's removal comes
            // after the copy, made or not.
            else if (event.error != NO_ERROR && std::string_view(event.call) != "DeleteFileA")
                failure = &event;
        }
        if (copy != nullptr) {
            if (showDiffs && !ShowDiff(*copy, dosPath))
                allMade = false;
            continue;
        }
        allMade = false;
        if (failure != nullptr)
            PrintNotMade(dosPath, FailureReason(*failure, *edit));
        else if (began)
            PrintNotMade(dosPath, "not made");
        else
            PrintNotMade(dosPath, RunReason(events, windowsDirectory));
    }
    return allMade;
}

void ReportNoDriveC(const DriveCLocation &where) {
    std::string reason =
        where.directory.empty()
            ? std::string("no drive C (DOSPREP_DRIVE_C, WINEPREFIX and HOME are unset)")
            : "no drive C at " + where.directory + " (" + std::strerror(where.error) + ")";
    std::string windowsDirectory = WindowsDirectoryText();
    PrintNotMade(std::string("C:\\") + kAutoexec.batch, reason);
    PrintNotMade(InDirectory(windowsDirectory, kDosstart.batch), reason);
}

} // namespace dosprep::posix
