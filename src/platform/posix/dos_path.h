// DOS paths on a host directory tree, and the plumbing that the Win32
// calls of the POSIX platform layer share. Private to src/platform/posix.
//
// Nothing here catches: helpers may throw std::bad_alloc, and each Win32
// entry point turns that into ERROR_NOT_ENOUGH_MEMORY.
#pragma once

#include "platform/win32_api.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <sys/stat.h>

namespace dosprep::posix {

// The host directory standing for drive C:, read from the environment at
// each call: $DOSPREP_DRIVE_C, else $WINEPREFIX/drive_c, else
// $HOME/.wine/drive_c (an empty variable counts as unset). Trailing
// slashes are dropped. Empty when none of them is set.
std::string DriveCDirectory();

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
    std::string root;               // DriveCDirectory()
    std::string host;               // host path of the whole path
    std::string parent;             // host directory holding the last component
    std::vector<std::string> names; // on-disk spelling of each component
    bool exists = false;            // the last component exists
};

// Resolves a DOS path component by component under drive C: a component
// names the entry spelt the same, else the first (in bytewise order)
// spelt the same but for ASCII case, else the entry whose generated 8.3
// alias it is. Returns NO_ERROR when every directory on the way exists;
// the last component may be missing then (exists false, its name kept as
// given). Otherwise ERROR_INVALID_NAME, ERROR_PATH_NOT_FOUND (other drive,
// missing directory, or a trailing separator after something that is not
// a directory) or ERROR_ACCESS_DENIED.
DWORD ResolveDosPath(std::string_view text, ResolvedPath &out);

// "C:\a\b" with every leading component that exists in its on-disk
// spelling and the rest as given; "C:\" for the root. Never fails.
std::string SpellDosPath(const DosPath &path);

// The Windows directory as GetWindowsDirectoryA gives it (in dirs.cpp).
std::string WindowsDirectory();

// The entry names of a host directory without "." and "..", sorted
// bytewise. Returns 0, or the errno value when it cannot be read.
int ListDirectory(const std::string &directory, std::vector<std::string> &names);

// The index in `sorted` (a directory listing as ListDirectory gives it) of
// the entry that the DOS component `name` designates, or npos.
std::size_t FindEntry(const std::vector<std::string> &sorted, std::string_view name);

// `directory` + "/" + `name`, without doubling a slash.
std::string JoinHostPath(const std::string &directory, std::string_view name);

// The Win32 error for an errno value; `fallback` for those with no closer
// equivalent (EIO, say: a read or a write fault depending on the call).
DWORD ErrorFromErrno(int error, DWORD fallback);

// The Win32 convention for string results: copies `value` and a NUL when
// both fit in `size` and returns the length, else returns the size needed
// (NUL included) and writes nothing.
DWORD PutStringResult(std::string_view value, char *buffer, DWORD size);

// Closes a descriptor when it goes, unless released.
class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
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
    int fd_;
};

// Opens a host file for reading (O_RDONLY | extraFlags). It must be a
// regular file: anything else fails with ERROR_ACCESS_DENIED, and a FIFO
// cannot hang the open. Returns the descriptor, blocking as usual, with
// `info` filled; or -1 with `error` set.
int OpenRegularForReading(const std::string &host, int extraFlags, struct stat &info, DWORD &error);

// Clears O_NONBLOCK, set for the open only; false with errno on failure.
bool ClearNonBlocking(int fd);

char AsciiUpper(char c);
bool EqualsIgnoringCase(std::string_view a, std::string_view b);

} // namespace dosprep::posix
