// How the native command runs the program, and what became of its edits:
// each file call passes through this layer, which knows from the file's
// name which edit it is for, and keeps for each edit its first failure and
// whether the copy over its batch file succeeded (report.cpp).
#pragma once

#include "platform/win32_api.h"

#include <string>
#include <string_view>

namespace dosprep::posix {

// Set by the entry before the run.
struct RunSettings {
    std::string drive; // the DRIVE argument; empty: from the environment
    bool dryRun = false;
    std::string scratch; // outside drive C, for diffs and a dry run; empty: none
};

void Configure(RunSettings settings);
const RunSettings &Settings();

// Causes that no errno value names, numbered as their texts (report.cpp).
constexpr int kCauseReadOnly = -1;     // no owner-write bit
constexpr int kCauseDirectory = -2;    // a directory where a file must be
constexpr int kCauseSymbolicLink = -3; // a link where a file must be
constexpr int kCauseNotRegular = -4;   // a device, FIFO or socket
constexpr int kCauseHardLinks = -5;    // a file that other names share
constexpr int kCauseHidden = -6;       // the hidden attribute, on a FAT volume
constexpr int kCauseSystem = -7;       // the system attribute, on a FAT volume
constexpr int kCauseInterrupted = -8;  // a signal asked the run to end

// With a scratch directory, what a copy over a batch file replaced: the
// target below drive C ('/'-separated, on-disk spelling) and the files
// keeping its old contents ("" when it did not exist) and its new ones
// ("" when they could not be kept: keptError says why).
struct KeptCopies {
    std::string relative, before, after;
    int keptError = 0;
};

// Each recorded call begins with nothing noted. The cause of a failure is
// an errno value (as ErrorFromErrno converts it) or a kCause value, the
// last one noted; NoteInScratch: the scratch directory's, not the tree's.
// NoteCopy: the call copied over a batch file, keeping `kept`.
void BeginCall() noexcept;
void NoteCause(int cause) noexcept;
void NoteInScratch() noexcept;
void NoteCopy(KeptCopies kept) noexcept;

// Records a file call on `dosPath` that succeeded, or failed with the last
// error and the noted cause. Not failures of an edit: the removal of its
// temporary file, and the open of a missing batch file (read as empty).
void RecordFileCall(const char *call, std::string_view dosPath, bool failed) noexcept;

// Records a GetShortPathNameA query of the Windows or the system
// directory: failed (the last error says why), or answered with `length`
// for a buffer of `size` bytes.
void RecordShortPathQuery(std::string_view longPath, DWORD length, DWORD size) noexcept;

} // namespace dosprep::posix
