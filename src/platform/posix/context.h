// What a run finds once and keeps: drive C, the Wine prefix it belongs
// to, and the Windows and system directories. Private to
// src/platform/posix.
#pragma once

#include "platform/posix/dos_path.h"

#include <string>

namespace dosprep::posix {

struct Context {
    DriveC drive;                 // root -1: there is no drive C
    int driveError = 0;           // errno of opening drive C, when that failed
    FileDescriptor prefix;        // O_PATH: the Wine prefix, or the directory holding drive C
    std::string windowsDirectory; // as GetWindowsDirectoryA gives it
    std::string systemDirectory;  // as GetSystemDirectoryA gives it
};

// The run's context, found on the first call and kept for the process.
// Drive C: the DRIVE argument (run_record.h), taken as a Wine prefix when
// it holds dosdevices/ or drive_c/; else $DOSPREP_DRIVE_C; else where the
// dosdevices/c: of the prefix $WINEPREFIX or $HOME/.wine leads, or its
// drive_c without that link. The Windows directory, in its on-disk
// spelling: $DOSPREP_WINDIR when it is an absolute DOS path; C:\windows on
// a Wine prefix's drive C; else WinDir= in [Paths] of C:\MSDOS.SYS, where
// Windows 9x records it (kept as it is when it is no DOS path, so that
// every query on it fails); else C:\WINDOWS. The system directory: its
// SYSTEM32 when that is a directory, else its SYSTEM. Empty variables
// count as unset. May throw std::bad_alloc.
const Context &RunContext();

// Whether the prefix holds Wine's registry files system.reg and user.reg
// as regular files, not links: drive C is then that Wine prefix's.
bool HoldsWineRegistry(const Context &context);

} // namespace dosprep::posix
