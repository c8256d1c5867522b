// File handles and whole-file operations on DOS paths, as the program
// calls them. Each works relative to the descriptor of a directory that
// ResolveDosPath opened below drive C, so nothing outside it is touched. A
// dry run writes its temporary files into the scratch directory instead.
// Each call goes into the run's record (run_record.h).
#include "platform/posix/ascii.h"
#include "platform/posix/dos_path.h"
#include "platform/posix/errors.h"
#include "platform/posix/fat_volume.h"
#include "platform/posix/interrupts.h"
#include "platform/posix/run_record.h"
#include "platform/win32_api.h"

#include <cerrno>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dosprep::posix {

namespace {

// Converts to the failure value of whichever Win32 call returns it.
struct Failure {
    operator HANDLE() const { return INVALID_HANDLE_VALUE; }
    operator BOOL() const { return FALSE; }
    operator DWORD() const { return INVALID_SET_FILE_POINTER; }
};

// Sets the last error, and notes `cause` (errno or kCause value) if any.
Failure Fail(DWORD error, int cause = 0) {
    if (cause != 0)
        NoteCause(cause);
    SetLastError(error);
    return {};
}

struct OpenFile {
    int fd;
    std::string name; // the DOS path it was opened with, for the record
};
// Handles are numbers never handed out twice: a stale handle is refused
// instead of reaching whatever descriptor now has its number.
std::map<std::uintptr_t, OpenFile> g_handles;

// A dry run's temporary files: the scratch file of each DOS path in capitals.
std::map<std::string, std::string> g_shadows;

char g_buffer[64 * 1024]; // one copy at a time

// The scratch file of the dry run's temporary file `name`, if any.
const std::string *ShadowOf(const char *name) {
    auto found = g_shadows.find(UpperCased(name));
    return found == g_shadows.end() ? nullptr : &found->second;
}

const OpenFile *FindHandle(HANDLE handle) {
    auto found = g_handles.find(reinterpret_cast<std::uintptr_t>(handle));
    return found == g_handles.end() ? nullptr : &found->second;
}

HANDLE AddHandle(FileDescriptor &fd, const char *name) {
    // Multiples of 4 from 4 on: never nullptr, never INVALID_HANDLE_VALUE.
    static std::uintptr_t last = 0;
    g_handles.emplace(last + 4, OpenFile{fd.Get(), name});
    fd.Release();
    return reinterpret_cast<HANDLE>(last += 4);
}

// Why an entry of the type `mode` cannot be used as a file; 0 when it can.
int TypeCause(mode_t mode) {
    if (S_ISREG(mode))
        return 0;
    if (S_ISDIR(mode))
        return kCauseDirectory;
    return S_ISLNK(mode) ? kCauseSymbolicLink : kCauseNotRegular;
}

// Why the entry `name` of `directory` (its lstat `info`) may not be
// replaced: no regular file, or one that Windows refuses to replace; with
// `emptied`, one that other hard links share. 0 when it may.
int RefusalCause(int directory, const char *name, const struct stat &info, bool emptied) {
    if (int cause = TypeCause(info.st_mode))
        return cause;
    // The read-only attribute is honoured even for root, as on Windows.
    if ((info.st_mode & S_IWUSR) == 0)
        return kCauseReadOnly;
    if (int cause = AttributeCause(directory, name, info))
        return cause;
    return emptied && info.st_nlink != 1 ? kCauseHardLinks : 0;
}

// A file of its own in the scratch directory, never one of the tree.
std::string ScratchFile(const char *kind) {
    static unsigned count = 0;
    return JoinHostPath(Settings().scratch, std::string(kind) + "-" + std::to_string(++count));
}

// Whether a new entry could be made in `directory`, as far as can be told.
bool MayCreateIn(int directory) {
    return faccessat(directory, ".", W_OK | X_OK, AT_EACCESS) == 0;
}

// Opens `name` on the drive for reading, following links only inside it.
// -1 with `error` on failure.
int OpenExisting(const char *name, struct stat &info, DWORD &error) {
    ResolvedPath path;
    if (error = ResolveDosPath(name, path); error == NO_ERROR && !path.exists)
        error = ERROR_FILE_NOT_FOUND;
    return error != NO_ERROR ? -1 : OpenRegularForReading(path, info, error);
}

// Resolves `name` for a call that replaces it, `emptied` when in place:
// its lstat goes in `info` (mode 0 when there is no such entry). Refuses
// what may not be replaced, noting why.
DWORD ResolveReplaceable(const char *name, ResolvedPath &path, struct stat &info, bool emptied) {
    if (DWORD error = ResolveDosPath(name, path); error != NO_ERROR)
        return error;
    int directory = path.parent.Get();
    if (fstatat(directory, path.LastName(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? NO_ERROR : ErrorFromErrno(errno, ERROR_ACCESS_DENIED);
    int cause = RefusalCause(directory, path.LastName(), info, emptied);
    NoteCause(cause);
    return cause == 0 ? NO_ERROR : ERROR_ACCESS_DENIED;
}

HANDLE OpenForWriting(const char *name) {
    ResolvedPath path;
    struct stat info {};
    if (DWORD error = ResolveReplaceable(name, path, info, true); error != NO_ERROR)
        return Fail(error);
    int directory = path.parent.Get();
    if (Settings().dryRun) {
        if (info.st_mode == 0 && !MayCreateIn(directory))
            return Fail(ErrorFromErrno(errno, ERROR_ACCESS_DENIED));
        std::string &shadow = g_shadows[UpperCased(name)] = ScratchFile("new");
        FileDescriptor fd(open(shadow.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        if (fd.Get() >= 0)
            return AddHandle(fd, name);
        NoteInScratch();
        return Fail(ErrorFromErrno(errno, ERROR_ACCESS_DENIED));
    }
    // Checked again once open, before it is emptied; a FIFO cannot hang it.
    FileDescriptor fd(openat(directory, path.LastName(),
                             O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK,
                             0666));
    if (fd.Get() < 0 || fstat(fd.Get(), &info) != 0)
        return Fail(ErrorFromErrno(errno, ERROR_ACCESS_DENIED));
    if (int cause =
            S_ISREG(info.st_mode) && info.st_nlink != 1 ? kCauseHardLinks : TypeCause(info.st_mode))
        return Fail(ERROR_ACCESS_DENIED, cause);
    // No truncate to zero when empty: on ext4 it makes the close start
    // writing the contents out, which a temporary file does not need.
    if ((info.st_size != 0 && ftruncate(fd.Get(), 0) != 0) || !ClearNonBlocking(fd.Get()))
        return Fail(ErrorFromErrno(errno, ERROR_ACCESS_DENIED));
    return AddHandle(fd, name);
}

HANDLE CreateFile(LPCSTR name, DWORD access, DWORD disposition) {
    if (name != nullptr && access == GENERIC_WRITE && disposition == CREATE_ALWAYS)
        return OpenForWriting(name);
    if (name == nullptr || access != GENERIC_READ || disposition != OPEN_EXISTING)
        return Fail(ERROR_INVALID_PARAMETER);
    struct stat info {};
    DWORD error = NO_ERROR;
    FileDescriptor fd(OpenExisting(name, info, error));
    if (fd.Get() < 0)
        return Fail(error, info.st_mode != 0 ? TypeCause(info.st_mode) : 0);
    return AddHandle(fd, name);
}

// Writes all of `size` bytes; false with errno set on failure.
bool WriteAll(int fd, const char *data, std::size_t size, std::size_t &done) {
    for (done = 0; done < size;) {
        ssize_t written =
            Retrying([&] { return write(fd, data + done, std::min(size - done, kMaxTransfer)); });
        if (written == 0)
            errno = ENOSPC; // no progress and no error: nothing more fits
        if (written <= 0)
            return false;
        done += static_cast<std::size_t>(written);
    }
    return true;
}

// ReadFile and WriteFile: `move` (ReadAll or WriteAll) moves the bytes.
template <typename Byte>
BOOL Transfer(HANDLE file, Byte *buffer, DWORD size, LPDWORD done, DWORD fault,
              bool (*move)(int, Byte *, std::size_t, std::size_t &)) {
    if (done == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    *done = 0;
    const OpenFile *open = FindHandle(file);
    if (open == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    std::size_t moved = 0;
    bool ok = move(open->fd, buffer, size, moved);
    int error = errno;
    *done = static_cast<DWORD>(moved);
    if (ok)
        return TRUE;
    if (ShadowOf(open->name.c_str()) != nullptr)
        NoteInScratch();
    // EBADF: the handle was opened the other way.
    return Fail(error == EBADF ? ERROR_ACCESS_DENIED : ErrorFromErrno(error, fault));
}

// SetFilePointer as the program calls it: to `high`:`distance`.
DWORD MoveTo(HANDLE file, LONG distance, PLONG high, DWORD method) {
    const OpenFile *open = FindHandle(file);
    if (open == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    if (high == nullptr || method != FILE_BEGIN)
        return Fail(ERROR_INVALID_PARAMETER);
    auto position = (static_cast<std::uint64_t>(static_cast<std::uint32_t>(*high)) << 32) |
                    static_cast<std::uint32_t>(distance);
    if (lseek(open->fd, static_cast<off_t>(position), SEEK_SET) < 0)
        return Fail(ErrorFromErrno(errno, ERROR_INVALID_PARAMETER));
    // A position whose low part is 0xFFFFFFFF is told apart by this.
    SetLastError(NO_ERROR);
    return static_cast<DWORD>(position);
}

// Copies all of `source`, from its start, to `out`: 0 or the errno value.
int CopyAll(int source, int out) {
    for (off_t offset = 0;;) {
        ssize_t got = Retrying([&] { return pread(source, g_buffer, sizeof g_buffer, offset); });
        std::size_t done = 0;
        if (got <= 0 || !WriteAll(out, g_buffer, static_cast<std::size_t>(got), done))
            return got == 0 ? 0 : errno;
        offset += got;
    }
}

// Keeps all of `source` in the new file `path`: 0 or the errno value.
int KeepCopy(int source, const std::string &path) {
    FileDescriptor out(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (out.Get() < 0)
        return errno;
    if (int error = CopyAll(source, out.Get()); error != 0)
        return error;
    return close(out.Release()) == 0 ? 0 : errno;
}

// With a scratch directory, the old and the new contents of a copy over
// `target`, for a diff (a dry run's new ones are its `shadow` already).
KeptCopies KeepCopies(const ResolvedPath &target, bool exists, int source,
                      const std::string *shadow) {
    if (Settings().scratch.empty())
        return {};
    KeptCopies kept{target.relative, exists ? ScratchFile("old") : "",
                    shadow != nullptr ? *shadow : ScratchFile("new")};
    struct stat info {};
    DWORD error = NO_ERROR;
    FileDescriptor old(
        exists ? OpenRegularEntry(target.parent.Get(), target.LastName(), info, error) : -1);
    if (exists)
        kept.keptError = old.Get() < 0 ? EIO : KeepCopy(old.Get(), kept.before);
    if (kept.keptError == 0 && shadow == nullptr)
        kept.keptError = KeepCopy(source, kept.after);
    if (kept.keptError != 0)
        kept.after.clear();
    return kept;
}

// Creates a new file beside the target, as mkostemp does by path: mode
// 0600, a name no entry has. Returns the descriptor, or -1 with errno.
int CreateSideFile(int directory, std::string &name) {
    static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    for (std::uint64_t attempt = 0; attempt < 100; ++attempt) {
        std::uint64_t bits = 0;
        if (getrandom(&bits, sizeof bits, GRND_NONBLOCK) < 0) // a new name all the same
            bits = (static_cast<std::uint64_t>(getpid()) << 8) | attempt;
        name = ".dosprep-";
        for (int count = 0; count < 6; ++count, bits /= sizeof kLetters - 1)
            name += kLetters[bits % (sizeof kLetters - 1)];
        int fd = openat(directory, name.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

// Writes `source` into a new file beside the entry `name` of `directory`
// and renames it over the entry: it is the old file or the whole new one.
// The new file takes the mode of `like`, with `owned` its owner too.
DWORD ReplaceEntry(int directory, const char *name, int source, const struct stat &like,
                   bool owned) {
    std::string side;
    FileDescriptor out(CreateSideFile(directory, side));
    if (out.Get() < 0)
        return ErrorFromErrno(errno, ERROR_ACCESS_DENIED);
    // The owner before the mode: a change of owner clears set-id bits. Only
    // root may give a file away, and the content matters more: a failure
    // is ignored.
    int error = CopyAll(source, out.Get());
    if (error == 0 && owned && fchown(out.Get(), like.st_uid, like.st_gid) != 0) {
    }
    if (error == 0 && (fchmod(out.Get(), like.st_mode & 07777) != 0 || fsync(out.Get()) != 0 ||
                       close(out.Release()) != 0))
        error = errno;
    // The last moment to stop: an interrupted copy leaves the old file.
    if (error == 0 && Interruption() != 0)
        error = kCauseInterrupted;
    else if (error == 0 && renameat(directory, side.c_str(), directory, name) != 0)
        error = errno;
    if (error == 0) {
        // Best effort: makes the rename itself survive a crash.
        FileDescriptor fd(openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (fd.Get() >= 0)
            fsync(fd.Get());
        return NO_ERROR;
    }
    unlinkat(directory, side.c_str(), 0);
    if (error != kCauseInterrupted)
        return ErrorFromErrno(error, ERROR_WRITE_FAULT);
    NoteCause(kCauseInterrupted);
    return ERROR_OPERATION_ABORTED;
}

BOOL CopyFile(const char *existing, const char *newName, BOOL failIfExists) {
    if (existing == nullptr || newName == nullptr || failIfExists)
        return Fail(ERROR_INVALID_PARAMETER);
    struct stat sourceInfo {};
    struct stat targetInfo {};
    DWORD error = NO_ERROR;
    // A dry run's temporary file is only kept for the diff: it is not read.
    const std::string *shadow = ShadowOf(existing);
    FileDescriptor in(shadow != nullptr ? -1 : OpenExisting(existing, sourceInfo, error));
    ResolvedPath target;
    if (error != NO_ERROR ||
        (error = ResolveReplaceable(newName, target, targetInfo, false)) != NO_ERROR)
        return Fail(error);
    int directory = target.parent.Get();
    bool exists = targetInfo.st_mode != 0;
    KeptCopies kept = KeepCopies(target, exists, in.Get(), shadow);
    // A dry run only checks that the side file could be created.
    if (Settings().dryRun && !MayCreateIn(directory))
        error = ErrorFromErrno(errno, ERROR_ACCESS_DENIED);
    else if (!Settings().dryRun)
        error = ReplaceEntry(directory, target.LastName(), in.Get(),
                             exists ? targetInfo : sourceInfo, exists);
    if (error != NO_ERROR)
        return Fail(error);
    NoteCopy(std::move(kept));
    return TRUE;
}

BOOL DeleteFile(const char *name) {
    if (name == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    // A dry run's temporary file stays: a diff may show it.
    if (g_shadows.erase(UpperCased(name)) != 0)
        return TRUE;
    // Only the temporary file that the program wrote is removed: nothing
    // that Windows would refuse to remove (a directory fails: EISDIR).
    ResolvedPath path;
    if (DWORD error = ResolveDosPath(name, path); error != NO_ERROR)
        return Fail(error);
    if (!path.exists)
        return Fail(ERROR_FILE_NOT_FOUND);
    if (!Settings().dryRun && unlinkat(path.parent.Get(), path.LastName(), 0) != 0)
        return Fail(ErrorFromErrno(errno, ERROR_ACCESS_DENIED));
    return TRUE;
}

// One Win32 call, recorded under `dosPath`: nothing escapes `body` (out
// of memory, the call fails). After an interrupt only the calls that close
// and remove what the edit made run: it ends as after any failure.
// SetFilePointer's failure value is also a position: the last error tells.
template <typename Body>
auto RecordedCall(const char *call, const char *dosPath, Body body) noexcept {
    using Result = decltype(body());
    BeginCall();
    const Result failure = Failure();
    Result result = failure;
    std::string_view name = call;
    try {
        if (Interruption() != 0 && name != "CloseHandle" && name != "DeleteFileA")
            result = Fail(ERROR_OPERATION_ABORTED, kCauseInterrupted);
        else
            result = body();
    } catch (...) {
        result = Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    RecordFileCall(call, dosPath != nullptr ? dosPath : "",
                   result == failure && GetLastError() != NO_ERROR);
    return result;
}

// The DOS path of `handle`; "" for none.
const char *NameOf(HANDLE handle) {
    const OpenFile *open = FindHandle(handle);
    return open == nullptr ? "" : open->name.c_str();
}

} // namespace

} // namespace dosprep::posix

using namespace dosprep::posix;

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD, LPSECURITY_ATTRIBUTES,
                          DWORD disposition, DWORD, HANDLE) {
    return RecordedCall("CreateFileA", name, [&] { return CreateFile(name, access, disposition); });
}

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED) {
    return RecordedCall("ReadFile", NameOf(file), [&] {
        return Transfer(file, static_cast<char *>(buffer), toRead, read, ERROR_READ_FAULT, ReadAll);
    });
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED) {
    return RecordedCall("WriteFile", NameOf(file), [&] {
        return Transfer(file, static_cast<const char *>(buffer), toWrite, written,
                        ERROR_WRITE_FAULT, WriteAll);
    });
}

DWORD WINAPI SetFilePointer(HANDLE file, LONG distance, PLONG high, DWORD method) {
    return RecordedCall("SetFilePointer", NameOf(file),
                        [&] { return MoveTo(file, distance, high, method); });
}

BOOL WINAPI CloseHandle(HANDLE object) {
    // Taken out of the table first, and kept until the record names it.
    auto closing = g_handles.extract(reinterpret_cast<std::uintptr_t>(object));
    return RecordedCall("CloseHandle", closing ? closing.mapped().name.c_str() : "", [&]() -> BOOL {
        if (!closing)
            return Fail(ERROR_INVALID_HANDLE);
        // Linux frees the descriptor even when close fails: never retry it.
        if (close(closing.mapped().fd) != 0 && errno != EINTR)
            return Fail(ErrorFromErrno(errno, ERROR_WRITE_FAULT));
        return TRUE;
    });
}

BOOL WINAPI CopyFileA(LPCSTR existing, LPCSTR newName, BOOL failIfExists) {
    return RecordedCall("CopyFileA", newName,
                        [&] { return CopyFile(existing, newName, failIfExists); });
}

BOOL WINAPI DeleteFileA(LPCSTR name) {
    return RecordedCall("DeleteFileA", name, [&] { return DeleteFile(name); });
}
