#include "platform/posix/dos_path.h"

#include "platform/posix/ascii.h"
#include "platform/posix/context.h"
#include "platform/posix/errors.h"
#include "platform/posix/fat_volume.h"
#include "platform/posix/run_record.h"
#include "platform/posix/short_names.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dosprep::posix {

namespace {

constexpr std::size_t npos = std::string_view::npos;

// Bytes asked of getdents64 at a time: a directory of a few hundred
// entries in one call.
constexpr std::size_t kListChunk = 32 * 1024;

// Read-only, and a FIFO cannot hang the open.
constexpr int kReadFlags = O_RDONLY | O_NOCTTY | O_NONBLOCK;

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

// What Windows refuses in a file name (the separators aside).
bool IsForbiddenInName(char c) {
    auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || std::strchr("<>:\"|?*", c) != nullptr;
}

// The Win32 error for a directory that cannot be opened or listed.
DWORD DirectoryError(int error) {
    if (error == ENOMEM)
        return ERROR_NOT_ENOUGH_MEMORY;
    if (error == EACCES || error == EPERM)
        return ERROR_ACCESS_DENIED;
    return ERROR_PATH_NOT_FOUND;
}

// The entry names of the directory `directory` (any descriptor of it,
// O_PATH too) without "." and "..", sorted bytewise.
DWORD ListDirectory(int directory, std::vector<std::string> &names) {
    names.clear();
    FileDescriptor fd(openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.Get() < 0)
        return DirectoryError(errno);
    auto buffer = std::make_unique<char[]>(kListChunk);
    ssize_t got = 0;
    while ((got = getdents64(fd.Get(), buffer.get(), kListChunk)) > 0) {
        for (ssize_t at = 0; at < got;) {
            const auto *entry = reinterpret_cast<const dirent64 *>(buffer.get() + at);
            std::string_view name(entry->d_name);
            if (name != "." && name != "..")
                names.emplace_back(name);
            at += entry->d_reclen;
        }
    }
    if (got < 0)
        return DirectoryError(errno);
    std::sort(names.begin(), names.end());
    return NO_ERROR;
}

// The index of `name` in `sorted`, or npos.
std::size_t IndexOf(const std::vector<std::string> &sorted, std::string_view name) {
    auto found = std::lower_bound(sorted.begin(), sorted.end(), name);
    bool present = found != sorted.end() && *found == name;
    return present ? static_cast<std::size_t>(found - sorted.begin()) : npos;
}

// The index of the first of `names` spelt as `name` but for ASCII case, or
// npos.
std::size_t IndexIgnoringCase(const std::vector<std::string> &names, std::string_view name) {
    auto found = std::ranges::find_if(
        names, [name](const std::string &entry) { return EqualsIgnoringCase(entry, name); });
    return found != names.end() ? static_cast<std::size_t>(found - names.begin()) : npos;
}

// A directory on the way, listed only once something needs its listing.
struct Directory {
    Directory(int descriptor, int onFat) : fd(descriptor), fat(onFat) {}

    FileDescriptor fd;
    int fat;                             // whether it lies on FAT: 1 or 0; -1 until asked
    std::vector<std::string> entries;    // sorted bytewise
    std::vector<std::string> shortNames; // of each entry, once asked for
    bool listed = false, shortNamesListed = false;

    bool OnFat() {
        if (fat < 0)
            fat = IsOnFat(fd.Get()) ? 1 : 0;
        return fat == 1;
    }

    DWORD List() {
        DWORD error = listed ? NO_ERROR : ListDirectory(fd.Get(), entries);
        listed = error == NO_ERROR;
        return error;
    }

    // The entries with their 8.3 names: on FAT those that the volume
    // stores, where generated ones could name another entry; elsewhere
    // generated.
    DWORD ListShortNames() {
        if (shortNamesListed)
            return NO_ERROR;
        if (OnFat())
            return ListWithStoredNames();
        if (DWORD error = List(); error != NO_ERROR)
            return error;
        shortNames = ShortNames(entries);
        shortNamesListed = true;
        return NO_ERROR;
    }

    DWORD ListWithStoredNames() {
        std::vector<FatEntry> found;
        if (int error = ListFatDirectory(fd.Get(), found); error != 0)
            return DirectoryError(error);
        std::ranges::sort(found, {}, &FatEntry::name);
        entries.clear();
        shortNames.clear();
        for (FatEntry &entry : found) {
            entries.push_back(std::move(entry.name));
            shortNames.push_back(std::move(entry.shortName));
        }
        listed = shortNamesListed = true;
        return NO_ERROR;
    }
};

// The index in the listing of `directory` of the entry that the DOS
// component `name` designates: spelt the same, else the first spelt the
// same but for ASCII case, else the one whose 8.3 name it is; or npos.
DWORD FindEntry(Directory &directory, std::string_view name, std::size_t &index) {
    if (DWORD error = directory.List(); error != NO_ERROR)
        return error;
    index = IndexOf(directory.entries, name);
    if (index == npos)
        index = IndexIgnoringCase(directory.entries, name);
    // Every generated alias has a tilde: skip the work for other names.
    if (index != npos || (name.find('~') == npos && !directory.OnFat()))
        return NO_ERROR;
    if (DWORD error = directory.ListShortNames(); error != NO_ERROR)
        return error;
    index = IndexIgnoringCase(directory.shortNames, name);
    return NO_ERROR;
}

// Whether `directory` has an entry that the component `name` designates;
// `name` becomes its on-disk name. An entry spelt as `name` needs no
// listing, but on FAT, where the kernel finds an entry by any case of its
// name and by its 8.3 name, only the listing tells the entry's own.
DWORD LookUp(Directory &directory, std::string &name, bool &found) {
    struct stat info {};
    found = fstatat(directory.fd.Get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
    if (found && !directory.OnFat())
        return NO_ERROR;
    std::size_t index = npos;
    if (DWORD error = FindEntry(directory, name, index); error != NO_ERROR)
        return error;
    found = found || index != npos;
    if (index != npos)
        name = directory.entries[index];
    return NO_ERROR;
}

// The 8.3 alias that the entry `name` (its on-disk name) of `directory`
// is known by; on FAT the stored one, in upper case as Windows 9x shows
// it.
DWORD AliasOf(Directory &directory, const std::string &name, std::string &alias) {
    if (!directory.OnFat() && IsShortName(name)) {
        alias = name;
        return NO_ERROR;
    }
    if (DWORD error = directory.ListShortNames(); error != NO_ERROR)
        return error;
    std::size_t found = IndexOf(directory.entries, name);
    if (found == npos)
        return ERROR_FILE_NOT_FOUND; // removed meanwhile
    alias = directory.shortNames[found];
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

// Whether `relative` leads somewhere inside the drive, following links
// there; with O_DIRECTORY in `flags`, to a directory.
bool LeadsInside(const DriveC &drive, const std::string &relative, int flags) {
    return FileDescriptor(OpenBeneath(drive, relative, O_PATH | flags)).Get() >= 0;
}

// Takes over a descriptor opened with kReadFlags: it must be a regular
// file, and blocks from now on.
int TakeRegularFile(int opened, struct stat &info, DWORD &error) {
    FileDescriptor fd(opened);
    bool known = fd.Get() >= 0 && fstat(fd.Get(), &info) == 0;
    if (known && S_ISREG(info.st_mode) && ClearNonBlocking(fd.Get()))
        return fd.Release();
    bool notRegular = known && !S_ISREG(info.st_mode);
    error = notRegular ? ERROR_ACCESS_DENIED : ErrorFromErrno(errno, ERROR_ACCESS_DENIED);
    return -1;
}

DWORD ShortPathName(LPCSTR longPath, LPSTR shortPath, DWORD size) {
    ResolvedPath resolved;
    DWORD error =
        longPath != nullptr ? ResolveDosPath(longPath, resolved, true) : ERROR_INVALID_PARAMETER;
    // The last component may be a link: it must lead inside the drive.
    if (error == NO_ERROR && !resolved.exists)
        error = ERROR_FILE_NOT_FOUND;
    else if (error == NO_ERROR && !LeadsInside(*resolved.drive, resolved.relative, 0))
        error = ErrorFromErrno(errno, ERROR_FILE_NOT_FOUND);
    if (error != NO_ERROR) {
        SetLastError(error);
        return 0;
    }
    // Built whole before anything is written: the buffers may overlap.
    std::string text = "C:";
    for (const std::string &alias : resolved.aliases)
        text += "\\" + alias;
    if (resolved.names.empty() || IsSeparator(std::string_view(longPath).back()))
        text += '\\';
    return PutStringResult(text, shortPath, size);
}

} // namespace

DWORD ParseDosPath(std::string_view text, DosPath &out) {
    out = DosPath{};
    if (text.size() < 3 || text[1] != ':' || !IsSeparator(text[2]))
        return ERROR_INVALID_NAME;
    char drive = AsciiUpper(text[0]);
    if (drive < 'A' || drive > 'Z')
        return ERROR_INVALID_NAME;
    out.drive = drive;
    for (std::size_t position = 2; position < text.size();) {
        while (position < text.size() && IsSeparator(text[position]))
            ++position;
        std::size_t end = std::min(text.find_first_of("\\/", position), text.size());
        std::string_view part = text.substr(position, end - position);
        position = end;
        if (part == ".." && !out.parts.empty())
            out.parts.pop_back();
        if (part.empty() || part == "." || part == "..")
            continue;
        if (std::ranges::any_of(part, IsForbiddenInName))
            return ERROR_INVALID_NAME;
        out.parts.emplace_back(part);
    }
    out.trailingSeparator = !out.parts.empty() && IsSeparator(text.back());
    return NO_ERROR;
}

DWORD ResolveOnDrive(const DriveC &drive, const DosPath &path, ResolvedPath &out, bool aliases) {
    out = ResolvedPath{};
    out.drive = &drive;
    if (path.drive != 'C' || drive.root.Get() < 0)
        return ERROR_PATH_NOT_FOUND;
    // The drive's file system was asked once, when it was opened. Below a
    // drive elsewhere than on FAT no directory is asked: a FAT volume
    // mounted inside such a tree gets generated aliases.
    Directory directory(fcntl(drive.root.Get(), F_DUPFD_CLOEXEC, 0), drive.onFat ? 1 : 0);
    if (directory.fd.Get() < 0)
        return DirectoryError(errno);
    out.exists = true; // the root
    for (const std::string &part : path.parts) {
        if (!out.exists)
            return ERROR_PATH_NOT_FOUND;
        if (!out.names.empty()) {
            Directory next(OpenStep(drive, directory.fd.Get(), out.names.back(), out.relative),
                           directory.fat == 0 ? 0 : -1);
            if (next.fd.Get() < 0)
                return DirectoryError(errno);
            directory = std::move(next);
        }
        std::string name = part;
        if (DWORD error = LookUp(directory, name, out.exists); error != NO_ERROR)
            return error;
        if (out.exists && aliases) {
            if (DWORD error = AliasOf(directory, name, out.aliases.emplace_back()); error)
                return error;
        }
        out.names.push_back(name);
        out.relative = JoinHostPath(out.relative, name);
    }
    out.parent = std::move(directory.fd);
    if (path.trailingSeparator && !(out.exists && LeadsInside(drive, out.relative, O_DIRECTORY)))
        return ERROR_PATH_NOT_FOUND;
    return NO_ERROR;
}

DWORD ResolveDosPath(std::string_view text, ResolvedPath &out, bool aliases) {
    DosPath path;
    if (DWORD error = ParseDosPath(text, path); error != NO_ERROR)
        return error;
    return ResolveOnDrive(RunContext().drive, path, out, aliases);
}

std::string SpellDosPath(const DriveC &drive, DosPath path) {
    ResolvedPath walked;
    path.trailingSeparator = false;
    ResolveOnDrive(drive, path, walked);
    std::string text{path.drive, ':'};
    for (std::size_t i = 0; i < path.parts.size(); ++i)
        text += '\\' + (i < walked.names.size() ? walked.names[i] : path.parts[i]);
    return path.parts.empty() ? text + '\\' : text;
}

int OpenRegularForReading(const ResolvedPath &path, struct stat &info, DWORD &error) {
    return TakeRegularFile(OpenBeneath(*path.drive, path.relative, kReadFlags), info, error);
}

int OpenRegularEntry(int directory, const char *name, struct stat &info, DWORD &error) {
    return TakeRegularFile(openat(directory, name, kReadFlags | O_NOFOLLOW | O_CLOEXEC), info,
                           error);
}

} // namespace dosprep::posix

using namespace dosprep::posix;

// Each query is recorded: the run ends on a failed one when the Windows or
// the system directory is missing, and the Windows directory's short form
// names the directory of the DOSSTART.BAT edit's files.
DWORD WINAPI GetShortPathNameA(LPCSTR longPath, LPSTR shortPath, DWORD size) {
    BeginCall();
    DWORD length = 0;
    try {
        length = ShortPathName(longPath, shortPath, size);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    RecordShortPathQuery(longPath != nullptr ? longPath : "", shortPath, length, size);
    return length;
}
