#include "platform/posix/dos_path.h"

#include "platform/posix/ascii.h"
#include "platform/posix/context.h"
#include "platform/posix/errors.h"
#include "platform/posix/run_record.h"
#include "platform/posix/short_names.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dosprep::posix {

namespace {

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

// What Windows refuses in a file name (the separators aside).
bool IsForbiddenInName(char c) {
    auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || std::strchr("<>:\"|?*", c) != nullptr;
}

// Bytes asked of getdents64 at a time: a directory of a few hundred
// entries in one call.
constexpr std::size_t kListChunk = 32 * 1024;

} // namespace

DWORD ParseDosPath(std::string_view text, DosPath &out) {
    out = DosPath{};
    if (text.size() < 3 || text[1] != ':' || !IsSeparator(text[2]))
        return ERROR_INVALID_NAME;
    char drive = AsciiUpper(text[0]);
    if (drive < 'A' || drive > 'Z')
        return ERROR_INVALID_NAME;
    out.drive = drive;
    std::size_t position = 2;
    while (position < text.size()) {
        while (position < text.size() && IsSeparator(text[position]))
            ++position;
        std::size_t end = position;
        while (end < text.size() && !IsSeparator(text[end]))
            ++end;
        std::string_view part = text.substr(position, end - position);
        position = end;
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            if (!out.parts.empty())
                out.parts.pop_back();
            continue;
        }
        if (std::any_of(part.begin(), part.end(), IsForbiddenInName))
            return ERROR_INVALID_NAME;
        out.parts.emplace_back(part);
    }
    out.trailingSeparator = !out.parts.empty() && IsSeparator(text.back());
    return NO_ERROR;
}

namespace {

// The entry names of the directory `directory` (any descriptor of it,
// O_PATH too) without "." and "..", sorted bytewise. Returns 0, or the
// errno value when it cannot be read.
int ListDirectory(int directory, std::vector<std::string> &names) {
    names.clear();
    FileDescriptor fd(openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.Get() < 0)
        return errno;
    auto buffer = std::make_unique<char[]>(kListChunk);
    for (;;) {
        ssize_t got = getdents64(fd.Get(), buffer.get(), kListChunk);
        if (got < 0)
            return errno;
        if (got == 0)
            break;
        for (ssize_t at = 0; at < got;) {
            const auto *entry = reinterpret_cast<const dirent64 *>(buffer.get() + at);
            std::string_view name(entry->d_name);
            if (name != "." && name != "..")
                names.emplace_back(name);
            at += entry->d_reclen;
        }
    }
    std::sort(names.begin(), names.end());
    return 0;
}

// The Win32 error for a directory that cannot be opened or listed.
DWORD DirectoryError(int error) {
    if (error == ENOMEM)
        return ERROR_NOT_ENOUGH_MEMORY;
    if (error == EACCES || error == EPERM)
        return ERROR_ACCESS_DENIED;
    return ERROR_PATH_NOT_FOUND;
}

// The index in `sorted` (a directory listing) of the entry that the DOS
// component `name` designates: spelt the same, else the first spelt the
// same but for ASCII case, else the one whose generated alias it is; or
// npos.
std::size_t FindEntry(const std::vector<std::string> &sorted, std::string_view name) {
    auto exact = std::lower_bound(sorted.begin(), sorted.end(), name);
    if (exact != sorted.end() && *exact == name)
        return static_cast<std::size_t>(exact - sorted.begin());
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        if (EqualsIgnoringCase(sorted[i], name))
            return i;
    }
    // Every generated alias has a tilde; skip the work for other names.
    if (name.find('~') == std::string_view::npos)
        return std::string_view::npos;
    std::vector<std::string> aliases = ShortNames(sorted);
    for (std::size_t i = 0; i < aliases.size(); ++i) {
        if (EqualsIgnoringCase(aliases[i], name))
            return i;
    }
    return std::string_view::npos;
}

// A directory on the way, listed only once something needs its listing.
struct Directory {
    explicit Directory(int descriptor) : fd(descriptor) {}

    FileDescriptor fd;
    std::vector<std::string> entries;
    bool listed = false;

    DWORD List() {
        if (listed)
            return NO_ERROR;
        if (int error = ListDirectory(fd.Get(), entries); error != 0)
            return DirectoryError(error);
        listed = true;
        return NO_ERROR;
    }
};

// The on-disk name of the entry of `directory` that `part` designates, or
// "" when there is none. An entry spelt as `part` needs no listing.
DWORD LookUp(Directory &directory, const std::string &part, std::string &name) {
    struct stat info {};
    name.clear();
    if (fstatat(directory.fd.Get(), part.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
        name = part;
        return NO_ERROR;
    }
    if (DWORD error = directory.List(); error != NO_ERROR)
        return error;
    std::size_t found = FindEntry(directory.entries, part);
    if (found != std::string_view::npos)
        name = directory.entries[found];
    return NO_ERROR;
}

// The 8.3 alias that the entry `name` of `directory` is known by.
DWORD AliasOf(Directory &directory, const std::string &name, std::string &alias) {
    if (IsShortName(name)) {
        alias = name;
        return NO_ERROR;
    }
    if (DWORD error = directory.List(); error != NO_ERROR)
        return error;
    const std::vector<std::string> &entries = directory.entries;
    auto found = std::lower_bound(entries.begin(), entries.end(), name);
    if (found == entries.end() || *found != name)
        return ERROR_FILE_NOT_FOUND; // removed meanwhile
    alias = ShortNames(entries)[static_cast<std::size_t>(found - entries.begin())];
    return NO_ERROR;
}

// Opens the directory `name` of `parent`, which lies at `relative` below
// the drive: from `parent` when it is no link, so nothing can lead out;
// a link is followed from the drive's root, inside the drive only.
int OpenStep(const DriveC &drive, int parent, const std::string &name,
             const std::string &relative) {
    int fd = openat(parent, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ENOTDIR)
        fd = OpenBeneath(drive, relative, O_PATH | O_DIRECTORY);
    return fd;
}

} // namespace

DWORD ResolveOnDrive(const DriveC &drive, const DosPath &path, ResolvedPath &out, bool aliases) {
    out = ResolvedPath{};
    out.drive = &drive;
    Directory directory(fcntl(drive.root.Get(), F_DUPFD_CLOEXEC, 0));
    if (directory.fd.Get() < 0)
        return DirectoryError(errno);
    out.exists = true; // the root
    for (const std::string &part : path.parts) {
        if (!out.exists)
            return ERROR_PATH_NOT_FOUND;
        if (!out.names.empty()) {
            Directory next(OpenStep(drive, directory.fd.Get(), out.names.back(), out.relative));
            if (next.fd.Get() < 0)
                return DirectoryError(errno);
            directory = std::move(next);
        }
        std::string name;
        if (DWORD error = LookUp(directory, part, name); error != NO_ERROR)
            return error;
        out.exists = !name.empty();
        if (!out.exists) {
            name = part;
        } else if (aliases) {
            if (DWORD error = AliasOf(directory, name, out.aliases.emplace_back()); error)
                return error;
        }
        out.names.push_back(name);
        out.relative = JoinHostPath(out.relative, name);
    }
    out.parent = std::move(directory.fd);
    if (path.trailingSeparator) {
        FileDescriptor target(OpenBeneath(drive, out.relative, O_PATH | O_DIRECTORY));
        if (!out.exists || target.Get() < 0)
            return ERROR_PATH_NOT_FOUND;
    }
    return NO_ERROR;
}

DWORD ResolveDosPath(std::string_view text, ResolvedPath &out, bool aliases) {
    out = ResolvedPath{};
    DosPath path;
    if (DWORD error = ParseDosPath(text, path); error != NO_ERROR)
        return error;
    const DriveC &drive = RunContext().drive;
    if (path.drive != 'C' || drive.root.Get() < 0)
        return ERROR_PATH_NOT_FOUND;
    return ResolveOnDrive(drive, path, out, aliases);
}

std::string SpellDosPath(const DriveC &drive, DosPath path) {
    ResolvedPath walked;
    path.trailingSeparator = false;
    if (path.drive == 'C' && drive.root.Get() >= 0)
        ResolveOnDrive(drive, path, walked);
    std::string text{path.drive, ':'};
    for (std::size_t i = 0; i < path.parts.size(); ++i) {
        text += '\\';
        text += i < walked.names.size() ? walked.names[i] : path.parts[i];
    }
    if (path.parts.empty())
        text += '\\';
    return text;
}

namespace {

// Takes over a descriptor opened O_NONBLOCK for reading: it must be a
// regular file, and blocks from now on.
int TakeRegularFile(int opened, struct stat &info, DWORD &error) {
    FileDescriptor fd(opened);
    if (fd.Get() < 0 || fstat(fd.Get(), &info) != 0) {
        error = ErrorFromErrno(errno, ERROR_ACCESS_DENIED);
        return -1;
    }
    if (!S_ISREG(info.st_mode)) {
        error = ERROR_ACCESS_DENIED;
        return -1;
    }
    if (!ClearNonBlocking(fd.Get())) {
        error = ErrorFromErrno(errno, ERROR_ACCESS_DENIED);
        return -1;
    }
    return fd.Release();
}

// Read-only, and a FIFO cannot hang the open.
constexpr int kReadFlags = O_RDONLY | O_NOCTTY | O_NONBLOCK;

} // namespace

int OpenRegularForReading(const ResolvedPath &path, struct stat &info, DWORD &error) {
    return TakeRegularFile(OpenBeneath(*path.drive, path.relative, kReadFlags), info, error);
}

int OpenRegularEntry(int directory, const char *name, struct stat &info, DWORD &error) {
    return TakeRegularFile(openat(directory, name, kReadFlags | O_NOFOLLOW | O_CLOEXEC), info,
                           error);
}

namespace {

// Whether the whole resolved path leads somewhere inside the drive: its
// last component may be a link.
DWORD CheckLeadsInside(const ResolvedPath &resolved) {
    if (!resolved.exists)
        return ERROR_FILE_NOT_FOUND;
    FileDescriptor target(OpenBeneath(*resolved.drive, resolved.relative, O_PATH));
    return target.Get() >= 0 ? NO_ERROR : ErrorFromErrno(errno, ERROR_FILE_NOT_FOUND);
}

} // namespace

} // namespace dosprep::posix

using namespace dosprep::posix;

namespace {

DWORD ShortPathName(LPCSTR longPath, LPSTR shortPath, DWORD size) {
    try {
        if (longPath == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        ResolvedPath resolved;
        DWORD error = ResolveDosPath(longPath, resolved, true);
        if (error == NO_ERROR)
            error = CheckLeadsInside(resolved);
        if (error != NO_ERROR) {
            SetLastError(error);
            return 0;
        }
        // Built whole before anything is written: the buffers may overlap.
        std::string text = "C:";
        for (const std::string &alias : resolved.aliases)
            text += "\\" + alias;
        std::string_view input(longPath);
        if (resolved.names.empty() || input.back() == '\\' || input.back() == '/')
            text += '\\';
        return PutStringResult(text, shortPath, size);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
}

} // namespace

// A failed query is recorded: the run ends on it when the Windows or the
// system directory is missing.
DWORD WINAPI GetShortPathNameA(LPCSTR longPath, LPSTR shortPath, DWORD size) {
    BeginCall();
    DWORD length = ShortPathName(longPath, shortPath, size);
    if (length == 0)
        RecordFailure("GetShortPathNameA", longPath != nullptr ? longPath : "");
    return length;
}
