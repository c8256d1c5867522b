#include "platform/posix/report.h"

#include "platform/posix/ascii.h"
#include "platform/posix/context.h"
#include "platform/posix/dos_path.h"
#include "platform/posix/run_record.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace dosprep::posix {

namespace {

// Where the program looks for the edit's batch file, when the record does
// not say.
std::string DefaultDosPath(Edit edit) {
    if (edit == Edit::Autoexec)
        return "C:\\autoexec.bat";
    std::string directory = RunContext().windowsDirectory;
    if (directory.empty() || directory.back() != '\\')
        directory += '\\';
    return directory + "dosstart.bat";
}

struct Reason {
    long long code; // an errno, kCause or Win32 error value
    const char *text;
};

constexpr Reason kCauseTexts[] = {
    {kCauseReadOnly, "read-only"},
    {kCauseDirectory, "a directory"},
    {kCauseSymbolicLink, "a symbolic link"},
    {kCauseNotRegular, "not a regular file"},
    {kCauseHardLinks, "has other hard links"},
    {kCauseHidden, "hidden"},
    {kCauseSystem, "system"},
    {kCauseInterrupted, "interrupted"},
    {ENOSPC, "disk full"},
    {EDQUOT, "disk full"},
    {EFBIG, "file too large"},
};

constexpr Reason kErrorTexts[] = {
    {ERROR_DISK_FULL, "disk full"},         {ERROR_HANDLE_DISK_FULL, "disk full"},
    {ERROR_ACCESS_DENIED, "access denied"}, {ERROR_NOT_ENOUGH_MEMORY, "out of memory"},
    {ERROR_FILE_NOT_FOUND, "not found"},    {ERROR_PATH_NOT_FOUND, "not found"}};

const char *Lookup(std::span<const Reason> table, long long code) {
    auto found = std::ranges::find(table, code, &Reason::code);
    return found == table.end() ? nullptr : found->text;
}

// The cause names the failure best; an errno value without a text of its
// own is told as the system tells it, and only then the Win32 error.
std::string CauseText(int cause, DWORD error) {
    if (const char *text = Lookup(kCauseTexts, cause))
        return text;
    if (cause > 0)
        return std::strerror(cause);
    if (const char *text = Lookup(kErrorTexts, error))
        return text;
    return "Win32 error " + std::to_string(error);
}

// The directory that holds the scratch directory: $TMPDIR, or /tmp.
std::string ScratchBase() {
    return std::filesystem::path(Settings().scratch).parent_path().string();
}

// Why the edit's first failed call failed, as seen from its batch file.
std::string FailureReason(const CallFailure &failure) {
    std::string why = CauseText(failure.cause, failure.error);
    std::string_view call = failure.call;
    if (failure.inScratch)
        return "cannot write its copy in TMPDIR (" + ScratchBase() + "): " + why;
    // Whatever call met them, these say it all.
    if (why == "disk full" || why == "file too large" || why == "interrupted")
        return why;
    if (failure.onTemporary)
        return (call == "CreateFileA" ? "cannot create " : "cannot write ") +
               UpperCased(failure.dosPath) + " (" + why + ")";
    bool reading = call == "CreateFileA" || call == "ReadFile" || call == "SetFilePointer";
    return reading && failure.cause > 0 ? "unreadable (" + why + ")" : why;
}

// The host path that a DOS path on drive C names or would name: each
// leading component that exists in its on-disk spelling, the rest as
// given, below the drive's real directory. Empty for another drive or
// when no drive C is configured.
std::string HostPathOf(std::string_view dosPath) {
    DosPath path;
    const DriveC &drive = RunContext().drive;
    if (ParseDosPath(dosPath, path) != NO_ERROR || path.drive != 'C' || drive.directory.empty())
        return {};
    std::error_code unresolved;
    std::string host = std::filesystem::canonical(drive.directory, unresolved);
    if (host.empty())
        host = drive.directory;
    // "C:\A\b" is "A/b" below the drive: no name holds a slash or a backslash.
    std::string below = SpellDosPath(drive, path).substr(3);
    std::ranges::replace(below, '\\', '/');
    return below.empty() ? host : JoinHostPath(host, below);
}

// The first directory on the way to `dosPath` that exists but cannot be
// searched, as "C:\WINDOWS (/host/WINDOWS)"; "" when there is none.
std::string UnsearchableDirectory(std::string_view dosPath) {
    DosPath path;
    if (ParseDosPath(dosPath, path) != NO_ERROR)
        return "";
    std::string prefix = "C:";
    for (const std::string &part : path.parts) {
        prefix += "\\" + part;
        std::string host = HostPathOf(prefix);
        struct stat info {};
        if (!host.empty() && stat(host.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
            faccessat(AT_FDCWD, host.c_str(), X_OK, AT_EACCESS) != 0)
            return UpperCased(prefix) + " (" + host + ")";
    }
    return "";
}

// Why the query `query` of the Windows directory `windows`, or of the
// system directory in it, failed.
std::string DirectoryReason(const CallFailure &query, const std::string &windows) {
    DosPath path;
    if (ParseDosPath(windows, path) != NO_ERROR || path.drive != 'C')
        return "the Windows directory " + windows + " is not on drive C";
    if (std::string denied = UnsearchableDirectory(query.dosPath); !denied.empty())
        return "permission denied on " + denied;
    // Else a directory on the way to the system directory is missing.
    if (EqualsIgnoringCase(query.dosPath, windows) || query.error != ERROR_FILE_NOT_FOUND)
        return "no Windows directory " + windows;
    return "no system directory (SYSTEM32 or SYSTEM) in " + windows;
}

// Why an edit that the run never began was not made: there was no drive C
// and so no run; a query of the Windows or the system directory failed; a
// directory, or its short form, passes the path limit; else the edit is
// the DOSSTART.BAT one, whose set-up line holds the Windows directory and
// must fit in one line piece.
std::string RunReason() {
    const Context &context = RunContext();
    if (context.drive.directory.empty())
        return "no drive C (DOSPREP_DRIVE_C, WINEPREFIX and HOME are unset)";
    if (context.drive.root.Get() < 0)
        return "no drive C at " + context.drive.directory + " (" +
               std::strerror(context.driveError) + ")";
    const std::string &windows = context.windowsDirectory;
    if (const CallFailure &query = Queries().failure; query.call != nullptr)
        return DirectoryReason(query, windows);
    if (windows.size() >= MAX_PATH || context.systemDirectory.size() >= MAX_PATH ||
        Queries().passedBuffer)
        return "path past the limit of " + std::to_string(MAX_PATH - 1) + " characters";
    return "the set-up line would pass the limit of 255 characters";
}

// DOS paths are shown in capitals, as DOS shows them; the host path is
// the file's own, or the one that it would be created as.
void PrintNotMade(const std::string &dosPath, const std::string &reason) {
    std::string where = UpperCased(dosPath);
    if (std::string host = HostPathOf(dosPath); !host.empty())
        where += " (" + host + ")";
    std::fprintf(stderr, "dosprep: %s: %s; left as it was\n", where.c_str(), reason.c_str());
}

// Runs diff -u on the kept contents, labelled as below drive C.
bool ShowDiff(const KeptCopies &copy, const std::string &dosPath) {
    if (copy.after.empty()) {
        std::fprintf(stderr, "dosprep: %s: changed; its diff cannot be shown (TMPDIR %s: %s)\n",
                     UpperCased(dosPath).c_str(), ScratchBase().c_str(),
                     std::strerror(copy.keptError));
        return false;
    }
    std::string oldLabel = "a/" + copy.relative, newLabel = "b/" + copy.relative;
    const char *old = copy.before.empty() ? "/dev/null" : copy.before.c_str();
    const char *command[] = {"diff",           "-u", "--label", oldLabel.c_str(),   "--label",
                             newLabel.c_str(), "--", old,       copy.after.c_str(), nullptr};
    std::fflush(stdout);
    pid_t pid = 0;
    int failed =
        posix_spawnp(&pid, "diff", nullptr, nullptr, const_cast<char *const *>(command), environ);
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

// Reports one edit from its record; returns whether it was made (and its
// diff shown, when asked for).
bool ReportEdit(Edit edit, bool showDiffs) {
    const EditRecord &record = RecordOf(edit);
    // The batch file's DOS path as the program gives it: where the run
    // looked for its files, else where it would have.
    std::string dosPath = record.begun ? record.batchPath : DefaultDosPath(edit);
    if (record.copied)
        return !showDiffs || ShowDiff(record.kept, dosPath);
    PrintNotMade(dosPath, record.failure.call != nullptr ? FailureReason(record.failure)
                          : record.begun                 ? "not made"
                                                         : RunReason());
    return false;
}

} // namespace

bool ReportRun(bool showDiffs) {
    bool autoexecMade = ReportEdit(Edit::Autoexec, showDiffs);
    return ReportEdit(Edit::Dosstart, showDiffs) && autoexecMade;
}

} // namespace dosprep::posix
