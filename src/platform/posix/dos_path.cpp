#include "platform/posix/dos_path.h"

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

namespace {

thread_local DWORD g_lastError = NO_ERROR;

} // namespace

DWORD WINAPI GetLastError() {
    return g_lastError;
}

void WINAPI SetLastError(DWORD error) {
    g_lastError = error;
}

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

struct DirCloser {
    void operator()(DIR *dir) const { closedir(dir); }
};

} // namespace

char AsciiUpper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (AsciiUpper(a[i]) != AsciiUpper(b[i]))
            return false;
    }
    return true;
}

std::string JoinHostPath(const std::string &directory, std::string_view name) {
    std::string path = directory;
    if (!path.empty() && path.back() != '/')
        path += '/';
    path += name;
    return path;
}

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

int ListDirectory(int directory, std::vector<std::string> &names) {
    names.clear();
    // A descriptor of its own: closedir closes it, and readdir needs one
    // opened for reading.
    int fd = openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    std::unique_ptr<DIR, DirCloser> dir(fdopendir(fd));
    if (!dir) {
        int error = errno;
        close(fd);
        return error;
    }
    for (;;) {
        errno = 0;
        const dirent *entry = readdir(dir.get());
        if (entry == nullptr) {
            if (errno != 0)
                return errno;
            break;
        }
        std::string_view name(entry->d_name);
        if (name != "." && name != "..")
            names.emplace_back(name);
    }
    std::sort(names.begin(), names.end());
    return 0;
}

DWORD DirectoryError(int error) {
    if (error == ENOMEM)
        return ERROR_NOT_ENOUGH_MEMORY;
    if (error == EACCES || error == EPERM)
        return ERROR_ACCESS_DENIED;
    return ERROR_PATH_NOT_FOUND;
}

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

DWORD ResolveDosPath(std::string_view text, ResolvedPath &out) {
    out = ResolvedPath{};
    DosPath path;
    if (DWORD error = ParseDosPath(text, path); error != NO_ERROR)
        return error;
    if (path.drive != 'C' || !OpenDriveC(out.drive))
        return ERROR_PATH_NOT_FOUND;
    FileDescriptor directory(OpenBeneath(out.drive, "", O_PATH | O_DIRECTORY));
    if (directory.Get() < 0)
        return DirectoryError(errno);
    out.exists = true; // the root
    std::vector<std::string> entries;
    for (std::size_t i = 0; i < path.parts.size(); ++i) {
        if (i > 0) {
            directory = FileDescriptor(OpenBeneath(out.drive, out.relative, O_PATH | O_DIRECTORY));
            if (directory.Get() < 0)
                return DirectoryError(errno);
        }
        if (int error = ListDirectory(directory.Get(), entries); error != 0)
            return DirectoryError(error);
        std::size_t found = FindEntry(entries, path.parts[i]);
        if (found == std::string_view::npos && i + 1 < path.parts.size())
            return ERROR_PATH_NOT_FOUND;
        out.names.push_back(found == std::string_view::npos ? path.parts[i] : entries[found]);
        out.relative = JoinHostPath(out.relative, out.names.back());
        out.exists = found != std::string_view::npos;
    }
    out.parent = std::move(directory);
    if (path.trailingSeparator) {
        FileDescriptor target(OpenBeneath(out.drive, out.relative, O_PATH | O_DIRECTORY));
        if (!out.exists || target.Get() < 0)
            return ERROR_PATH_NOT_FOUND;
    }
    return NO_ERROR;
}

std::string SpellDosPath(const DosPath &path) {
    std::string text{path.drive, ':'};
    DriveC drive;
    bool onDisk = path.drive == 'C' && OpenDriveC(drive);
    std::string relative;
    std::vector<std::string> entries;
    for (const std::string &part : path.parts) {
        std::size_t found = std::string_view::npos;
        if (onDisk) {
            FileDescriptor directory(OpenBeneath(drive, relative, O_PATH | O_DIRECTORY));
            if (directory.Get() >= 0 && ListDirectory(directory.Get(), entries) == 0)
                found = FindEntry(entries, part);
        }
        onDisk = found != std::string_view::npos;
        const std::string &name = onDisk ? entries[found] : part;
        relative = JoinHostPath(relative, name);
        text += '\\';
        text += name;
    }
    if (path.parts.empty())
        text += '\\';
    return text;
}

DWORD ErrorFromErrno(int error, DWORD fallback) {
    NoteCause(error);
    switch (error) {
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case ELOOP: // O_NOFOLLOW met a symbolic link
    case ENXIO: // a FIFO without a reader, a device without its driver
    case EROFS:
    case ETXTBSY:
    case EBUSY:
        return ERROR_ACCESS_DENIED;
    case EEXIST:
        return ERROR_FILE_EXISTS;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return ERROR_DISK_FULL;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    default:
        return fallback;
    }
}

FileDescriptor &FileDescriptor::operator=(FileDescriptor &&other) noexcept {
    if (this != &other) {
        if (fd_ >= 0)
            close(fd_);
        fd_ = other.Release();
    }
    return *this;
}

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0)
        close(fd_);
}

ssize_t ReadRetrying(int fd, char *buffer, std::size_t size) {
    for (;;) {
        ssize_t got = read(fd, buffer, size);
        if (got >= 0 || errno != EINTR)
            return got;
    }
}

bool ClearNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    return flags != -1 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != -1;
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
    return TakeRegularFile(OpenBeneath(path.drive, path.relative, kReadFlags), info, error);
}

int OpenRegularEntry(int directory, const char *name, struct stat &info, DWORD &error) {
    return TakeRegularFile(openat(directory, name, kReadFlags | O_NOFOLLOW | O_CLOEXEC), info,
                           error);
}

DWORD PutStringResult(std::string_view value, char *buffer, DWORD size) {
    // Longer than any DWORD can count: report it as not fitting anything.
    if (value.size() >= 0xFFFFFFFFu)
        return 0xFFFFFFFFu;
    auto length = static_cast<DWORD>(value.size());
    if (buffer == nullptr || size <= length)
        return length + 1;
    if (length != 0)
        std::memmove(buffer, value.data(), length);
    buffer[length] = '\0';
    return length;
}

} // namespace dosprep::posix
