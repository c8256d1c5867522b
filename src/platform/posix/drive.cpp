// Opening paths below drive C without ever leaving it.
#include "platform/posix/dos_path.h"

#include <climits>
#include <cstdint>
#include <filesystem>

#include <linux/openat2.h>
#include <sys/syscall.h>

namespace dosprep::posix {

namespace {

int Failed(int error) {
    errno = error;
    return -1;
}

// Takes the first component off `path` ('/'-separated), leaving the slash
// that ended it; "" when none is left.
std::string TakeComponent(std::string &path) {
    std::size_t start = std::min(path.find_first_not_of('/'), path.size());
    std::size_t end = std::min(path.find('/', start), path.size());
    std::string name = path.substr(start, end - start);
    path.erase(0, end);
    return name;
}

// Takes the drive's directory, links resolved, off the start of the
// absolute link target `target`; false when the target lies elsewhere,
// has a ".." before that, or the directory cannot be told.
bool TakeRoot(const DriveC &drive, std::string &target) {
    std::error_code error;
    std::string root =
        std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(drive.root.Get()), error);
    if (!root.starts_with('/')) // without /proc: the configured name, resolved
        root = std::filesystem::canonical(drive.directory, error).string();
    if (!root.starts_with('/'))
        return false;
    for (std::string component; !(component = TakeComponent(root)).empty();) {
        std::string name = ".";
        while (name == ".")
            name = TakeComponent(target);
        if (name != component)
            return false;
    }
    return true;
}

// Resolves `pending` one component at a time, each link read and its
// target walked in turn, never followed by the kernel. `stack` holds the
// directories from the drive down, so that ".." goes back the way it came;
// after a trailing slash the last component is a directory on the way.
int WalkBeneath(const DriveC &drive, std::string pending, int flags) {
    std::vector<FileDescriptor> stack;
    stack.emplace_back(fcntl(drive.root.Get(), F_DUPFD_CLOEXEC, 0));
    if (stack.back().Get() < 0)
        return -1;
    for (int links = 0; !pending.empty();) {
        std::string name = TakeComponent(pending);
        if (name == ".." && stack.size() == 1)
            return Failed(ENOENT); // above the drive
        if (name == "..")
            stack.pop_back();
        if (name.empty() || name == "." || name == "..")
            continue;
        int directory = stack.back().Get();
        struct stat info {};
        if (fstatat(directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
            return -1;
        if (S_ISLNK(info.st_mode)) {
            if (++links > 40) // Linux's own limit
                return Failed(ELOOP);
            char buffer[PATH_MAX];
            ssize_t length = readlinkat(directory, name.c_str(), buffer, sizeof buffer);
            if (length < 0 || length >= PATH_MAX)
                return length < 0 ? -1 : Failed(ENAMETOOLONG);
            std::string target(buffer, static_cast<std::size_t>(length));
            bool absolute = target.starts_with('/');
            if (absolute && !TakeRoot(drive, target))
                return Failed(ENOENT); // outside the drive
            if (absolute)
                stack.resize(1);
            pending = target + pending;
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
    // ENOSYS: a kernel before 5.6; EPERM: a seccomp filter; EXDEV: a link
    // leading out, or an absolute one that may lead inside: the walk tells.
    if (fd >= 0 || (errno != ENOSYS && errno != EPERM && errno != EXDEV))
        return fd;
    return WalkBeneath(drive, std::move(path), flags);
}

} // namespace dosprep::posix
