// File handles and whole-file operations on DOS paths. Whatever they
// open, create, rename or remove lies inside drive C: each works relative
// to the descriptor of a directory that ResolveDosPath opened below the
// drive, and a path leading out fails as a missing one does. A dry run
// writes into the scratch directory instead, and leaves the tree as it is.
// Each call's outcome goes into the run's record (run_record.h).
#include "platform/posix/ascii.h"
#include "platform/posix/dos_path.h"
#include "platform/posix/errors.h"
#include "platform/posix/fat_volume.h"
#include "platform/posix/interrupts.h"
#include "platform/posix/run_record.h"
#include "platform/win32_api.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dosprep::posix {

namespace {

// What a failed call returns: it converts to the failure value of
// whichever Win32 call returns it.
struct Failure {
    operator HANDLE() const { return INVALID_HANDLE_VALUE; }
    operator BOOL() const { return FALSE; }
    operator DWORD() const { return INVALID_SET_FILE_POINTER; }
};

// Sets the last error, and notes `cause` (an errno or kCause value) when
// there is one.
Failure Fail(DWORD error, int cause = 0) {
    if (cause != 0)
        NoteCause(cause);
    SetLastError(error);
    return {};
}

struct HandleEntry {
    int fd;
    std::string name;       // the DOS path it was opened with, for the record
    bool inScratch = false; // a dry run's temporary file
};
using HandleMap = std::map<std::uintptr_t, HandleEntry>;

// Handles are numbers never handed out twice, so a stale or foreign
// handle is refused instead of reaching whatever descriptor now has its
// number. The program runs on one thread: nothing is locked.
HandleMap g_handles;

const HandleEntry *FindHandle(HANDLE handle) noexcept {
    auto found = g_handles.find(reinterpret_cast<std::uintptr_t>(handle));
    return found == g_handles.end() ? nullptr : &found->second;
}

// The DOS path of `handle`; "" for none.
const char *NameOf(HANDLE handle) noexcept {
    const HandleEntry *entry = FindHandle(handle);
    return entry == nullptr ? "" : entry->name.c_str();
}

HANDLE AddHandle(FileDescriptor &fd, const char *name, bool inScratch = false) {
    // Multiples of 4 from 4 on: never nullptr, never INVALID_HANDLE_VALUE.
    static std::uintptr_t last = 0;
    g_handles.emplace(last + 4, HandleEntry{fd.Get(), name, inScratch});
    fd.Release();
    last += 4;
    return reinterpret_cast<HANDLE>(last);
}

// The temporary files of a dry run, which live in the scratch directory:
// the file of each DOS path as the program gives it, upper-cased.
std::map<std::string, std::string> g_shadows;

// The scratch file of the dry run's temporary file `name`; nullptr when
// it has none.
const std::string *ShadowOf(const char *name) {
    auto found = g_shadows.find(UpperCased(name));
    return found == g_shadows.end() ? nullptr : &found->second;
}

// The read-only attribute is honoured even for root, as on Windows.
bool IsReadOnlyFile(const struct stat &info) {
    return S_ISREG(info.st_mode) && (info.st_mode & S_IWUSR) == 0;
}

// Why Windows refuses to replace the existing entry `name` of `directory`
// (its lstat `info`): a read-only, hidden or system file; else 0.
int RefusedAttributes(int directory, const char *name, const struct stat &info) {
    return IsReadOnlyFile(info) ? kCauseReadOnly : AttributeCause(directory, name, info);
}

// Why an entry that is no regular file cannot be used as one.
int NotAFile(const struct stat &info) {
    if (S_ISDIR(info.st_mode))
        return kCauseDirectory;
    return S_ISLNK(info.st_mode) ? kCauseSymbolicLink : kCauseNotRegular;
}

// Why the entry `info` may not be emptied and written through its name;
// 0 when it may. Another hard link would see its file emptied too.
int WhyNotWritable(const struct stat &info) {
    if (!S_ISREG(info.st_mode))
        return NotAFile(info);
    return info.st_nlink != 1 ? kCauseHardLinks : 0;
}

// The cause of a failed open for writing: O_NOFOLLOW met a link (ELOOP),
// or the name is a directory, a FIFO or a device without its driver.
int WriteOpenCause(int error) {
    if (error == ELOOP)
        return kCauseSymbolicLink;
    if (error == EISDIR)
        return kCauseDirectory;
    return error == ENXIO ? kCauseNotRegular : error;
}

// A file of its own in the scratch directory, never one of the tree.
std::string ScratchFile(const char *kind) {
    static std::atomic<unsigned> count{0};
    return JoinHostPath(Settings().scratch, std::string(kind) + "-" + std::to_string(++count));
}

// Whether a new entry could be made in `directory`, as far as can be told
// without making one.
bool MayCreateIn(int directory) {
    return faccessat(directory, ".", W_OK | X_OK, AT_EACCESS) == 0;
}

// A dry run's temporary file: the checks that the tree's would meet, then
// a file in the scratch directory.
HANDLE OpenShadow(const char *name, const ResolvedPath &path, const struct stat *existing) {
    if (int cause = existing != nullptr ? WhyNotWritable(*existing) : 0; cause != 0)
        return Fail(ERROR_ACCESS_DENIED, cause);
    if (existing == nullptr && !MayCreateIn(path.parent.Get()))
        return Fail(ErrorFromErrno(errno, ERROR_ACCESS_DENIED));
    std::string shadow = ScratchFile("new");
    g_shadows[UpperCased(name)] = shadow;
    FileDescriptor fd(open(shadow.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (fd.Get() < 0) {
        NoteInScratch();
        return Fail(ErrorFromErrno(errno, ERROR_ACCESS_DENIED));
    }
    return AddHandle(fd, name, true);
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
    if (fd.Get() >= 0)
        return AddHandle(fd, name);
    bool notAFile = error == ERROR_ACCESS_DENIED && info.st_mode != 0 && !S_ISREG(info.st_mode);
    return Fail(error, notAFile ? NotAFile(info) : 0);
}

HANDLE OpenForWriting(const char *name) {
    ResolvedPath path;
    if (DWORD error = ResolveDosPath(name, path); error != NO_ERROR)
        return Fail(error);
    struct stat before {};
    bool exists = fstatat(path.parent.Get(), path.LastName(), &before, AT_SYMLINK_NOFOLLOW) == 0;
    if (int cause = exists ? RefusedAttributes(path.parent.Get(), path.LastName(), before) : 0)
        return Fail(ERROR_ACCESS_DENIED, cause);
    if (Settings().dryRun)
        return OpenShadow(name, path, exists ? &before : nullptr);
    // No O_TRUNC: whatever is found must be checked before it is emptied.
    FileDescriptor fd(openat(path.parent.Get(), path.LastName(),
                             O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK,
                             0666));
    if (fd.Get() < 0)
        return Fail(ErrorFromErrno(errno, ERROR_ACCESS_DENIED), WriteOpenCause(errno));
    struct stat info {};
    if (fstat(fd.Get(), &info) != 0)
        return Fail(ErrorFromErrno(errno, ERROR_ACCESS_DENIED));
    if (int cause = WhyNotWritable(info); cause != 0)
        return Fail(ERROR_ACCESS_DENIED, cause);
    // An empty file is not truncated: on ext4 a truncate to zero makes the
    // close start writing the new contents out, which a temporary file
    // deleted moments later does not need.
    bool emptied = info.st_size == 0 || ftruncate(fd.Get(), 0) == 0;
    if (!emptied || !ClearNonBlocking(fd.Get()))
        return Fail(ErrorFromErrno(errno, ERROR_ACCESS_DENIED));
    return AddHandle(fd, name);
}

HANDLE OpenFile(LPCSTR name, DWORD access, DWORD disposition) {
    if (name != nullptr && access == GENERIC_READ && disposition == OPEN_EXISTING)
        return OpenForReading(name);
    if (name != nullptr && access == GENERIC_WRITE && disposition == CREATE_ALWAYS)
        return OpenForWriting(name);
    return Fail(ERROR_INVALID_PARAMETER);
}

// Writes all of `size` bytes; false with errno set on failure.
bool WriteAll(int fd, const char *data, std::size_t size, std::size_t &done) {
    for (done = 0; done < size;) {
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

// The error of a failed read or write; EBADF: the handle was opened the
// other way.
DWORD TransferError(int error, DWORD fault) {
    return error == EBADF ? ERROR_ACCESS_DENIED : ErrorFromErrno(error, fault);
}

// ReadFile and WriteFile: `transfer` (ReadAll or WriteAll) moves the bytes.
template <typename Byte>
BOOL TransferOnHandle(HANDLE file, Byte *buffer, DWORD size, LPDWORD done, LPOVERLAPPED overlapped,
                      DWORD fault, bool (*transfer)(int, Byte *, std::size_t, std::size_t &)) {
    if (done != nullptr)
        *done = 0;
    const HandleEntry *entry = FindHandle(file);
    if (entry == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    if (overlapped != nullptr || (buffer == nullptr && size != 0))
        return Fail(ERROR_INVALID_PARAMETER);
    std::size_t moved = 0;
    bool ok = transfer(entry->fd, buffer, size, moved);
    int error = errno;
    if (done != nullptr)
        *done = static_cast<DWORD>(moved);
    if (!ok && entry->inScratch)
        NoteInScratch();
    if (!ok)
        return Fail(TransferError(error, fault));
    return TRUE;
}

constexpr std::size_t kBufferSize = 64 * 1024;

// Whether copy_file_range cannot copy between these files at all.
bool KernelCannotCopy(int error) {
    return error == ENOSYS || error == EXDEV || error == EINVAL || error == EOPNOTSUPP ||
           error == EBADF;
}

// Copies all of `source`, from its start whatever its position, into
// `out`: in the kernel where the file system allows it, else through
// `buffer`. Returns 0, or the errno value of the read (`inRead` set) or
// the write that failed.
int CopyFromStart(int source, int out, std::span<char> buffer, bool &inRead) {
    inRead = false;
    loff_t from = 0;
    ssize_t copied = 0;
    do {
        copied =
            Retrying([&] { return copy_file_range(source, &from, out, nullptr, kMaxTransfer, 0); });
    } while (copied > 0);
    if (copied == 0)
        return 0;
    if (from != 0 || !KernelCannotCopy(errno))
        return errno;
    for (off_t offset = 0;;) {
        ssize_t got = Retrying([&] { return pread(source, buffer.data(), buffer.size(), offset); });
        inRead = got < 0;
        if (got <= 0)
            return got < 0 ? errno : 0;
        std::size_t done = 0;
        if (!WriteAll(out, buffer.data(), static_cast<std::size_t>(got), done))
            return errno;
        offset += got;
    }
}

// Copies `source` into the side file `fd` and makes it durable.
DWORD CopyContents(int source, int fd, std::span<char> buffer) {
    bool inRead = false;
    if (int cause = CopyFromStart(source, fd, buffer, inRead); cause != 0)
        return inRead ? ErrorFromErrno(cause, ERROR_READ_FAULT)
                      : TransferError(cause, ERROR_WRITE_FAULT);
    if (fsync(fd) != 0)
        return ErrorFromErrno(errno, ERROR_WRITE_FAULT);
    return NO_ERROR;
}

// Keeps all of `source` in the new file `path`. Returns 0 or the errno
// value.
int KeepCopy(int source, const std::string &path, std::span<char> buffer) {
    FileDescriptor out(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (out.Get() < 0)
        return errno;
    bool inRead = false;
    if (int error = CopyFromStart(source, out.Get(), buffer, inRead); error != 0)
        return error;
    return close(out.Release()) == 0 ? 0 : errno;
}

// Best effort: makes the rename itself survive a crash.
void SyncDirectory(int directory) {
    FileDescriptor fd(openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.Get() >= 0)
        fsync(fd.Get());
}

// Six characters for a side file's name, as mkstemp would pick them.
std::string RandomSuffix() {
    static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    constexpr std::uint64_t kBase = sizeof kLetters - 1;
    // Without the kernel's randomness: a sequence of this process's own.
    static std::uint64_t sequence = static_cast<std::uint64_t>(getpid()) * 2654435761u;
    std::uint64_t bits = 0;
    if (getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits))
        bits = (sequence = sequence * 6364136223846793005u + 1442695040888963407u) >> 16;
    std::string suffix;
    for (int count = 0; count < 6; ++count, bits /= kBase)
        suffix += kLetters[bits % kBase];
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
// directory, else the file on the drive. Returns the descriptor, or -1
// with `error` set.
int OpenCopySource(const char *existing, struct stat &info, DWORD &error) {
    if (const std::string *shadow = ShadowOf(existing)) {
        FileDescriptor fd(open(shadow->c_str(), O_RDONLY | O_CLOEXEC));
        if (fd.Get() >= 0 && fstat(fd.Get(), &info) == 0)
            return fd.Release();
        error = ErrorFromErrno(errno, ERROR_ACCESS_DENIED);
        return -1;
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

// With a scratch directory, the copies kept of a copy over `target`: its
// old contents and the new ones (a dry run's are its temporary file's
// scratch file already), for a diff.
KeptCopies KeepCopies(const ResolvedPath &target, bool targetExists, int source,
                      const std::string *shadow, std::span<char> buffer) {
    KeptCopies kept;
    if (Settings().scratch.empty())
        return kept;
    kept.relative = target.relative;
    if (targetExists) {
        struct stat info {};
        DWORD error = NO_ERROR;
        FileDescriptor old(OpenRegularEntry(target.parent.Get(), target.LastName(), info, error));
        kept.before = ScratchFile("old");
        kept.keptError = old.Get() < 0 ? EIO : KeepCopy(old.Get(), kept.before, buffer);
    }
    kept.after = shadow != nullptr ? *shadow : "";
    if (kept.keptError == 0 && kept.after.empty()) {
        kept.after = ScratchFile("new");
        kept.keptError = KeepCopy(source, kept.after, buffer);
    }
    if (kept.keptError != 0)
        kept.after.clear();
    return kept;
}

// Writes all of `source` into a new file beside the entry `name` of
// `directory` and renames it over that entry, so that the entry is either
// the old file or the whole new one. The new file takes the mode of
// `like`, and with `owned` its owner and group too.
DWORD ReplaceEntry(int directory, const char *name, int source, const struct stat &like, bool owned,
                   std::span<char> buffer) {
    std::string side;
    FileDescriptor out(CreateSideFile(directory, side));
    if (out.Get() < 0)
        return ErrorFromErrno(errno, ERROR_ACCESS_DENIED);
    DWORD error = CopyContents(source, out.Get(), buffer);
    // Before fchmod: a change of owner clears set-id bits. Only root may
    // give a file away, and the content matters more: a failure is ignored.
    if (error == NO_ERROR && owned && fchown(out.Get(), like.st_uid, like.st_gid) != 0) {
    }
    if (error == NO_ERROR && fchmod(out.Get(), like.st_mode & 07777) != 0)
        error = ErrorFromErrno(errno, ERROR_ACCESS_DENIED);
    if (error == NO_ERROR && close(out.Release()) != 0)
        error = ErrorFromErrno(errno, ERROR_WRITE_FAULT);
    // The last moment to stop: an interrupted copy leaves the old file.
    if (error == NO_ERROR && Interruption() != 0) {
        NoteCause(kCauseInterrupted);
        error = ERROR_OPERATION_ABORTED;
    }
    if (error == NO_ERROR && renameat(directory, side.c_str(), directory, name) != 0)
        error = ErrorFromErrno(errno, ERROR_ACCESS_DENIED);
    if (error != NO_ERROR)
        unlinkat(directory, side.c_str(), 0);
    else
        SyncDirectory(directory);
    return error;
}

BOOL CopyFile(const char *existing, const char *newName, BOOL failIfExists) {
    if (existing == nullptr || newName == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    struct stat sourceInfo {};
    DWORD openError = NO_ERROR;
    FileDescriptor in(OpenCopySource(existing, sourceInfo, openError));
    if (in.Get() < 0)
        return Fail(openError);

    ResolvedPath target;
    if (DWORD error = ResolveDosPath(newName, target); error != NO_ERROR)
        return Fail(error);
    int directory = target.parent.Get();
    struct stat targetInfo {};
    bool targetExists =
        fstatat(directory, target.LastName(), &targetInfo, AT_SYMLINK_NOFOLLOW) == 0;
    if (!targetExists && errno != ENOENT)
        return Fail(ErrorFromErrno(errno, ERROR_ACCESS_DENIED));
    if (targetExists && failIfExists)
        return Fail(ERROR_FILE_EXISTS);
    // A link, a directory or a device is not ours to replace.
    if (targetExists && !S_ISREG(targetInfo.st_mode))
        return Fail(ERROR_ACCESS_DENIED, NotAFile(targetInfo));
    if (int cause = targetExists ? RefusedAttributes(directory, target.LastName(), targetInfo) : 0)
        return Fail(ERROR_ACCESS_DENIED, cause);
    // Allocated first: from the side file's creation on, nothing may throw
    // past its removal.
    std::vector<char> buffer(kBufferSize);
    KeptCopies kept = KeepCopies(target, targetExists, in.Get(), ShadowOf(existing), buffer);
    DWORD error = NO_ERROR;
    // A dry run only checks that the side file could be created.
    if (Settings().dryRun && !MayCreateIn(directory))
        error = ErrorFromErrno(errno, ERROR_ACCESS_DENIED);
    else if (!Settings().dryRun)
        error = ReplaceEntry(directory, target.LastName(), in.Get(),
                             targetExists ? targetInfo : sourceInfo, targetExists, buffer);
    if (error != NO_ERROR)
        return Fail(error);
    RecordCopy(newName, std::move(kept));
    return TRUE;
}

BOOL DeleteFile(const char *name) {
    if (name == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    // A dry run's temporary file stays: a diff may show it.
    if (g_shadows.erase(UpperCased(name)) != 0)
        return TRUE;
    ResolvedPath path;
    if (DWORD error = ResolveDosPath(name, path); error != NO_ERROR)
        return Fail(error);
    if (!path.exists)
        return Fail(ERROR_FILE_NOT_FOUND);
    struct stat info {};
    if (fstatat(path.parent.Get(), path.LastName(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return Fail(ErrorFromErrno(errno, ERROR_ACCESS_DENIED));
    if (S_ISDIR(info.st_mode))
        return Fail(ERROR_ACCESS_DENIED, kCauseDirectory);
    if (IsReadOnlyFile(info))
        return Fail(ERROR_ACCESS_DENIED, kCauseReadOnly);
    if (!Settings().dryRun && unlinkat(path.parent.Get(), path.LastName(), 0) != 0)
        return Fail(ErrorFromErrno(errno, ERROR_ACCESS_DENIED));
    return TRUE;
}

DWORD MoveHandle(HANDLE file, LONG distance, PLONG high, DWORD method) {
    const HandleEntry *entry = FindHandle(file);
    if (entry == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    // With `high` the distance is the signed 64-bit high:low; without it,
    // the signed 32-bit low part alone.
    std::int64_t move = distance;
    if (high != nullptr)
        move = static_cast<std::int64_t>((std::uint64_t{static_cast<std::uint32_t>(*high)} << 32) |
                                         static_cast<std::uint32_t>(distance));
    struct stat info {};
    std::int64_t origin = 0;
    if (method == FILE_CURRENT)
        origin = lseek(entry->fd, 0, SEEK_CUR);
    else if (method == FILE_END)
        origin = fstat(entry->fd, &info) == 0 ? info.st_size : -1;
    else if (method != FILE_BEGIN)
        return Fail(ERROR_INVALID_PARAMETER);
    if (origin < 0)
        return Fail(ErrorFromErrno(errno, ERROR_INVALID_PARAMETER));
    // The target is checked before moving, so a refused move moves nothing.
    if ((move > 0 && origin > std::numeric_limits<std::int64_t>::max() - move) || origin + move < 0)
        return Fail(move > 0 ? ERROR_INVALID_PARAMETER : ERROR_NEGATIVE_SEEK);
    std::int64_t target = origin + move;
    if (high == nullptr && target > 0xFFFFFFFFll)
        return Fail(ERROR_INVALID_PARAMETER); // cannot be told without `high`
    off_t moved = lseek(entry->fd, static_cast<off_t>(target), SEEK_SET);
    if (moved < 0)
        return Fail(ErrorFromErrno(errno, ERROR_INVALID_PARAMETER));
    auto position = static_cast<std::uint64_t>(moved);
    if (high != nullptr)
        *high = static_cast<LONG>(static_cast<std::uint32_t>(position >> 32));
    // A position whose low part is 0xFFFFFFFF is told apart by this.
    SetLastError(NO_ERROR);
    return static_cast<DWORD>(position & 0xFFFFFFFFu);
}

// Whether `call` still runs after an interrupt: only those that close and
// remove what the edit made do, so that the edit ends as after any failure.
bool RunsAfterInterrupt(std::string_view call) {
    return call == "CloseHandle" || call == "DeleteFileA";
}

// One Win32 call: `body` runs with nothing escaping it (running out of
// memory fails the call), and a failure is recorded under `dosPath`.
// SetFilePointer's failure value is also a position: the last error tells
// them apart, and every other failure sets one.
template <typename Body>
auto RecordedCall(const char *call, const char *dosPath, Body body) noexcept {
    using Result = decltype(body());
    BeginCall();
    const Result failure = Failure();
    Result result = failure;
    try {
        if (Interruption() != 0 && !RunsAfterInterrupt(call))
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

} // namespace

} // namespace dosprep::posix

using namespace dosprep::posix;

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD, LPSECURITY_ATTRIBUTES,
                          DWORD disposition, DWORD, HANDLE) {
    return RecordedCall("CreateFileA", name, [&] { return OpenFile(name, access, disposition); });
}

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read,
                     LPOVERLAPPED overlapped) {
    return RecordedCall("ReadFile", NameOf(file), [&] {
        return TransferOnHandle(file, static_cast<char *>(buffer), toRead, read, overlapped,
                                ERROR_READ_FAULT, ReadAll);
    });
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written,
                      LPOVERLAPPED overlapped) {
    return RecordedCall("WriteFile", NameOf(file), [&] {
        return TransferOnHandle(file, static_cast<const char *>(buffer), toWrite, written,
                                overlapped, ERROR_WRITE_FAULT, WriteAll);
    });
}

DWORD WINAPI SetFilePointer(HANDLE file, LONG distance, PLONG high, DWORD method) {
    return RecordedCall("SetFilePointer", NameOf(file),
                        [&] { return MoveHandle(file, distance, high, method); });
}

BOOL WINAPI CloseHandle(HANDLE object) {
    // Taken out of the table first, and kept until the record names it.
    HandleMap::node_type closing = g_handles.extract(reinterpret_cast<std::uintptr_t>(object));
    const char *name = closing ? closing.mapped().name.c_str() : "";
    return RecordedCall("CloseHandle", name, [&]() -> BOOL {
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
