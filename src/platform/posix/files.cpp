// File handles and whole-file operations on DOS paths. Whatever they
// open, create, rename or remove lies inside drive C: each works relative
// to the descriptor of a directory that ResolveDosPath opened below the
// drive, and a path leading out fails as a missing one does. A dry run
// writes into the scratch directory instead, and leaves the tree as it is.
// Each call's outcome goes into the run's record (run_record.h).
#include "platform/posix/ascii.h"
#include "platform/posix/dos_path.h"
#include "platform/posix/errors.h"
#include "platform/posix/run_record.h"
#include "platform/win32_api.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <map>
#include <memory>
#include <string>

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dosprep::posix {

namespace {

// Handles are numbers never handed out twice, so a stale or foreign
// handle is refused instead of reaching whatever descriptor now has its
// number. The program runs on one thread: nothing is locked.
class HandleTable {
  public:
    HANDLE Add(int fd, std::string_view name) {
        std::uintptr_t key = next_;
        open_.emplace(key, OpenFile{fd, std::string(name)});
        next_ += kStep;
        return reinterpret_cast<HANDLE>(key);
    }

    // The DOS path the handle was opened with, for the record.
    std::string NameOf(HANDLE handle) const {
        auto found = open_.find(reinterpret_cast<std::uintptr_t>(handle));
        return found == open_.end() ? std::string() : found->second.name;
    }

    bool Find(HANDLE handle, int &fd) const noexcept {
        auto found = open_.find(reinterpret_cast<std::uintptr_t>(handle));
        if (found != open_.end())
            fd = found->second.fd;
        return found != open_.end();
    }

    bool Remove(HANDLE handle, int &fd) noexcept {
        auto found = open_.find(reinterpret_cast<std::uintptr_t>(handle));
        if (found == open_.end())
            return false;
        fd = found->second.fd;
        open_.erase(found);
        return true;
    }

  private:
    struct OpenFile {
        int fd;
        std::string name;
    };
    // Multiples of 4 from 4 on: never nullptr, never INVALID_HANDLE_VALUE.
    static constexpr std::uintptr_t kStep = 4;
    std::map<std::uintptr_t, OpenFile> open_;
    std::uintptr_t next_ = kStep;
};

HandleTable &Handles() {
    static HandleTable table;
    return table;
}

HANDLE Fail(DWORD error) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
}

BOOL FailBool(DWORD error) {
    SetLastError(error);
    return FALSE;
}

bool IsReadOnly(const struct stat &info) {
    return (info.st_mode & S_IWUSR) == 0;
}

// Why an entry that is no regular file cannot be used as one.
int NotAFile(const struct stat &info) {
    if (S_ISDIR(info.st_mode))
        return kCauseDirectory;
    return S_ISLNK(info.st_mode) ? kCauseSymbolicLink : kCauseNotRegular;
}

// The cause of a failed open for writing: O_NOFOLLOW met a link (ELOOP),
// or the name is a directory, a FIFO or a device without its driver.
int WriteOpenCause(int error) {
    switch (error) {
    case ELOOP:
        return kCauseSymbolicLink;
    case EISDIR:
        return kCauseDirectory;
    case ENXIO:
        return kCauseNotRegular;
    default:
        return error;
    }
}

HANDLE FailWith(DWORD error, int cause) {
    NoteCause(cause);
    return Fail(error);
}

BOOL FailBoolWith(DWORD error, int cause) {
    NoteCause(cause);
    return FailBool(error);
}

// A file of its own in the scratch directory, never one of the tree.
std::string ScratchFile(const char *kind) {
    static std::atomic<unsigned> count{0};
    return JoinHostPath(Settings().scratch, std::string(kind) + "-" + std::to_string(++count));
}

// The temporary files of a dry run, which live in the scratch directory:
// the file of each DOS path as the program gives it.
class ShadowTable {
  public:
    std::string Add(std::string_view dosPath) {
        std::string path = ScratchFile("new");
        files_[Key(dosPath)] = path;
        return path;
    }
    std::string Find(std::string_view dosPath) const {
        auto found = files_.find(Key(dosPath));
        return found == files_.end() ? std::string() : found->second;
    }
    // The file stays: a diff may show it.
    bool Remove(std::string_view dosPath) { return files_.erase(Key(dosPath)) != 0; }

  private:
    static std::string Key(std::string_view dosPath) { return UpperCased(dosPath); }
    std::map<std::string, std::string> files_;
};

ShadowTable &Shadows() {
    static ShadowTable table;
    return table;
}

HANDLE AddHandle(FileDescriptor &fd, const char *name) {
    HANDLE handle = Handles().Add(fd.Get(), name);
    fd.Release();
    return handle;
}

// Whether a new entry could be made in `directory`, as far as can be told
// without making one.
bool MayCreateIn(int directory) {
    return faccessat(directory, ".", W_OK | X_OK, AT_EACCESS) == 0;
}

// A dry run's temporary file: the checks that the tree's would meet, then
// a file in the scratch directory.
HANDLE OpenShadow(const char *name, const ResolvedPath &path, const struct stat *existing) {
    if (existing != nullptr && !S_ISREG(existing->st_mode))
        return FailWith(ERROR_ACCESS_DENIED, NotAFile(*existing));
    if (existing != nullptr && existing->st_nlink != 1)
        return FailWith(ERROR_ACCESS_DENIED, kCauseHardLinks);
    if (existing == nullptr && !MayCreateIn(path.parent.Get()))
        return Fail(ErrorFromErrno(errno, ERROR_ACCESS_DENIED));
    std::string shadow = Shadows().Add(name);
    FileDescriptor fd(open(shadow.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (fd.Get() < 0)
        return Fail(ErrorFromErrno(errno, ERROR_ACCESS_DENIED));
    return AddHandle(fd, name);
}

HANDLE OpenForReading(const char *name) {
    ResolvedPath path;
    if (DWORD error = ResolveDosPath(name, path); error != NO_ERROR)
        return Fail(error);
    if (!path.exists)
        return Fail(ERROR_FILE_NOT_FOUND);
    struct stat info {};
    DWORD error = NO_ERROR;
    FileDescriptor fd(OpenRegularForReading(path, info, error));
    if (fd.Get() < 0) {
        if (error == ERROR_ACCESS_DENIED && info.st_mode != 0 && !S_ISREG(info.st_mode))
            NoteCause(NotAFile(info));
        return Fail(error);
    }
    return AddHandle(fd, name);
}

HANDLE OpenForWriting(const char *name) {
    ResolvedPath path;
    if (DWORD error = ResolveDosPath(name, path); error != NO_ERROR)
        return Fail(error);
    // The read-only attribute is honoured even for root, as on Windows.
    struct stat before {};
    bool exists = fstatat(path.parent.Get(), path.LastName(), &before, AT_SYMLINK_NOFOLLOW) == 0;
    if (exists && S_ISREG(before.st_mode) && IsReadOnly(before))
        return FailWith(ERROR_ACCESS_DENIED, kCauseReadOnly);
    if (Settings().dryRun)
        return OpenShadow(name, path, exists ? &before : nullptr);
    // No O_TRUNC: whatever is found must be checked before it is emptied.
    FileDescriptor fd(openat(path.parent.Get(), path.LastName(),
                             O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK,
                             0666));
    if (fd.Get() < 0) {
        int cause = errno;
        DWORD error = ErrorFromErrno(cause, ERROR_ACCESS_DENIED);
        return FailWith(error, WriteOpenCause(cause));
    }
    struct stat info {};
    if (fstat(fd.Get(), &info) != 0)
        return Fail(ErrorFromErrno(errno, ERROR_ACCESS_DENIED));
    // Another hard link would see its file emptied through this name.
    if (!S_ISREG(info.st_mode))
        return FailWith(ERROR_ACCESS_DENIED, NotAFile(info));
    if (info.st_nlink != 1)
        return FailWith(ERROR_ACCESS_DENIED, kCauseHardLinks);
    // An empty file is not truncated: on ext4 a truncate to zero makes the
    // close start writing the new contents out, which a temporary file
    // deleted moments later does not need.
    bool emptied = info.st_size == 0 || ftruncate(fd.Get(), 0) == 0;
    if (!emptied || !ClearNonBlocking(fd.Get()))
        return Fail(ErrorFromErrno(errno, ERROR_ACCESS_DENIED));
    return AddHandle(fd, name);
}

// Largest single read or write; Linux moves at most about 2 GiB a call.
constexpr std::size_t kMaxTransfer = std::size_t{1} << 30;

// Writes all of `size` bytes; false with errno set on failure.
bool WriteAll(int fd, const char *data, std::size_t size, std::size_t &done) {
    done = 0;
    while (done < size) {
        std::size_t chunk = std::min(size - done, kMaxTransfer);
        ssize_t written = Retrying([&] { return write(fd, data + done, chunk); });
        if (written < 0)
            return false;
        if (written == 0) {
            errno = ENOSPC; // no progress and no error: nothing more fits
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

DWORD WriteError(int error) {
    if (error == EBADF) // the handle was opened for reading only
        return ERROR_ACCESS_DENIED;
    return ErrorFromErrno(error, ERROR_WRITE_FAULT);
}

// Copies in the kernel where the file system allows it. Returns false
// with errno ENOSYS, EXDEV, EINVAL or EOPNOTSUPP when it does not, and
// nothing has been copied yet.
bool CopyInKernel(int source, int fd, DWORD &error) {
    error = NO_ERROR;
    bool copiedAny = false;
    for (;;) {
        ssize_t got =
            Retrying([&] { return copy_file_range(source, nullptr, fd, nullptr, 1 << 30, 0); });
        if (got > 0) {
            copiedAny = true;
            continue;
        }
        if (got == 0)
            return true;
        if (!copiedAny && (errno == ENOSYS || errno == EXDEV || errno == EINVAL ||
                           errno == EOPNOTSUPP || errno == EBADF))
            return false;
        error = WriteError(errno);
        return true;
    }
}

// Copies `source` into the side file `fd` and makes it durable.
DWORD CopyContents(int source, int fd, char *buffer, std::size_t bufferSize) {
    DWORD error = NO_ERROR;
    if (CopyInKernel(source, fd, error)) {
        if (error != NO_ERROR)
            return error;
    } else {
        for (;;) {
            ssize_t got = ReadRetrying(source, buffer, bufferSize);
            if (got < 0)
                return ErrorFromErrno(errno, ERROR_READ_FAULT);
            if (got == 0)
                break;
            std::size_t done = 0;
            if (!WriteAll(fd, buffer, static_cast<std::size_t>(got), done))
                return WriteError(errno);
        }
    }
    if (fsync(fd) != 0)
        return ErrorFromErrno(errno, ERROR_WRITE_FAULT);
    return NO_ERROR;
}

// Best effort: makes the rename itself survive a crash.
void SyncDirectory(int directory) {
    int fd = openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

// Six characters for a side file's name, as mkstemp would pick them.
std::string RandomSuffix() {
    static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[6] = {};
    if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        static unsigned counter = 0;
        auto seed = static_cast<unsigned>(getpid()) * 2654435761u + ++counter * 40503u;
        for (unsigned char &byte : bytes) {
            seed = seed * 1103515245u + 12345u;
            byte = static_cast<unsigned char>(seed >> 16);
        }
    }
    std::string suffix;
    for (unsigned char byte : bytes)
        suffix += kLetters[byte % (sizeof kLetters - 1)];
    return suffix;
}

// Creates a new file beside the target, as mkostemp does by path: mode
// 0600, a name no entry has. Returns the descriptor, or -1 with errno.
int CreateSideFile(int directory, std::string &name) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = ".dosprep-" + RandomSuffix();
        int fd = openat(directory, name.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

// The source of a copy: a dry run's temporary file in the scratch
// directory (its path in `shadow`), else the file on the drive. Returns
// the descriptor, or -1 with `error` set.
int OpenCopySource(const char *existing, struct stat &info, std::string &shadow, DWORD &error) {
    shadow = Shadows().Find(existing);
    if (!shadow.empty()) {
        FileDescriptor fd(open(shadow.c_str(), O_RDONLY | O_CLOEXEC));
        if (fd.Get() < 0 || fstat(fd.Get(), &info) != 0) {
            error = ErrorFromErrno(errno, ERROR_ACCESS_DENIED);
            return -1;
        }
        return fd.Release();
    }
    ResolvedPath source;
    if (error = ResolveDosPath(existing, source); error != NO_ERROR)
        return -1;
    if (!source.exists) {
        error = ERROR_FILE_NOT_FOUND;
        return -1;
    }
    return OpenRegularEntry(source.parent.Get(), source.LastName(), info, error);
}

// Copies all of `source`, from its start whatever its position, into the
// new file `path`. Returns 0 or the errno value.
int CopyFromStart(int source, const std::string &path) {
    FileDescriptor out(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (out.Get() < 0)
        return errno;
    constexpr std::size_t kBufferSize = 64 * 1024;
    auto buffer = std::make_unique<char[]>(kBufferSize);
    off_t offset = 0;
    for (;;) {
        ssize_t got = Retrying([&] { return pread(source, buffer.get(), kBufferSize, offset); });
        if (got < 0)
            return errno;
        if (got == 0)
            break;
        std::size_t done = 0;
        if (!WriteAll(out.Get(), buffer.get(), static_cast<std::size_t>(got), done))
            return errno;
        offset += got;
    }
    return close(out.Release()) == 0 ? 0 : errno;
}

// The record of a copy over `target`. With a scratch directory, the
// target's old contents and the new ones are kept there for a diff.
FileEvent CopyEvent(const char *newName, const ResolvedPath &target, bool targetExists, int source,
                    const std::string &shadow) {
    FileEvent event;
    event.call = "CopyFileA";
    event.dosPath = newName;
    if (Settings().scratch.empty())
        return event;
    event.relative = target.relative;
    if (targetExists) {
        struct stat info {};
        DWORD error = NO_ERROR;
        FileDescriptor old(OpenRegularEntry(target.parent.Get(), target.LastName(), info, error));
        event.before = ScratchFile("old");
        event.keptError = old.Get() < 0 ? EIO : CopyFromStart(old.Get(), event.before);
    }
    event.after = shadow;
    if (event.keptError == 0 && shadow.empty()) {
        event.after = ScratchFile("new");
        event.keptError = CopyFromStart(source, event.after);
    }
    if (event.keptError != 0)
        event.after.clear();
    return event;
}

BOOL CopyFile(const char *existing, const char *newName, BOOL failIfExists) {
    struct stat sourceInfo {};
    DWORD openError = NO_ERROR;
    std::string shadow;
    FileDescriptor in(OpenCopySource(existing, sourceInfo, shadow, openError));
    if (in.Get() < 0)
        return FailBool(openError);

    ResolvedPath target;
    if (DWORD error = ResolveDosPath(newName, target); error != NO_ERROR)
        return FailBool(error);
    int directory = target.parent.Get();
    struct stat targetInfo {};
    bool targetExists = false;
    if (fstatat(directory, target.LastName(), &targetInfo, AT_SYMLINK_NOFOLLOW) == 0) {
        targetExists = true;
        if (failIfExists)
            return FailBool(ERROR_FILE_EXISTS);
        // A link, a directory or a device is not ours to replace.
        if (!S_ISREG(targetInfo.st_mode))
            return FailBoolWith(ERROR_ACCESS_DENIED, NotAFile(targetInfo));
        if (IsReadOnly(targetInfo))
            return FailBoolWith(ERROR_ACCESS_DENIED, kCauseReadOnly);
    } else if (errno != ENOENT) {
        return FailBool(ErrorFromErrno(errno, ERROR_ACCESS_DENIED));
    }
    FileEvent event = CopyEvent(newName, target, targetExists, in.Get(), shadow);
    if (Settings().dryRun) {
        // The side file that the copy would create beside the target.
        if (!MayCreateIn(directory))
            return FailBool(ErrorFromErrno(errno, ERROR_ACCESS_DENIED));
        RecordSuccess(std::move(event));
        return TRUE;
    }

    // Allocated first: from the side file's creation on, nothing may throw
    // past its removal.
    constexpr std::size_t kBufferSize = 64 * 1024;
    auto buffer = std::make_unique<char[]>(kBufferSize);
    std::string side;
    // The new content goes beside the target and is renamed over it, so
    // the target is either the old file or the whole new one.
    FileDescriptor out(CreateSideFile(directory, side));
    if (out.Get() < 0)
        return FailBool(ErrorFromErrno(errno, ERROR_ACCESS_DENIED));
    DWORD error = CopyContents(in.Get(), out.Get(), buffer.get(), kBufferSize);
    if (error == NO_ERROR) {
        if (targetExists) {
            // Before fchmod: a change of owner clears set-id bits.
            if (fchown(out.Get(), targetInfo.st_uid, targetInfo.st_gid) != 0) {
                // Only root may give a file away; the content matters more.
            }
        }
        mode_t mode = (targetExists ? targetInfo.st_mode : sourceInfo.st_mode) & 07777;
        if (fchmod(out.Get(), mode) != 0)
            error = ErrorFromErrno(errno, ERROR_ACCESS_DENIED);
    }
    if (error == NO_ERROR && close(out.Release()) != 0)
        error = ErrorFromErrno(errno, ERROR_WRITE_FAULT);
    if (error == NO_ERROR && renameat(directory, side.c_str(), directory, target.LastName()) != 0)
        error = ErrorFromErrno(errno, ERROR_ACCESS_DENIED);
    if (error != NO_ERROR) {
        unlinkat(directory, side.c_str(), 0);
        return FailBool(error);
    }
    SyncDirectory(directory);
    RecordSuccess(std::move(event));
    return TRUE;
}

BOOL DeleteFile(const char *name) {
    if (Shadows().Remove(name))
        return TRUE;
    ResolvedPath path;
    if (DWORD error = ResolveDosPath(name, path); error != NO_ERROR)
        return FailBool(error);
    if (!path.exists)
        return FailBool(ERROR_FILE_NOT_FOUND);
    struct stat info {};
    if (fstatat(path.parent.Get(), path.LastName(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return FailBool(ErrorFromErrno(errno, ERROR_ACCESS_DENIED));
    if (S_ISDIR(info.st_mode))
        return FailBoolWith(ERROR_ACCESS_DENIED, kCauseDirectory);
    if (S_ISREG(info.st_mode) && IsReadOnly(info))
        return FailBoolWith(ERROR_ACCESS_DENIED, kCauseReadOnly);
    if (Settings().dryRun)
        return TRUE;
    if (unlinkat(path.parent.Get(), path.LastName(), 0) != 0)
        return FailBool(ErrorFromErrno(errno, ERROR_ACCESS_DENIED));
    return TRUE;
}

} // namespace

} // namespace dosprep::posix

using namespace dosprep::posix;

namespace {

HANDLE OpenFile(LPCSTR name, DWORD access, DWORD disposition) {
    try {
        if (name == nullptr)
            return Fail(ERROR_INVALID_PARAMETER);
        if (access == GENERIC_READ && disposition == OPEN_EXISTING)
            return OpenForReading(name);
        if (access == GENERIC_WRITE && disposition == CREATE_ALWAYS)
            return OpenForWriting(name);
        return Fail(ERROR_INVALID_PARAMETER);
    } catch (...) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
}

BOOL ReadFromHandle(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read,
                    LPOVERLAPPED overlapped) {
    if (read != nullptr)
        *read = 0;
    int fd = -1;
    if (!Handles().Find(file, fd))
        return FailBool(ERROR_INVALID_HANDLE);
    if (overlapped != nullptr || (buffer == nullptr && toRead != 0))
        return FailBool(ERROR_INVALID_PARAMETER);
    auto *bytes = static_cast<char *>(buffer);
    std::size_t done = 0;
    // Filled whole unless the file ends first, as Windows does for files.
    while (done < toRead) {
        std::size_t chunk = std::min(std::size_t{toRead} - done, kMaxTransfer);
        ssize_t got = ReadRetrying(fd, bytes + done, chunk);
        if (got < 0) {
            int error = errno;
            if (read != nullptr)
                *read = static_cast<DWORD>(done);
            return FailBool(error == EBADF ? ERROR_ACCESS_DENIED
                                           : ErrorFromErrno(error, ERROR_READ_FAULT));
        }
        if (got == 0)
            break;
        done += static_cast<std::size_t>(got);
    }
    if (read != nullptr)
        *read = static_cast<DWORD>(done);
    return TRUE;
}

BOOL WriteToHandle(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written,
                   LPOVERLAPPED overlapped) {
    if (written != nullptr)
        *written = 0;
    int fd = -1;
    if (!Handles().Find(file, fd))
        return FailBool(ERROR_INVALID_HANDLE);
    if (overlapped != nullptr || (buffer == nullptr && toWrite != 0))
        return FailBool(ERROR_INVALID_PARAMETER);
    std::size_t done = 0;
    bool ok = WriteAll(fd, static_cast<const char *>(buffer), toWrite, done);
    int error = errno;
    if (written != nullptr)
        *written = static_cast<DWORD>(done);
    return ok ? TRUE : FailBool(WriteError(error));
}

DWORD MoveHandle(HANDLE file, LONG distance, PLONG high, DWORD method) {
    int fd = -1;
    if (!Handles().Find(file, fd)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_SET_FILE_POINTER;
    }
    // With `high` the distance is the signed 64-bit high:low; without it,
    // the signed 32-bit low part alone.
    std::int64_t move = distance;
    if (high != nullptr)
        move = static_cast<std::int64_t>((std::uint64_t{static_cast<std::uint32_t>(*high)} << 32) |
                                         static_cast<std::uint32_t>(distance));
    std::int64_t origin = 0;
    if (method == FILE_CURRENT || method == FILE_END) {
        struct stat info {};
        off_t here = method == FILE_CURRENT ? lseek(fd, 0, SEEK_CUR) : 0;
        if (here < 0 || (method == FILE_END && fstat(fd, &info) != 0)) {
            SetLastError(ErrorFromErrno(errno, ERROR_INVALID_PARAMETER));
            return INVALID_SET_FILE_POINTER;
        }
        origin = method == FILE_CURRENT ? here : info.st_size;
    } else if (method != FILE_BEGIN) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    // The target is checked before moving, so a refused move moves nothing.
    if ((move > 0 && origin > std::numeric_limits<std::int64_t>::max() - move) ||
        origin + move < 0) {
        SetLastError(move > 0 ? ERROR_INVALID_PARAMETER : ERROR_NEGATIVE_SEEK);
        return INVALID_SET_FILE_POINTER;
    }
    std::int64_t target = origin + move;
    if (high == nullptr && target > 0xFFFFFFFFll) {
        SetLastError(ERROR_INVALID_PARAMETER); // cannot be told without `high`
        return INVALID_SET_FILE_POINTER;
    }
    off_t moved = lseek(fd, static_cast<off_t>(target), SEEK_SET);
    if (moved < 0) {
        SetLastError(ErrorFromErrno(errno, ERROR_INVALID_PARAMETER));
        return INVALID_SET_FILE_POINTER;
    }
    auto position = static_cast<std::uint64_t>(moved);
    if (high != nullptr)
        *high = static_cast<LONG>(static_cast<std::uint32_t>(position >> 32));
    // A position whose low part is 0xFFFFFFFF is told apart by this.
    SetLastError(NO_ERROR);
    return static_cast<DWORD>(position & 0xFFFFFFFFu);
}

BOOL CloseFile(HANDLE object) {
    int fd = -1;
    if (!Handles().Remove(object, fd))
        return FailBool(ERROR_INVALID_HANDLE);
    // Linux frees the descriptor even when close fails: never retry it.
    if (close(fd) != 0 && errno != EINTR)
        return FailBool(ErrorFromErrno(errno, ERROR_WRITE_FAULT));
    return TRUE;
}

// Records a failed call on a handle under the DOS path it was opened with.
void RecordHandleFailure(const char *call, HANDLE file) noexcept {
    try {
        RecordFailure(call, Handles().NameOf(file));
    } catch (...) {
        RecordFailure(call, "");
    }
}

} // namespace

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD, LPSECURITY_ATTRIBUTES,
                          DWORD disposition, DWORD, HANDLE) {
    BeginCall();
    HANDLE handle = OpenFile(name, access, disposition);
    if (handle == INVALID_HANDLE_VALUE) {
        RecordFailure("CreateFileA", name != nullptr ? name : "");
    } else if (access == GENERIC_WRITE) {
        FileEvent created;
        created.call = "CreateFileA";
        try {
            created.dosPath = name;
        } catch (...) {
        }
        RecordSuccess(std::move(created));
    }
    return handle;
}

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read,
                     LPOVERLAPPED overlapped) {
    BeginCall();
    BOOL ok = ReadFromHandle(file, buffer, toRead, read, overlapped);
    if (!ok)
        RecordHandleFailure("ReadFile", file);
    return ok;
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written,
                      LPOVERLAPPED overlapped) {
    BeginCall();
    BOOL ok = WriteToHandle(file, buffer, toWrite, written, overlapped);
    if (!ok)
        RecordHandleFailure("WriteFile", file);
    return ok;
}

DWORD WINAPI SetFilePointer(HANDLE file, LONG distance, PLONG high, DWORD method) {
    BeginCall();
    DWORD position = MoveHandle(file, distance, high, method);
    if (position == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR)
        RecordHandleFailure("SetFilePointer", file);
    return position;
}

BOOL WINAPI CloseHandle(HANDLE object) {
    BeginCall();
    std::string name;
    try {
        name = Handles().NameOf(object);
    } catch (...) {
    }
    BOOL ok = CloseFile(object);
    if (!ok)
        RecordFailure("CloseHandle", name);
    return ok;
}

BOOL WINAPI CopyFileA(LPCSTR existing, LPCSTR newName, BOOL failIfExists) {
    BeginCall();
    BOOL ok = FALSE;
    try {
        ok = existing == nullptr || newName == nullptr ? FailBool(ERROR_INVALID_PARAMETER)
                                                       : CopyFile(existing, newName, failIfExists);
    } catch (...) {
        ok = FailBool(ERROR_NOT_ENOUGH_MEMORY);
    }
    if (!ok)
        RecordFailure("CopyFileA", newName != nullptr ? newName : "");
    return ok;
}

BOOL WINAPI DeleteFileA(LPCSTR name) {
    BeginCall();
    BOOL ok = FALSE;
    try {
        ok = name == nullptr ? FailBool(ERROR_INVALID_PARAMETER) : DeleteFile(name);
    } catch (...) {
        ok = FailBool(ERROR_NOT_ENOUGH_MEMORY);
    }
    if (!ok)
        RecordFailure("DeleteFileA", name != nullptr ? name : "");
    return ok;
}
