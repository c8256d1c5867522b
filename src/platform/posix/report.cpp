// The record of each edit, kept from the file calls (run_record.h), and
// the report that the native command makes of it (report.h).
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
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace dosprep::posix {

namespace {

RunSettings g_settings;

// What the call being made noted. One thread runs the program; the notes
// are per thread all the same, as the last error is.
struct CallNotes {
    int cause = 0;
    bool inScratch = false;
    std::optional<KeptCopies> copy;
};
thread_local CallNotes g_call;

// Each edit's batch file and temporary file: AUTOEXEC.BAT's in C:\,
// DOSSTART.BAT's in the Windows directory (in its short form).
constexpr const char *kEditFiles[2][2] = {{"autoexec.bat", "autoexec.tmp"},
                                          {"dosstart.bat", "dosstart.tmp"}};

// What became of one edit, from the calls on its two files.
struct EditRecord {
    std::string batchPath;          // in the directory of the first call; empty: none was made
    std::string failure;            // why the first failure ended the edit; empty: none did
    std::optional<KeptCopies> copy; // once a copy over the batch file succeeded
} g_records[2];

// What the GetShortPathNameA queries of the Windows and the system
// directory came to: why the first that failed did (empty: none did), and
// whether a short path did not fit the buffer given.
std::string g_queryFailure;
bool g_passedBuffer = false;

// The texts of kCauseReadOnly (-1) down to kCauseInterrupted (-8).
constexpr const char *kCauseTexts[] = {
    "read-only", "a directory", "a symbolic link", "not a regular file", "has other hard links",
    "hidden",    "system",      "interrupted"};
static_assert(std::ssize(kCauseTexts) == -kCauseInterrupted);

// The cause names the failure best; an errno value without a text of its
// own is told as the system tells it, and only then the Win32 error.
std::string CauseText(int cause, DWORD error) {
    if (cause < 0)
        return kCauseTexts[-1 - cause];
    if (cause == ENOSPC || cause == EDQUOT)
        return "disk full";
    if (cause == EFBIG)
        return "file too large";
    if (cause > 0)
        return std::strerror(cause);
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return "not found";
    if (error == ERROR_ACCESS_DENIED || error == ERROR_NOT_ENOUGH_MEMORY)
        return error == ERROR_ACCESS_DENIED ? "access denied" : "out of memory";
    return "Win32 error " + std::to_string(error);
}

// The directory that holds the scratch directory: $TMPDIR, or /tmp.
std::string ScratchBase() {
    return std::filesystem::path(Settings().scratch).parent_path().string();
}

// The edit (0: AUTOEXEC.BAT, 1: DOSSTART.BAT) whose batch file or
// temporary file `dosPath` names, with `onBatch` telling which; -1 for any
// other path. The program calls on no other files of these names.
int EditOf(std::string_view dosPath, bool &onBatch) {
    std::string_view name = dosPath.substr(dosPath.find_last_of("\\/") + 1);
    for (int edit : {0, 1}) {
        onBatch = EqualsIgnoringCase(name, kEditFiles[edit][0]);
        if (onBatch || EqualsIgnoringCase(name, kEditFiles[edit][1]))
            return edit;
    }
    return -1;
}

// Why the failed call `call` on `dosPath` ended its edit.
std::string FailureReason(std::string_view call, std::string_view dosPath, bool onBatch) {
    std::string why = CauseText(g_call.cause, GetLastError());
    if (g_call.inScratch)
        return "cannot write its copy in TMPDIR (" + ScratchBase() + "): " + why;
    // Whatever call met them, these say it all.
    if (why == "disk full" || why == "file too large" || why == "interrupted")
        return why;
    if (!onBatch)
        return (call == "CreateFileA" ? "cannot create " : "cannot write ") + UpperCased(dosPath) +
               " (" + why + ")";
    bool reading = call == "CreateFileA" || call == "ReadFile" || call == "SetFilePointer";
    return reading && g_call.cause > 0 ? "unreadable (" + why + ")" : why;
}

// The host path that a DOS path on drive C names or would name, leading
// components that exist in their on-disk spelling; empty for another
// drive, or with no drive C.
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

// Why the query of `dosPath`, the Windows directory or the system
// directory in it, failed with `error`.
std::string QueryReason(std::string_view dosPath, DWORD error) {
    const std::string &windows = RunContext().windowsDirectory;
    DosPath path;
    if (ParseDosPath(windows, path) != NO_ERROR || path.drive != 'C')
        return "the Windows directory " + windows + " is not on drive C";
    if (std::string denied = UnsearchableDirectory(dosPath); !denied.empty())
        return "permission denied on " + denied;
    // Else a directory on the way to the system directory is missing.
    if (EqualsIgnoringCase(dosPath, windows) || error != ERROR_FILE_NOT_FOUND)
        return "no Windows directory " + windows;
    return "no system directory (SYSTEM32 or SYSTEM) in " + windows;
}

// Why an edit that the run never began was not made: no drive C; a failed
// query; a directory, or its short form, past the path limit; else the
// DOSSTART.BAT set-up line, which must fit in one line piece.
std::string RunReason() {
    const Context &context = RunContext();
    if (context.drive.directory.empty())
        return "no drive C (DOSPREP_DRIVE_C, WINEPREFIX and HOME are unset)";
    if (context.drive.root.Get() < 0)
        return "no drive C at " + context.drive.directory + " (" +
               std::strerror(context.driveError) + ")";
    if (!g_queryFailure.empty())
        return g_queryFailure;
    if (context.windowsDirectory.size() >= MAX_PATH || context.systemDirectory.size() >= MAX_PATH ||
        g_passedBuffer)
        return "path past the limit of " + std::to_string(MAX_PATH - 1) + " characters";
    return "the set-up line would pass the limit of 255 characters";
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
bool ReportEdit(int edit, bool showDiffs) {
    const EditRecord &record = g_records[edit];
    // Where the run looked for the batch file, else where it would have.
    std::string dosPath = record.batchPath;
    if (dosPath.empty()) {
        dosPath = edit == 0 ? "C:\\" : RunContext().windowsDirectory;
        if (dosPath.empty() || dosPath.back() != '\\')
            dosPath += '\\';
        dosPath += kEditFiles[edit][0];
    }
    if (record.copy)
        return !showDiffs || ShowDiff(*record.copy, dosPath);
    std::string reason = !record.failure.empty()     ? record.failure
                         : !record.batchPath.empty() ? "not made"
                                                     : RunReason();
    // In capitals, as DOS shows paths; the host path too, if on drive C.
    std::string where = UpperCased(dosPath);
    if (std::string host = HostPathOf(dosPath); !host.empty())
        where += " (" + host + ")";
    std::fprintf(stderr, "dosprep: %s: %s; left as it was\n", where.c_str(), reason.c_str());
    return false;
}

} // namespace

void Configure(RunSettings settings) {
    g_settings = std::move(settings);
}

const RunSettings &Settings() {
    return g_settings;
}

void BeginCall() noexcept {
    g_call = CallNotes{};
}

void NoteCause(int cause) noexcept {
    g_call.cause = cause;
}

void NoteInScratch() noexcept {
    g_call.inScratch = true;
}

void NoteCopy(KeptCopies kept) noexcept {
    g_call.copy = std::move(kept);
}

void RecordFileCall(const char *call, std::string_view dosPath, bool failed) noexcept {
    try {
        bool onBatch = false;
        int edit = EditOf(dosPath, onBatch);
        if (edit < 0)
            return;
        EditRecord &record = g_records[edit];
        if (record.batchPath.empty())
            record.batchPath = std::string(dosPath.substr(0, dosPath.find_last_of("\\/") + 1)) +
                               kEditFiles[edit][0];
        std::string_view name = call;
        DWORD error = GetLastError();
        bool missingBatch = onBatch && name == "CreateFileA" &&
                            (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND);
        if (failed && record.failure.empty() && name != "DeleteFileA" && !missingBatch)
            record.failure = FailureReason(name, dosPath, onBatch);
        if (onBatch && g_call.copy)
            record.copy = std::move(g_call.copy);
    } catch (...) {
        // Out of memory: the call goes unrecorded, and the report says less.
    }
}

void RecordShortPathQuery(std::string_view longPath, DWORD length, DWORD size) noexcept {
    try {
        if (length == 0 && g_queryFailure.empty())
            g_queryFailure = QueryReason(longPath, GetLastError());
        g_passedBuffer = g_passedBuffer || (length != 0 && length >= size);
    } catch (...) {
    }
}

bool ReportRun(bool showDiffs) {
    bool autoexecMade = ReportEdit(0, showDiffs);
    return ReportEdit(1, showDiffs) && autoexecMade;
}

} // namespace dosprep::posix
