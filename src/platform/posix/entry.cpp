// The native command: the command line read as a Linux command reads it,
// the run's lock on drive C, WinMain called as the Windows start-up code
// would, and the report of what was not done. Nothing is touched before
// the command line and DRIVE have been accepted.
#include "platform/posix/context.h"
#include "platform/posix/interrupts.h"
#include "platform/posix/report.h"
#include "platform/posix/run_record.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <sys/file.h>
#include <sys/sysmacros.h>

namespace {

using namespace dosprep::posix;

constexpr const char kUsage[] = R"(Usage: dosprep [--dry-run | --diff] [DRIVE]
  or:  dosprep --print-windows-dir [DRIVE]
Prepare the DOS start-up files of a Windows tree for the sound card:
C:\AUTOEXEC.BAT ends with SET  BLASTER=A220 I5  D1 T4, and DOSSTART.BAT in
the Windows directory with the line that runs audprep.exe /S.

DRIVE is the directory that is drive C:, or a Wine prefix (a directory that
holds dosdevices/ or drive_c/). Without it, drive C is $DOSPREP_DRIVE_C, else
that of the Wine prefix $WINEPREFIX, else that of ~/.wine.

  --diff       show a unified diff of each batch file that changes
  --dry-run    show that diff and change nothing
  --print-windows-dir  print the Windows directory that a run would use, and
               change nothing
  --help       display this help and exit
  --version    output version information and exit

Exit status is 0 when both files were prepared, 1 when one was not (each such
file is named on standard error, with the reason), and 2 on a usage error.
A run waits up to 60 s for another on the same drive C, then gives up with
status 1; SIGINT, SIGTERM or SIGHUP end it with 128 plus the signal's number,
its temporary files removed.
With --print-windows-dir, it is 0 when DOS can name that directory (it is on
drive C: and each of its names is an 8.3 name), else 1.
)";

struct CommandLine {
    bool help = false, version = false, dryRun = false, diff = false, printWindowsDir = false;
    std::vector<std::string> drives;
    std::string error; // a usage error
};

// GNU's reading: options in any order, "--" ends them, "-" is an operand.
// --help and --version end the reading; so does the first error.
CommandLine ReadCommandLine(int argc, char **argv) {
    CommandLine line;
    bool options = true;
    for (int i = 1; i < argc && line.error.empty() && !line.help && !line.version; ++i) {
        std::string_view arg = argv[i];
        std::string_view name = arg.substr(0, arg.find('='));
        bool *flag = name == "--help"                ? &line.help
                     : name == "--version"           ? &line.version
                     : name == "--diff"              ? &line.diff
                     : name == "--dry-run"           ? &line.dryRun
                     : name == "--print-windows-dir" ? &line.printWindowsDir
                                                     : nullptr;
        if (!options || arg == "-" || !arg.starts_with('-'))
            line.drives.emplace_back(arg);
        else if (arg == "--")
            options = false;
        else if (flag != nullptr && name == arg)
            *flag = true;
        else if (flag != nullptr)
            line.error = "option '" + std::string(name) + "' doesn't allow an argument";
        else if (arg.starts_with("--"))
            line.error = "unrecognized option '" + std::string(arg) + "'";
        else
            line.error = "invalid option -- '" + std::string(arg.substr(1, 1)) + "'";
    }
    if (line.error.empty() && !line.help && !line.version && line.drives.size() > 1)
        line.error = "extra operand '" + line.drives[1] + "'";
    return line;
}

// GNU's close_stdout: output that could not be written is a failure.
int FinishOutput(int status) {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "dosprep: write error: %s\n", std::strerror(errno));
        return 1;
    }
    return status;
}

// DRIVE must be a directory; anything else is refused before the run.
bool AcceptDrive(const std::string &drive) {
    struct stat info {};
    int error = stat(drive.c_str(), &info) != 0 ? errno : S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
    if (error != 0)
        std::fprintf(stderr, "dosprep: cannot use %s as drive C: %s\n", drive.c_str(),
                     std::strerror(error));
    return error == 0;
}

// A private directory in $TMPDIR for the diff's copies and a dry run's
// temporary files, outside drive C. Empty, with TMPDIR and what is wrong
// with it named, when it cannot be made.
std::string MakeScratch(const std::string &driveDirectory) {
    const char *configured = std::getenv("TMPDIR");
    std::string given = configured != nullptr && *configured != '\0' ? configured : "/tmp";
    std::error_code error, ignored;
    std::string base = std::filesystem::canonical(given, error);
    std::string drive = std::filesystem::canonical(driveDirectory, ignored);
    std::string why = error ? error.message() : "";
    if (why.empty() && !drive.empty() && (base == drive || base.starts_with(drive + "/")))
        why = "it lies inside drive C";
    std::string pattern = base + "/dosprep-XXXXXX";
    if (why.empty() && mkdtemp(pattern.data()) == nullptr)
        why = std::strerror(errno);
    if (why.empty())
        return pattern;
    std::fprintf(stderr, "dosprep: cannot use TMPDIR (%s) for the diff: %s\n", given.c_str(),
                 why.c_str());
    return {};
}

// --print-windows-dir: the Windows directory as the run would find it, by
// the same rules (dosprep-image asks this, and keeps no copy of them).
int PrintWindowsDirectory() {
    const std::string &windows = RunContext().windowsDirectory;
    std::printf("%s\n", windows.c_str());
    DosPath path;
    bool dosNames = ParseDosPath(windows, path) == NO_ERROR && path.drive == 'C' &&
                    std::ranges::all_of(path.parts, IsShortName);
    return FinishOutput(dosNames ? 0 : 1);
}

// The process holding an flock on `fd`'s file, as /proc/locks lists it
// ("1: FLOCK  ADVISORY  WRITE 4242 08:01:1234 0 EOF"), with its name:
// "process 4242 (dosprep)". "another run" when none is listed.
std::string LockHolder(int fd) {
    struct stat info {};
    char file[64] = "";
    if (fstat(fd, &info) == 0)
        std::snprintf(file, sizeof file, "%02x:%02x:%llu", major(info.st_dev), minor(info.st_dev),
                      static_cast<unsigned long long>(info.st_ino));
    std::ifstream locks("/proc/locks");
    for (std::string line; *file != '\0' && std::getline(locks, line);) {
        std::istringstream words(line);
        std::string number, kind, mode, access, pid, id, name;
        if (words >> number >> kind >> mode >> access >> pid >> id && kind == "FLOCK" &&
            id == file) {
            std::getline(std::ifstream("/proc/" + pid + "/comm"), name);
            return "process " + pid + (name.empty() ? "" : " (" + name + ")");
        }
    }
    return "another run";
}

// Locks drive C until `lock` goes, with an flock on its own directory, so
// that no file of ours enters the tree: exclusive for a run that writes,
// shared for a dry run, which then reads the tree whole between two runs.
// Waits up to 60 s. False, with the status in `status`, when this run must
// end touching nothing: the wait ran out, an interrupt came, or the lock
// cannot be had.
bool LockDriveC(bool shared, FileDescriptor &lock, int &status) {
    constexpr int kWaitSeconds = 60;
    const DriveC &drive = RunContext().drive;
    // flock needs a descriptor that is no O_PATH one.
    lock = FileDescriptor(openat(drive.root.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    int operation = shared ? LOCK_SH : LOCK_EX;
    int error = lock.Get() >= 0 && flock(lock.Get(), operation | LOCK_NB) == 0 ? 0 : errno;
    bool waiting = error == EWOULDBLOCK;
    if (waiting) {
        // SIGALRM wakes the waiting flock each second, so that an interrupt
        // or the end of the wait is seen however a signal falls.
        struct sigaction action {};
        action.sa_handler = [](int) {};
        sigemptyset(&action.sa_mask);
        sigaction(SIGALRM, &action, nullptr);
    }
    status = 1;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(kWaitSeconds);
    while (waiting) {
        if (Interruption() != 0) {
            status = 128 + Interruption();
            return false;
        }
        if (std::chrono::steady_clock::now() >= end) {
            std::fprintf(stderr,
                         "dosprep: drive C (%s): in use by %s; gave up after %d s, nothing "
                         "changed\n",
                         drive.directory.c_str(), LockHolder(lock.Get()).c_str(), kWaitSeconds);
            return false;
        }
        alarm(1);
        error = flock(lock.Get(), operation) == 0 ? 0 : errno;
        alarm(0);
        waiting = error == EINTR;
    }
    if (error != 0) {
        std::string why = error == EACCES ? "permission denied"
                                          : "cannot lock it: " + std::string(std::strerror(error));
        std::fprintf(stderr, "dosprep: drive C (%s): %s; nothing changed\n",
                     drive.directory.c_str(), why.c_str());
    }
    return error == 0;
}

// Runs the program on the accepted command line and reports the run,
// holding the lock on drive C until the process ends.
int Prepare(const CommandLine &line) {
    RunSettings settings;
    settings.drive = line.drives.empty() ? "" : line.drives.front();
    settings.dryRun = line.dryRun;
    Configure(settings);
    if (RunContext().drive.root.Get() < 0) {
        ReportRun(false); // nothing ran: it names both files, and why
        return 1;
    }
    if (line.printWindowsDir)
        return PrintWindowsDirectory();
    CatchInterrupts();
    FileDescriptor lock;
    if (int status = 0; !LockDriveC(line.dryRun, lock, status))
        return status;
    bool showDiffs = line.diff || line.dryRun;
    if (showDiffs) {
        settings.scratch = MakeScratch(RunContext().drive.directory);
        if (settings.scratch.empty())
            return 1;
        Configure(settings);
    }
    char noArguments[] = "";
    WinMain(nullptr, nullptr, noArguments, 0);
    // After an interrupt, the private directory goes first, and no diff is
    // shown: the report then only names what was not made.
    std::error_code ignored;
    bool interrupted = Interruption() != 0;
    if (interrupted && showDiffs)
        std::filesystem::remove_all(settings.scratch, ignored);
    bool allMade = ReportRun(showDiffs && !interrupted);
    if (showDiffs)
        std::filesystem::remove_all(settings.scratch, ignored);
    if (Interruption() != 0)
        return 128 + Interruption();
    return FinishOutput(allMade ? 0 : 1);
}

} // namespace

int main(int argc, char **argv) {
    try {
        CommandLine line = ReadCommandLine(argc, argv);
        if (!line.error.empty()) {
            std::fprintf(stderr, "dosprep: %s\nTry 'dosprep --help' for more information.\n",
                         line.error.c_str());
            return 2;
        }
        if (line.help)
            std::fputs(kUsage, stdout);
        else if (line.version)
            std::printf("dosprep %s\n", DOSPREP_VERSION);
        if (line.help || line.version)
            return FinishOutput(0);
        if (!line.drives.empty() && !AcceptDrive(line.drives.front()))
            return 1;
        return Prepare(line);
    } catch (...) {
        std::fputs("dosprep: out of memory\n", stderr);
        return 1;
    }
}
