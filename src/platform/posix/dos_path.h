// DOS paths on drive C: taken apart, resolved once from the drive's
// descriptor, and opened for reading. Private to src/platform/posix.
//
// Nothing here catches: helpers may throw std::bad_alloc, and each Win32
// entry point turns that into ERROR_NOT_ENOUGH_MEMORY.
#pragma once

#include "platform/posix/descriptor.h"
#include "platform/posix/drive.h"
#include "platform/win32_api.h"

#include <string>
#include <string_view>
#include <vector>

#include <sys/stat.h>

namespace dosprep::posix {

// A DOS path taken apart. `parts` has "." and ".." applied already, and
// ".." stops at the root.
struct DosPath {
    char drive = 'C'; // upper case
    std::vector<std::string> parts;
    bool trailingSeparator = false; // "C:\x\": x must be a directory
};

// Splits "X:\a\b" ('\' or '/', repeated separators allowed). Returns
// NO_ERROR, or ERROR_INVALID_NAME for an empty or relative path ("C:x" is
// relative) or a component with a character Windows forbids in names.
DWORD ParseDosPath(std::string_view text, DosPath &out);

// A DOS path found on drive C.
struct ResolvedPath {
    const DriveC *drive = nullptr;
    FileDescriptor parent; // O_PATH: the directory holding the last component
    std::string relative;  // the whole path below the drive, on-disk spelling, '/'-separated
    std::vector<std::string> names;   // on-disk spelling of each component
    std::vector<std::string> aliases; // the 8.3 alias of each, when asked for
    bool exists = false;              // the last component is an entry of `parent`

    // The last component's on-disk name; "." for the root.
    const char *LastName() const { return names.empty() ? "." : names.back().c_str(); }
};

// Resolves a DOS path on the run's drive C once, component by component
// from the drive's descriptor: a component names the entry spelt the same
// (found without listing the directory, but on a drive on FAT), else the
// first (bytewise) spelt the same but for ASCII case, else the one whose
// 8.3 alias it is: on FAT the alias stored there, elsewhere a generated
// one. Each directory on the way is opened from the one before it without
// following a link; a link is followed with OpenBeneath, inside the drive
// only. With `aliases`, each component's alias is found too (on FAT the
// stored one, in upper case). Returns
// NO_ERROR when every directory on the way exists; the last component may
// be missing then (exists false, its name kept as given), or a link that
// only OpenBeneath tells the target of. Otherwise ERROR_INVALID_NAME,
// ERROR_PATH_NOT_FOUND (other drive, missing directory, a directory
// outside the drive, or a trailing separator after something that is not
// a directory) or ERROR_ACCESS_DENIED.
DWORD ResolveDosPath(std::string_view text, ResolvedPath &out, bool aliases = false);

// The same for a parsed path on `drive` (ERROR_PATH_NOT_FOUND for another
// drive, or when drive C is not open). After a failure, `out.names` holds
// the components found up to it.
DWORD ResolveOnDrive(const DriveC &drive, const DosPath &path, ResolvedPath &out,
                     bool aliases = false);

// "C:\a\b" with every leading component that exists on `drive` in its
// on-disk spelling and the rest as given; "C:\" for the root. Never fails.
std::string SpellDosPath(const DriveC &drive, DosPath path);

// Opens a resolved path for reading (O_RDONLY), following links only
// inside the drive. It must be a regular file: anything else fails with
// ERROR_ACCESS_DENIED, and a FIFO cannot hang the open. Returns the
// descriptor, blocking as usual, with `info` filled; or -1 with `error`
// set (ERROR_FILE_NOT_FOUND for a link leading out of the drive).
int OpenRegularForReading(const ResolvedPath &path, struct stat &info, DWORD &error);

// The same for the entry `name` of the directory `directory`, never
// through a symbolic link (ERROR_ACCESS_DENIED).
int OpenRegularEntry(int directory, const char *name, struct stat &info, DWORD &error);

} // namespace dosprep::posix
