#include "platform/posix/dos_path.h"

#include "platform/posix/ascii.h"
#include "platform/posix/context.h"
#include "platform/posix/errors.h"
#include "platform/posix/fat_volume.h"
#include "platform/posix/run_record.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <set>

#include <dirent.h>

namespace dosprep::posix {

namespace {

constexpr std::size_t npos = std::string_view::npos;

// Read-only, and a FIFO cannot hang the open.
constexpr int kReadFlags = O_RDONLY | O_NOCTTY | O_NONBLOCK;

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

// ASCII letters and digits, bytes from 0x80, and some punctuation.
bool IsShortChar(char c) {
    constexpr std::string_view kPunctuation = "!#$%&'()-@^_`{}~";
    char upper = AsciiUpper(c);
    return static_cast<unsigned char>(c) >= 0x80 || (upper >= 'A' && upper <= 'Z') ||
           (c >= '0' && c <= '9') || kPunctuation.find(c) != npos;
}

// The 8.3 alias Windows generates for a long name: BASE~N[.EXT], BASE the
// short-name characters before its last dot (leading dots skipped; "_"
// when none), cut so that BASE~N has at most 8; EXT at most 3 after it.
std::string AliasFor(std::string_view name, unsigned long number) {
    auto AliasCharacters = [](std::string_view text) {
        std::string kept = UpperCased(text);
        std::erase_if(kept, [](char c) { return !IsShortChar(c); });
        return kept;
    };
    name.remove_prefix(std::min(name.find_first_not_of('.'), name.size()));
    std::size_t dot = name.rfind('.');
    std::string base = AliasCharacters(name.substr(0, dot));
    std::string ext = dot == npos ? "" : AliasCharacters(name.substr(dot + 1)).substr(0, 3);
    std::string tail = "~" + std::to_string(number);
    std::size_t keep = tail.size() < 8 ? std::min<std::size_t>(6, 8 - tail.size()) : 0;
    std::string alias = (base.empty() ? "_" : base).substr(0, keep) + tail;
    return ext.empty() ? alias : alias + "." + ext;
}

// Gives each entry of a directory sorted by name its 8.3 name: a valid one
// stands for itself; any other gets the alias with the smallest N that no
// earlier entry got and no valid 8.3 entry has (ASCII case ignored).
void GenerateShortNames(std::vector<DirectoryEntry> &entries) {
    std::set<std::string> taken; // upper case
    for (DirectoryEntry &entry : entries) {
        entry.shortName = IsShortName(entry.name) ? entry.name : "";
        taken.insert(UpperCased(entry.shortName));
    }
    // Every number below the last one given for the same alias is taken:
    // start there, so that a crowded directory stays linear.
    std::map<std::string, unsigned long> nextNumber;
    for (DirectoryEntry &entry : entries) {
        if (!entry.shortName.empty())
            continue;
        unsigned long &number = nextNumber[AliasFor(entry.name, 0)];
        for (number = std::max(number, 1UL); !taken.insert(AliasFor(entry.name, number)).second;)
            ++number;
        entry.shortName = AliasFor(entry.name, number);
    }
}

DWORD DirectoryError(int error) {
    if (error == ENOMEM)
        return ERROR_NOT_ENOUGH_MEMORY;
    return error == EACCES || error == EPERM ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND;
}

// The entries of the directory open for reading as `fd` but "." and "..":
// 0 or errno.
int ListDirectory(int fd, std::vector<DirectoryEntry> &entries) {
    entries.clear();
    constexpr std::size_t kChunk = 32 * 1024; // a few hundred entries a call
    auto buffer = std::make_unique<char[]>(kChunk);
    ssize_t got = 0;
    while ((got = getdents64(fd, buffer.get(), kChunk)) > 0) {
        for (ssize_t at = 0; at < got;) {
            const auto *entry = reinterpret_cast<const dirent64 *>(buffer.get() + at);
            std::string_view name(entry->d_name);
            if (name != "." && name != "..")
                entries.push_back({std::string(name), ""});
            at += entry->d_reclen;
        }
    }
    return got < 0 ? errno : 0;
}

// The entry whose `key` is `name`, else the first whose `key` is spelt the
// same but for ASCII case; nullptr when there is none.
const DirectoryEntry *FindEntry(const std::vector<DirectoryEntry> &entries, std::string_view name,
                                std::string DirectoryEntry::*key) {
    auto found = std::ranges::find(entries, name, key);
    if (found == entries.end())
        found = std::ranges::find_if(entries, [&](const DirectoryEntry &entry) {
            return EqualsIgnoringCase(entry.*key, name);
        });
    return found != entries.end() ? &*found : nullptr;
}

// A directory on the way, listed only once something needs its listing.
struct Directory {
    FileDescriptor fd;
    bool fat;                              // whether it lies on FAT
    std::vector<DirectoryEntry> entries{}; // sorted by name
    bool listed = false, shortNamesKnown = false;

    // With `withShortNames`, the 8.3 name of each entry too: on FAT the
    // stored one, where a generated one could name another entry.
    DWORD List(bool withShortNames) {
        bool stored = withShortNames && fat && !shortNamesKnown;
        if (!listed || stored) {
            // Each listing reads from the first entry on a descriptor of its own.
            FileDescriptor reading(openat(fd.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            int error = reading.Get() < 0 ? errno
                        : stored          ? ListFatDirectory(reading.Get(), entries)
                                          : ListDirectory(reading.Get(), entries);
            if (error != 0)
                return DirectoryError(error);
            std::ranges::sort(entries, {}, &DirectoryEntry::name);
            listed = true;
        }
        if (withShortNames && !shortNamesKnown && !fat)
            GenerateShortNames(entries);
        shortNamesKnown = shortNamesKnown || withShortNames;
        return NO_ERROR;
    }
};

// Whether `directory` has the entry that the component `name` designates;
// `name` becomes its on-disk name. On FAT, where the kernel finds an entry
// by any case of its name and by its 8.3 name, only the listing tells it.
DWORD LookUp(Directory &directory, std::string &name, bool &found) {
    struct stat info {};
    found = fstatat(directory.fd.Get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
    if (found && !directory.fat)
        return NO_ERROR;
    if (DWORD error = directory.List(false); error != NO_ERROR)
        return error;
    const DirectoryEntry *entry = FindEntry(directory.entries, name, &DirectoryEntry::name);
    // Every generated alias has a tilde: skip the work for other names.
    if (entry == nullptr && (name.find('~') != npos || directory.fat)) {
        if (DWORD error = directory.List(true); error != NO_ERROR)
            return error;
        entry = FindEntry(directory.entries, name, &DirectoryEntry::shortName);
    }
    found = found || entry != nullptr;
    if (entry != nullptr)
        name = entry->name;
    return NO_ERROR;
}

// The 8.3 alias of the entry `name` (its on-disk name) of `directory`; on
// FAT the stored one, in upper case as Windows 9x shows it.
DWORD AliasOf(Directory &directory, const std::string &name, std::string &alias) {
    if (!directory.fat && IsShortName(name)) {
        alias = name;
        return NO_ERROR;
    }
    if (DWORD error = directory.List(true); error != NO_ERROR)
        return error;
    auto found = std::ranges::find(directory.entries, name, &DirectoryEntry::name);
    if (found == directory.entries.end())
        return ERROR_FILE_NOT_FOUND; // removed meanwhile
    alias = found->shortName;
    return NO_ERROR;
}

// Whether `relative` leads somewhere inside the drive (with O_DIRECTORY
// in `flags`, to a directory).
bool LeadsInside(const DriveC &drive, const std::string &relative, int flags) {
    return FileDescriptor(OpenBeneath(drive, relative, O_PATH | flags)).Get() >= 0;
}

// A descriptor opened with kReadFlags, kept when it is a regular file,
// blocking from now on.
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

bool IsShortName(std::string_view name) {
    std::size_t dot = name.find('.');
    std::string_view base = name.substr(0, dot);
    std::string_view ext = dot == npos ? "" : name.substr(dot + 1);
    bool sizesFit =
        !base.empty() && base.size() <= 8 && (dot == npos || (!ext.empty() && ext.size() <= 3));
    return sizesFit && std::ranges::all_of(base, IsShortChar) &&
           std::ranges::all_of(ext, IsShortChar);
}

DWORD ParseDosPath(std::string_view text, DosPath &out) {
    out = DosPath{};
    if (text.size() < 3 || text[1] != ':' || !IsSeparator(text[2]))
        return ERROR_INVALID_NAME;
    out.drive = AsciiUpper(text[0]);
    if (out.drive < 'A' || out.drive > 'Z')
        return ERROR_INVALID_NAME;
    for (std::string_view rest = text.substr(3); !rest.empty();) {
        std::size_t end = std::min(rest.find_first_of("\\/"), rest.size());
        std::string_view part = rest.substr(0, end);
        rest.remove_prefix(std::min(end + 1, rest.size()));
        if (part == ".." && !out.parts.empty())
            out.parts.pop_back();
        if (part.empty() || part == "." || part == "..")
            continue;
        // What Windows refuses in a name.
        if (std::ranges::any_of(part, [](char c) {
                return static_cast<unsigned char>(c) < 0x20 || std::strchr("<>:\"|?*", c);
            }))
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
    // Below a drive not on FAT no directory is asked: a FAT volume mounted
    // inside such a tree gets generated aliases.
    Directory directory{FileDescriptor(fcntl(drive.root.Get(), F_DUPFD_CLOEXEC, 0)),
                        IsOnFat(drive.root.Get())};
    if (directory.fd.Get() < 0)
        return DirectoryError(errno);
    out.exists = true; // the root
    for (const std::string &part : path.parts) {
        if (!out.exists)
            return ERROR_PATH_NOT_FOUND;
        if (!out.names.empty()) {
            // A link on the way is followed inside the drive only.
            const char *name = out.names.back().c_str();
            int fd =
                openat(directory.fd.Get(), name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd < 0 && errno == ENOTDIR)
                fd = OpenBeneath(drive, out.relative, O_PATH | O_DIRECTORY);
            if (fd < 0)
                return DirectoryError(errno);
            directory = Directory{FileDescriptor(fd), directory.fat && IsOnFat(fd)};
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

int OpenDosFile(const DriveC &drive, std::string_view directory, const char *name) {
    DosPath path;
    ResolvedPath resolved;
    struct stat info {};
    DWORD error = ParseDosPath(directory, path);
    if (error != NO_ERROR)
        return -1;
    path.parts.emplace_back(name);
    if (ResolveOnDrive(drive, path, resolved) != NO_ERROR || !resolved.exists)
        return -1;
    return OpenRegularForReading(resolved, info, error);
}

int OpenRegularEntry(int directory, const char *name, struct stat &info, DWORD &error) {
    return TakeRegularFile(openat(directory, name, kReadFlags | O_NOFOLLOW | O_CLOEXEC), info,
                           error);
}

} // namespace dosprep::posix

using namespace dosprep::posix;

// Each query is recorded: the run ends on a failed one when the Windows or
// the system directory is missing.
DWORD WINAPI GetShortPathNameA(LPCSTR longPath, LPSTR shortPath, DWORD size) {
    BeginCall();
    DWORD length = 0;
    try {
        length = ShortPathName(longPath, shortPath, size);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    RecordShortPathQuery(longPath != nullptr ? longPath : "", length, size);
    return length;
}
