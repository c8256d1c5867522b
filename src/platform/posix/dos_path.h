// DOS paths on a host directory tree, and the plumbing that the Win32
// calls of the POSIX platform layer share. Private to src/platform/posix.
//
// Nothing here catches: helpers may throw std::bad_alloc, and each Win32
// entry point turns that into ERROR_NOT_ENOUGH_MEMORY.
#pragma once

#include "platform/posix/ascii.h"
#include "platform/win32_api.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <sys/stat.h>
#include <sys/types.h>

namespace dosprep::posix {

// Closes a descriptor when it goes, unless released.
class FileDescriptor {
  public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(FileDescriptor &&other) noexcept : fd_(other.Release()) {}
    FileDescriptor &operator=(FileDescriptor &&other) noexcept;
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    ~FileDescriptor();
    int Get() const { return fd_; }
    int Release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_ = -1;
};

// Drive C, as the DRIVE argument or the environment gives it at the time
// of the call (in drive.cpp). An empty variable counts as unset; trailing
// slashes are dropped.
//   - the DRIVE argument (run_record.h): a Wine prefix, taken as
//     $WINEPREFIX is below, when it holds a directory dosdevices or
//     drive_c; else drive C itself;
//   - $DOSPREP_DRIVE_C;
//   - else the Wine prefix $WINEPREFIX, or $HOME/.wine: the directory that
//     its dosdevices/c: leads to, or its drive_c when there is no
//     dosdevices/c: at all.
struct DriveC {
    std::string directory;  // as configured; empty when nothing is
    std::string winePrefix; // the prefix it was found through, else empty
    FileDescriptor root;    // O_PATH descriptor of the directory, links to it followed
};

// Locates drive C and opens its directory. Returns false when no drive is
// configured or its directory cannot be opened (root stays -1).
bool OpenDriveC(DriveC &drive);

// Opens `relative` ('/'-separated, "" for the drive itself) below drive C
// with open(2) `flags` (O_CREAT excluded; O_CLOEXEC is added). Symbolic
// links are followed only while they stay inside the drive: ".." never
// climbs above it, and an absolute link counts only when it names a place
// inside the drive's own directory. Resolution goes from descriptor to
// descriptor (openat2 with RESOLVE_BENEATH, or an O_NOFOLLOW walk where the
// kernel lacks openat2), so a link swapped in meanwhile cannot lead out.
// Returns the descriptor, or -1 with errno set; a path that would leave
// the drive fails with ENOENT, as a missing one does.
int OpenBeneath(const DriveC &drive, std::string_view relative, int flags);

// Opens the directory of the Wine prefix that drive C belongs to: the
// prefix it was found through, or for $DOSPREP_DRIVE_C the directory that
// holds it. That directory must hold the regular files (not links)
// system.reg and user.reg, Wine's HKEY_LOCAL_MACHINE and
// HKEY_CURRENT_USER. Returns an O_PATH descriptor, or -1 when drive C is
// no Wine prefix's.
int OpenWinePrefix(const DriveC &drive);

// True when drive C, as the environment gives it now, is a Wine prefix's
// (see OpenWinePrefix). There, WIN.INI sections that Wine maps to the
// registry are read from the registry, and the Windows directory is
// always C:\windows.
bool DriveCIsWinePrefix();

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
// (found without listing the directory), else the first (in bytewise
// order) spelt the same but for ASCII case, else the entry whose
// generated 8.3 alias it is. Each directory on the way is opened from the
// one before it without following a link; a link is followed with
// OpenBeneath, inside the drive only. With `aliases`, each component's
// alias is found too. Returns NO_ERROR when every directory on the way
// exists; the last component may be missing then (exists false, its name
// kept as given), and when it is a link, only OpenBeneath tells whether
// it leads anywhere. Otherwise ERROR_INVALID_NAME, ERROR_PATH_NOT_FOUND
// (other drive, missing directory, a directory outside the drive, or a
// trailing separator after something that is not a directory) or
// ERROR_ACCESS_DENIED.
DWORD ResolveDosPath(std::string_view text, ResolvedPath &out, bool aliases = false);

// The same for a parsed path on `drive`, whose root must be open.
DWORD ResolveOnDrive(const DriveC &drive, const DosPath &path, ResolvedPath &out,
                     bool aliases = false);

// "C:\a\b" with every leading component that exists on `drive` in its
// on-disk spelling and the rest as given; "C:\" for the root. Never fails.
std::string SpellDosPath(const DriveC &drive, DosPath path);

// `directory` + "/" + `name`, without doubling a slash; `name` alone when
// `directory` is empty.
std::string JoinHostPath(const std::string &directory, std::string_view name);

// The Win32 error for an errno value; `fallback` for those with no closer
// equivalent (EIO, say: a read or a write fault depending on the call).
// Notes `error` as the cause of the failure being reported (NoteCause).
DWORD ErrorFromErrno(int error, DWORD fallback);

// The Win32 convention for string results: copies `value` and a NUL when
// both fit in `size` and returns the length, else returns the size needed
// (NUL included) and writes nothing.
DWORD PutStringResult(std::string_view value, char *buffer, DWORD size);

// Opens a resolved path for reading (O_RDONLY), following links only
// inside the drive. It must be a regular file: anything else fails with
// ERROR_ACCESS_DENIED, and a FIFO cannot hang the open. Returns the
// descriptor, blocking as usual, with `info` filled; or -1 with `error`
// set (ERROR_FILE_NOT_FOUND for a link leading out of the drive).
int OpenRegularForReading(const ResolvedPath &path, struct stat &info, DWORD &error);

// The same for the entry `name` of the directory `directory`, never
// through a symbolic link (ERROR_ACCESS_DENIED).
int OpenRegularEntry(int directory, const char *name, struct stat &info, DWORD &error);

// Clears O_NONBLOCK, set for the open only; false with errno on failure.
bool ClearNonBlocking(int fd);

// read(2), retried when a signal interrupts it: the count read, 0 at the
// end, or -1 with errno set.
ssize_t ReadRetrying(int fd, char *buffer, std::size_t size);

} // namespace dosprep::posix
