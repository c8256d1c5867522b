// How the native command runs the program, and what the file calls of the
// run did. The edits report nothing to their caller, but every file
// operation passes through this platform layer: it notes which batch file
// was copied over and, for each call that failed, its path and cause, so
// that the Linux entry can tell the user what was not done.
#pragma once

#include "platform/win32_api.h"

#include <string>
#include <string_view>
#include <vector>

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

// Notes the cause of the failure about to be reported: an errno value (as
// ErrorFromErrno converts it) or a kCause value. The last one noted in a
// call is the one recorded.
void NoteCause(int cause) noexcept;
// Notes that the failure about to be reported is the scratch directory's
// (a dry run's temporary file there), not the tree's.
void NoteInScratch() noexcept;

// One call of the run that the report needs.
struct FileEvent {
    const char *call = "";
    std::string dosPath;    // as the program gave it
    DWORD error = NO_ERROR; // NO_ERROR: it succeeded
    int cause = 0;          // errno value or kCause value; 0 when unknown
    bool inScratch = false; // the failure was the scratch directory's
    // A copy that succeeded, with a scratch directory: the target below
    // drive C ('/'-separated, on-disk spelling) and the files keeping its
    // old contents ("" when it did not exist) and its new ones ("" when
    // they could not be kept: keptError says why).
    std::string relative, before, after;
    int keptError = 0;
};

// Forgets the cause noted by an earlier call; each recorded call starts so.
void BeginCall() noexcept;
// Records a call that failed, with the last error and the noted cause.
void RecordFailure(const char *call, std::string_view dosPath) noexcept;
// Records a call that succeeded: the creation of a temporary file, or a
// copy over a batch file with what was kept of it.
void RecordSuccess(FileEvent event) noexcept;

// Every event of the run, in order. At most a few per edit: a failing
// call ends its edit, so the record does not grow with a file's size.
const std::vector<FileEvent> &RunEvents();

} // namespace dosprep::posix
