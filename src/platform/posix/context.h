// What a run finds once and keeps: drive C, the Wine prefix it belongs
// to, and the Windows and system directories. Private to
// src/platform/posix.
#pragma once

#include "platform/posix/descriptor.h"
#include "platform/posix/drive.h"

#include <string>

namespace dosprep::posix {

struct Context {
    DriveC drive;       // root -1: there is no drive C
    int driveError = 0; // errno of opening drive C, when that failed
    // Where drive C's Wine prefix would be (O_PATH): the prefix it was
    // found through, or for $DOSPREP_DRIVE_C the directory holding it;
    // -1 when there is none. Whether it is one: HoldsWineRegistry.
    FileDescriptor prefix;
    std::string windowsDirectory; // as GetWindowsDirectoryA gives it
    std::string systemDirectory;  // as GetSystemDirectoryA gives it
};

// The run's context, found on the first call from the DRIVE argument and
// the environment ($DOSPREP_DRIVE_C, $WINEPREFIX, $HOME, $DOSPREP_WINDIR),
// and kept for the rest of the process. The Windows directory:
//   - $DOSPREP_WINDIR, when it is an absolute DOS path;
//   - C:\windows on a Wine prefix's drive C, as on Wine;
//   - else WinDir= in [Paths] of C:\MSDOS.SYS, where Windows 95, 98 and
//     ME record it; a record that is no absolute DOS path stands as it
//     is, so that every query on it fails and the run touches nothing;
//   - else C:\WINDOWS;
// each in its on-disk spelling. The system directory is its SYSTEM32 when
// that is a directory, else its SYSTEM. May throw std::bad_alloc.
const Context &RunContext();

// Whether the prefix of `context` holds Wine's registry files system.reg
// and user.reg (HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER) as regular
// files, not links: drive C is then that Wine prefix's. Asked each time,
// since it is the registry that is read next.
bool HoldsWineRegistry(const Context &context);

} // namespace dosprep::posix
