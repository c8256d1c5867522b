// What a run finds once and keeps: drive C, the Wine prefix it belongs
// to, and the Windows and system directories. Private to
// src/platform/posix.
#pragma once

#include "platform/posix/dos_path.h"

#include <string>

namespace dosprep::posix {

struct Context {
    DriveC drive;       // root -1: there is no drive C
    int driveError = 0; // errno of opening drive C, when that failed
    // Where drive C's Wine prefix would be (O_PATH): the prefix it was
    // found through, or for $DOSPREP_DRIVE_C the directory holding it.
    FileDescriptor prefix;
    std::string windowsDirectory; // as GetWindowsDirectoryA gives it
    std::string systemDirectory;  // as GetSystemDirectoryA gives it
};

// The run's context, found on the first call and kept for the process.
// Drive C: the DRIVE argument (run_record.h), a Wine prefix when it holds
// dosdevices/ or drive_c/, else drive C itself; else $DOSPREP_DRIVE_C;
// else the Wine prefix $WINEPREFIX or $HOME/.wine: where its
// dosdevices/c: leads, or its drive_c when there is no such link. Empty
// variables count as unset. The Windows directory:
//   - $DOSPREP_WINDIR, when it is an absolute DOS path;
//   - C:\windows on a Wine prefix's drive C, as on Wine;
//   - else WinDir= in [Paths] of C:\MSDOS.SYS, where Windows 95, 98 and
//     ME record it; a record that is no absolute DOS path stands as it
//     is, so that every query on it fails and the run touches nothing;
//   - else C:\WINDOWS;
// each in its on-disk spelling. The system directory is its SYSTEM32 when
// that is a directory, else its SYSTEM. May throw std::bad_alloc.
const Context &RunContext();

// Whether the prefix holds Wine's registry files system.reg and user.reg
// as regular files, not links: drive C is then that Wine prefix's.
bool HoldsWineRegistry(const Context &context);

} // namespace dosprep::posix
