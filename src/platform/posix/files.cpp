// File handles and whole-file operations on DOS paths. Whatever they
// open, create, rename or remove lies inside drive C: each works relative
// to the descriptor of a directory that ResolveDosPath opened below the
// drive, and a path leading out fails as a missing one does.
#include "platform/posix/dos_path.h"
#include "platform/win32_api.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <map>
#include <memory>
#include <mutex>

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dosprep::posix {

namespace {

// Handles are numbers never handed out twice, so a stale or foreign
// handle is refused instead of reaching whatever descriptor now has its
// number.
class HandleTable {
  public:
    HANDLE Add(int fd) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::uintptr_t key = next_;
        open_.emplace(key, fd);
        next_ += kStep;
        return reinterpret_cast<HANDLE>(key);
    }

    // Neither throws (locking could, in theory): the calls using them
    // have nothing else that might.
    bool Find(HANDLE handle, int &fd) noexcept {
        try {
            std::lock_guard<std::mutex> lock(mutex_);
            auto found = open_.find(reinterpret_cast<std::uintptr_t>(handle));
            if (found == open_.end())
                return false;
            fd = found->second;
            return true;
        } catch (...) {
            return false;
        }
    }

    bool Remove(HANDLE handle, int &fd) noexcept {
        try {
            std::lock_guard<std::mutex> lock(mutex_);
            auto found = open_.find(reinterpret_cast<std::uintptr_t>(handle));
            if (found == open_.end())
                return false;
            fd = found->second;
            open_.erase(found);
            return true;
        } catch (...) {
            return false;
        }
    }

  private:
    // Multiples of 4 from 4 on: never nullptr, never INVALID_HANDLE_VALUE.
    static constexpr std::uintptr_t kStep = 4;
    std::mutex mutex_;
    std::map<std::uintptr_t, int> open_;
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

HANDLE OpenForReading(const char *name) {
    ResolvedPath path;
    if (DWORD error = ResolveDosPath(name, path); error != NO_ERROR)
        return Fail(error);
    if (!path.exists)
        return Fail(ERROR_FILE_NOT_FOUND);
    struct stat info {};
    DWORD error = NO_ERROR;
    FileDescriptor fd(OpenRegularForReading(path, info, error));
    if (fd.Get() < 0)
        return Fail(error);
    HANDLE handle = Handles().Add(fd.Get());
    fd.Release();
    return handle;
}

HANDLE OpenForWriting(const char *name) {
    ResolvedPath path;
    if (DWORD error = ResolveDosPath(name, path); error != NO_ERROR)
        return Fail(error);
    // The read-only attribute is honoured even for root, as on Windows.
    struct stat before {};
    if (fstatat(path.parent.Get(), path.LastName(), &before, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(before.st_mode) && IsReadOnly(before))
        return Fail(ERROR_ACCESS_DENIED);
    // No O_TRUNC: whatever is found must be checked before it is emptied.
    FileDescriptor fd(openat(path.parent.Get(), path.LastName(),
                             O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK,
                             0666));
    if (fd.Get() < 0)
        return Fail(ErrorFromErrno(errno, ERROR_ACCESS_DENIED));
    struct stat info {};
    if (fstat(fd.Get(), &info) != 0)
        return Fail(ErrorFromErrno(errno, ERROR_ACCESS_DENIED));
    // Another hard link would see its file emptied through this name.
    if (!S_ISREG(info.st_mode) || info.st_nlink != 1)
        return Fail(ERROR_ACCESS_DENIED);
    // An empty file is not truncated: on ext4 a truncate to zero makes the
    // close start writing the new contents out, which a temporary file
    // deleted moments later does not need.
    bool emptied = info.st_size == 0 || ftruncate(fd.Get(), 0) == 0;
    if (!emptied || !ClearNonBlocking(fd.Get()))
        return Fail(ErrorFromErrno(errno, ERROR_ACCESS_DENIED));
    HANDLE handle = Handles().Add(fd.Get());
    fd.Release();
    return handle;
}

// Largest single read or write; Linux moves at most about 2 GiB a call.
constexpr std::size_t kMaxTransfer = std::size_t{1} << 30;

// Writes all of `size` bytes; false with errno set on failure.
bool WriteAll(int fd, const char *data, std::size_t size, std::size_t &done) {
    done = 0;
    while (done < size) {
        std::size_t chunk = std::min(size - done, kMaxTransfer);
        ssize_t written = write(fd, data + done, chunk);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
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
        ssize_t got = copy_file_range(source, nullptr, fd, nullptr, 1 << 30, 0);
        if (got > 0) {
            copiedAny = true;
            continue;
        }
        if (got == 0)
            return true;
        if (errno == EINTR)
            continue;
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
            ssize_t got = read(source, buffer, bufferSize);
            if (got < 0) {
                if (errno == EINTR)
                    continue;
                return ErrorFromErrno(errno, ERROR_READ_FAULT);
            }
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

BOOL CopyFile(const char *existing, const char *newName, BOOL failIfExists) {
    ResolvedPath source;
    if (DWORD error = ResolveDosPath(existing, source); error != NO_ERROR)
        return FailBool(error);
    if (!source.exists)
        return FailBool(ERROR_FILE_NOT_FOUND);
    struct stat sourceInfo {};
    DWORD openError = NO_ERROR;
    FileDescriptor in(
        OpenRegularEntry(source.parent.Get(), source.LastName(), sourceInfo, openError));
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
        if (!S_ISREG(targetInfo.st_mode) || IsReadOnly(targetInfo))
            return FailBool(ERROR_ACCESS_DENIED);
    } else if (errno != ENOENT) {
        return FailBool(ErrorFromErrno(errno, ERROR_ACCESS_DENIED));
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
    return TRUE;
}

BOOL DeleteFile(const char *name) {
    ResolvedPath path;
    if (DWORD error = ResolveDosPath(name, path); error != NO_ERROR)
        return FailBool(error);
    if (!path.exists)
        return FailBool(ERROR_FILE_NOT_FOUND);
    struct stat info {};
    if (fstatat(path.parent.Get(), path.LastName(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return FailBool(ErrorFromErrno(errno, ERROR_ACCESS_DENIED));
    if (S_ISDIR(info.st_mode) || (S_ISREG(info.st_mode) && IsReadOnly(info)))
        return FailBool(ERROR_ACCESS_DENIED);
    if (unlinkat(path.parent.Get(), path.LastName(), 0) != 0)
        return FailBool(ErrorFromErrno(errno, ERROR_ACCESS_DENIED));
    return TRUE;
}

} // namespace

} // namespace dosprep::posix

using namespace dosprep::posix;

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD, LPSECURITY_ATTRIBUTES,
                          DWORD disposition, DWORD, HANDLE) {
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

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read,
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
        ssize_t got = ::read(fd, bytes + done, chunk);
        if (got < 0) {
            if (errno == EINTR)
                continue;
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

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written,
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

DWORD WINAPI SetFilePointer(HANDLE file, LONG distance, PLONG high, DWORD method) {
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

BOOL WINAPI CloseHandle(HANDLE object) {
    int fd = -1;
    if (!Handles().Remove(object, fd))
        return FailBool(ERROR_INVALID_HANDLE);
    // Linux frees the descriptor even when close fails: never retry it.
    if (close(fd) != 0 && errno != EINTR)
        return FailBool(ErrorFromErrno(errno, ERROR_WRITE_FAULT));
    return TRUE;
}

BOOL WINAPI CopyFileA(LPCSTR existing, LPCSTR newName, BOOL failIfExists) {
    try {
        if (existing == nullptr || newName == nullptr)
            return FailBool(ERROR_INVALID_PARAMETER);
        return CopyFile(existing, newName, failIfExists);
    } catch (...) {
        return FailBool(ERROR_NOT_ENOUGH_MEMORY);
    }
}

BOOL WINAPI DeleteFileA(LPCSTR name) {
    try {
        if (name == nullptr)
            return FailBool(ERROR_INVALID_PARAMETER);
        return DeleteFile(name);
    } catch (...) {
        return FailBool(ERROR_NOT_ENOUGH_MEMORY);
    }
}
