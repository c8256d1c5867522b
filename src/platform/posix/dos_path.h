// DOS paths on drive C: taken apart, resolved without ever leaving the
// drive, and opened for reading. Private to src/platform/posix. Helpers may
// throw std::bad_alloc; each Win32 entry point turns that into
// ERROR_NOT_ENOUGH_MEMORY.
#pragma once

#include "platform/posix/descriptor.h"
#include "platform/win32_api.h"

#include <string>
#include <string_view>
#include <vector>

#include <sys/stat.h>

namespace dosprep::posix {

// Drive C on the host (found by context.cpp).
struct DriveC {
    std::string directory;  // as configured; empty when nothing is
    std::string winePrefix; // the prefix it was found through, else empty
    FileDescriptor root;    // O_PATH descriptor of the directory, links to it followed
};

// Opens `relative` ('/'-separated, "" for the drive) below drive C with
// open(2) `flags` (no O_CREAT), following links only inside the drive:
// ".." never climbs above it, an absolute link must name a place in the
// drive's own directory. -1 with errno set (ENOENT for a way out).
int OpenBeneath(const DriveC &drive, std::string_view relative, int flags);

// `directory` + "/" + `name`, without doubling a slash; `name` alone when
// `directory` is empty.
std::string JoinHostPath(const std::string &directory, std::string_view name);

// A DOS path taken apart, "." and ".." applied (".." stops at the root).
struct DosPath {
    char drive = 'C'; // upper case
    std::vector<std::string> parts;
    bool trailingSeparator = false; // "C:\x\": x must be a directory
};

// Splits "X:\a\b" ('\' or '/', repeated or not). ERROR_INVALID_NAME for an
// empty or relative path ("C:x") or a character Windows forbids in names.
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

// Resolves a DOS path on drive C: a component names the entry spelt the
// same, else the first (bytewise) spelt the same but for ASCII case, else
// the one whose 8.3 alias it is (on FAT the stored one, elsewhere a
// generated one); with `aliases`, each one's alias is found too. NO_ERROR
// when every directory on the way exists, the last component maybe not
// (exists false, its name as given). Else ERROR_INVALID_NAME,
// ERROR_PATH_NOT_FOUND (another drive, a missing directory or one outside
// the drive, a trailing separator after no directory), ERROR_ACCESS_DENIED.
DWORD ResolveDosPath(std::string_view text, ResolvedPath &out, bool aliases = false);

// The same for a parsed path on `drive`; after a failure, `out.names`
// holds the components found.
DWORD ResolveOnDrive(const DriveC &drive, const DosPath &path, ResolvedPath &out,
                     bool aliases = false);

// "C:\a\b" with each leading component that exists in its on-disk spelling
// and the rest as given; "C:\" for the root.
std::string SpellDosPath(const DriveC &drive, DosPath path);

// Opens a resolved path for reading, following links only inside the
// drive. It must be a regular file (else ERROR_ACCESS_DENIED; a FIFO does
// not hang the open). The blocking descriptor with `info` filled, or -1
// with `error` set (ERROR_FILE_NOT_FOUND for a link out).
int OpenRegularForReading(const ResolvedPath &path, struct stat &info, DWORD &error);

// The same for the file `name` in the DOS directory `directory` on
// `drive`; -1 also when it is missing.
int OpenDosFile(const DriveC &drive, std::string_view directory, const char *name);

// The same for the entry `name` of `directory`, never through a link.
int OpenRegularEntry(int directory, const char *name, struct stat &info, DWORD &error);

// Whether `name` is a valid 8.3 name as it stands: a base of 1-8 and an
// optional extension of 1-3 characters that such a name can hold.
bool IsShortName(std::string_view name);

} // namespace dosprep::posix
