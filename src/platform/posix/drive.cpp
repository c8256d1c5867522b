// Opening paths below drive C without ever leaving it.
#include "platform/posix/dos_path.h"

#include <climits>
#include <cstdint>
#include <deque>
#include <filesystem>

#include <linux/openat2.h>
#include <sys/syscall.h>

namespace dosprep::posix {

namespace {

int Failed(int error) {
    errno = error;
    return -1;
}

// The components of a host path, "." and ".." kept: only the walk knows
// where ".." leads. A trailing slash becomes a trailing ".", so that what
// it follows must be a directory.
std::deque<std::string> SplitHostPath(std::string_view path) {
    std::deque<std::string> parts;
    for (std::size_t position = 0; position < path.size();) {
        std::size_t end = std::min(path.find('/', position), path.size());
        if (end > position)
            parts.emplace_back(path.substr(position, end - position));
        position = end + 1;
    }
    if (path.ends_with('/') && !parts.empty())
        parts.emplace_back(".");
    return parts;
}

// For an absolute link target, the rest of it below the drive's directory
// with every link resolved. False when it lies elsewhere, when that
// directory cannot be told, or when a ".." comes before it is reached.
bool BelowRoot(const DriveC &drive, std::string_view target, std::deque<std::string> &rest) {
    std::error_code error;
    std::string root =
        std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(drive.root.Get()), error);
    if (!root.starts_with('/')) // without /proc: the configured name, resolved
        root = std::filesystem::canonical(drive.directory, error).string();
    if (root.empty())
        return false;
    rest = SplitHostPath(target);
    for (const std::string &component : SplitHostPath(root)) {
        while (!rest.empty() && rest.front() == ".")
            rest.pop_front();
        if (rest.empty() || rest.front() != component)
            return false;
        rest.pop_front();
    }
    return true;
}

// Resolves `relative` one component at a time, never letting the kernel
// follow a link: each link is read and its target walked in turn. `stack`
// holds the directories from the drive down, so that ".." goes back the
// way the walk came.
int WalkBeneath(const DriveC &drive, std::string_view relative, int flags) {
    std::vector<FileDescriptor> stack;
    stack.emplace_back(fcntl(drive.root.Get(), F_DUPFD_CLOEXEC, 0));
    if (stack.back().Get() < 0)
        return -1;
    std::deque<std::string> pending = SplitHostPath(relative);
    for (int links = 0; !pending.empty();) {
        std::string name = std::move(pending.front());
        pending.pop_front();
        if (name == ".." && stack.size() == 1)
            return Failed(ENOENT); // above the drive
        if (name == "..")
            stack.pop_back();
        if (name == "." || name == "..")
            continue;
        int directory = stack.back().Get();
        struct stat info {};
        if (fstatat(directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
            return -1;
        if (S_ISLNK(info.st_mode)) {
            if (++links > 40) // Linux's own limit
                return Failed(ELOOP);
            char target[PATH_MAX];
            ssize_t length = readlinkat(directory, name.c_str(), target, sizeof target);
            if (length < 0 || length >= PATH_MAX)
                return length < 0 ? -1 : Failed(ENAMETOOLONG);
            std::string_view text(target, static_cast<std::size_t>(length));
            std::deque<std::string> parts = SplitHostPath(text);
            if (text.starts_with('/') && !BelowRoot(drive, text, parts))
                return Failed(ENOENT); // outside the drive
            if (text.starts_with('/'))
                stack.resize(1);
            pending.insert(pending.begin(), parts.begin(), parts.end());
        } else if (pending.empty()) { // O_NOFOLLOW: a link swapped in now fails
            return openat(directory, name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
        } else {
            stack.emplace_back(
                openat(directory, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (stack.back().Get() < 0)
                return -1;
        }
    }
    return openat(stack.back().Get(), ".", flags | O_CLOEXEC);
}

} // namespace

std::string JoinHostPath(const std::string &directory, std::string_view name) {
    std::string path = directory;
    if (!path.empty() && path.back() != '/')
        path += '/';
    return path.append(name);
}

int OpenBeneath(const DriveC &drive, std::string_view relative, int flags) {
    std::string path = relative.empty() ? std::string(".") : std::string(relative);
    // RESOLVE_BENEATH refuses every ".." above the drive and every absolute
    // link. (RESOLVE_IN_ROOT would take an absolute link or "../outside"
    // for a path below the drive, where Wine would not lead.)
    open_how how{};
    how.flags = static_cast<std::uint64_t>(static_cast<unsigned>(flags | O_CLOEXEC));
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    int fd =
        static_cast<int>(syscall(SYS_openat2, drive.root.Get(), path.c_str(), &how, sizeof how));
    // ENOSYS: a kernel before 5.6; EPERM: a seccomp filter that does not
    // know the call; EXDEV: a link leading out, or an absolute link that
    // may point inside after all. The walk tells which.
    if (fd >= 0 || (errno != ENOSYS && errno != EPERM && errno != EXDEV))
        return fd;
    return WalkBeneath(drive, path, flags);
}

} // namespace dosprep::posix
