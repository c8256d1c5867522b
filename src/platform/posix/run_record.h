// How the native command runs the program, and what became of its edits.
// The edits report nothing to their caller, but every file call passes
// through this platform layer, which knows from a call's path which edit
// it is for: C:\AUTOEXEC.BAT and autoexec.tmp beside it, DOSSTART.BAT and
// dosstart.tmp in the Windows directory. For each edit it keeps the first
// failure and whether the copy over the batch file succeeded, which the
// report (report.h, report.cpp) reads.
#pragma once

#include "platform/win32_api.h"

#include <string>
#include <string_view>

namespace dosprep::posix {

// Set by the entry before the run.
struct RunSettings {
    std::string drive; // the DRIVE argument; empty: from the environment
    bool dryRun = false;
    // Where a diff's copies are kept and a dry run writes: a directory
    // outside drive C, or empty for a plain run.
    std::string scratch;
};

void Configure(RunSettings settings);
const RunSettings &Settings();

// Causes that no errno value names.
constexpr int kCauseReadOnly = -1;     // no owner-write bit
constexpr int kCauseDirectory = -2;    // a directory where a file must be
constexpr int kCauseSymbolicLink = -3; // a link where a file must be
constexpr int kCauseNotRegular = -4;   // a device, FIFO or socket
constexpr int kCauseHardLinks = -5;    // a file that other names share
constexpr int kCauseHidden = -6;       // the hidden attribute, on a FAT volume
constexpr int kCauseSystem = -7;       // the system attribute, on a FAT volume
constexpr int kCauseInterrupted = -8;  // a signal asked the run to end

// Forgets the cause noted by an earlier call; each recorded call starts so.
void BeginCall() noexcept;
// Notes the cause of the failure about to be reported: an errno value (as
// ErrorFromErrno converts it) or a kCause value; the last one counts.
void NoteCause(int cause) noexcept;
// Notes that the failure about to be reported is the scratch directory's
// (a dry run's temporary file there), not the tree's.
void NoteInScratch() noexcept;

// Records a file call on `dosPath` that succeeded, or that failed with
// the last error and the noted cause. A path of neither edit is ignored.
// Not failures of an edit: the removal of its temporary file, and the
// open of a missing batch file, which the edit reads as empty.
void RecordFileCall(const char *call, std::string_view dosPath, bool failed) noexcept;

// With a scratch directory, what a copy over a batch file replaced: the
// target below drive C ('/'-separated, on-disk spelling) and the files
// keeping its old contents ("" when it did not exist) and its new ones
// ("" when they could not be kept: keptError says why).
struct KeptCopies {
    std::string relative, before, after;
    int keptError = 0;
};
// Records the copy over `target`, which succeeded.
void RecordCopy(std::string_view target, KeptCopies kept) noexcept;

// Records a GetShortPathNameA query: failed (the last error says why), or
// answered with `length` for a buffer of `size` bytes.
void RecordShortPathQuery(std::string_view longPath, const char *shortPath, DWORD length,
                          DWORD size) noexcept;

} // namespace dosprep::posix
