// Drive C on the host: where it is, and opening paths below it without
// ever leaving it.
#include "platform/posix/drive.h"

#include "platform/posix/fat_volume.h"
#include "platform/posix/run_record.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <vector>

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace dosprep::posix {

namespace {

namespace fs = std::filesystem;

// Linux's own limit on links met while resolving one path.
constexpr int kMaxLinks = 40;

std::string WithoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

std::string EnvironmentPath(const char *name) {
    const char *value = std::getenv(name);
    return WithoutTrailingSlashes(value != nullptr ? value : "");
}

// A DRIVE argument names a Wine prefix when it holds what wineboot makes
// there, and drive C itself otherwise.
bool IsWinePrefixDirectory(const std::string &path) {
    std::error_code error;
    return fs::is_directory(JoinHostPath(path, "dosdevices"), error) ||
           fs::is_directory(JoinHostPath(path, "drive_c"), error);
}

int Failed(int error) {
    errno = error;
    return -1;
}

// The components of a host path; "." and ".." are kept, since only the
// walk knows where ".." leads. A trailing slash becomes a trailing "." so
// that what it follows must be a directory.
std::deque<std::string> SplitHostPath(std::string_view path) {
    std::deque<std::string> parts;
    std::size_t position = 0;
    while (position < path.size()) {
        std::size_t end = std::min(path.find('/', position), path.size());
        if (end > position)
            parts.emplace_back(path.substr(position, end - position));
        position = end + 1;
    }
    if (path.ends_with('/') && !parts.empty())
        parts.emplace_back(".");
    return parts;
}

bool ReadLink(int directory, const std::string &name, std::string &target) {
    target.assign(PATH_MAX, '\0');
    ssize_t length = readlinkat(directory, name.c_str(), target.data(), target.size());
    if (length < 0)
        return false;
    if (static_cast<std::size_t>(length) >= target.size()) {
        errno = ENAMETOOLONG;
        return false;
    }
    target.resize(static_cast<std::size_t>(length));
    return true;
}

// The drive's directory with every link resolved: what an absolute link
// must begin with to point inside the drive. Empty when it cannot be told;
// absolute links are then refused.
std::string CanonicalRoot(const DriveC &drive) {
    std::string path;
    std::string proc = "/proc/self/fd/" + std::to_string(drive.root.Get());
    if (ReadLink(AT_FDCWD, proc, path) && path.starts_with('/'))
        return path;
    // Without /proc: the same directory by its configured name.
    std::error_code error;
    return fs::canonical(drive.directory, error).string();
}

// For an absolute link target inside the drive, the rest of it below the
// drive's directory ("" for the directory itself). False when the target
// lies elsewhere, or its leading part cannot be matched lexically (a ".."
// before the drive's directory is reached).
bool BelowRoot(const DriveC &drive, std::string_view target, std::deque<std::string> &rest) {
    std::string root = CanonicalRoot(drive);
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

// Resolves `relative` below the drive one component at a time, never
// letting the kernel follow a link: each link is read and its target
// walked in turn. `stack` holds the directories from the drive down to
// the current one, so that ".." goes back the way the walk came.
int WalkBeneath(const DriveC &drive, std::string_view relative, int flags) {
    std::vector<FileDescriptor> stack;
    stack.emplace_back(fcntl(drive.root.Get(), F_DUPFD_CLOEXEC, 0));
    if (stack.back().Get() < 0)
        return -1;
    std::deque<std::string> pending = SplitHostPath(relative);
    int links = 0;
    while (!pending.empty()) {
        std::string name = std::move(pending.front());
        pending.pop_front();
        if (name == ".")
            continue;
        if (name == "..") {
            if (stack.size() == 1)
                return Failed(ENOENT); // above the drive
            stack.pop_back();
            continue;
        }
        int directory = stack.back().Get();
        struct stat info {};
        if (fstatat(directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
            return -1;
        if (S_ISLNK(info.st_mode)) {
            std::string target;
            if (++links > kMaxLinks)
                return Failed(ELOOP);
            if (!ReadLink(directory, name, target))
                return -1;
            std::deque<std::string> parts = SplitHostPath(target);
            if (target.starts_with('/')) {
                if (!BelowRoot(drive, target, parts))
                    return Failed(ENOENT); // outside the drive
                stack.resize(1);
            }
            pending.insert(pending.begin(), parts.begin(), parts.end());
            continue;
        }
        if (pending.empty()) // O_NOFOLLOW: a link swapped in now fails
            return openat(directory, name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
        stack.emplace_back(
            openat(directory, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (stack.back().Get() < 0)
            return -1;
    }
    return openat(stack.back().Get(), ".", flags | O_CLOEXEC);
}

// openat2 with RESOLVE_BENEATH: the kernel refuses every ".." above the
// drive and every absolute link. RESOLVE_IN_ROOT would not do: it takes
// "../outside" for the drive's own "outside" and an absolute link for a
// path below the drive, so a link out of the drive would lead somewhere
// it does not lead on Wine instead of being refused.
int OpenAt2Beneath(int root, const char *path, int flags) {
    open_how how{};
    how.flags = static_cast<std::uint64_t>(static_cast<unsigned>(flags | O_CLOEXEC));
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    return static_cast<int>(syscall(SYS_openat2, root, path, &how, sizeof how));
}

} // namespace

std::string JoinHostPath(const std::string &directory, std::string_view name) {
    std::string path = directory;
    if (!path.empty() && path.back() != '/')
        path += '/';
    return path.append(name);
}

bool OpenDriveC(DriveC &drive) {
    drive = DriveC{};
    std::string given = WithoutTrailingSlashes(Settings().drive);
    if (given.empty())
        drive.directory = EnvironmentPath("DOSPREP_DRIVE_C");
    else if (!IsWinePrefixDirectory(given))
        drive.directory = given;
    if (drive.directory.empty()) {
        drive.winePrefix = given.empty() ? EnvironmentPath("WINEPREFIX") : given;
        std::string home = EnvironmentPath("HOME");
        if (drive.winePrefix.empty() && !home.empty())
            drive.winePrefix = JoinHostPath(home, ".wine");
        if (drive.winePrefix.empty())
            return false;
        // Wine's drive C is wherever this link leads; drive_c is only
        // where wineboot makes it lead.
        std::string device = JoinHostPath(drive.winePrefix, "dosdevices/c:");
        std::error_code error;
        bool linked = fs::exists(fs::symlink_status(device, error));
        drive.directory = linked ? device : JoinHostPath(drive.winePrefix, "drive_c");
    }
    drive.root = FileDescriptor(open(drive.directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    drive.onFat = drive.root.Get() >= 0 && IsOnFat(drive.root.Get());
    return drive.root.Get() >= 0;
}

int OpenBeneath(const DriveC &drive, std::string_view relative, int flags) {
    std::string path = relative.empty() ? std::string(".") : std::string(relative);
    int fd = OpenAt2Beneath(drive.root.Get(), path.c_str(), flags);
    // ENOSYS: a kernel before 5.6; EPERM: a seccomp filter that does not
    // know the call; EXDEV: a link leading out, or an absolute link that
    // the walk may find to point inside after all. The walk tells which.
    if (fd >= 0 || (errno != ENOSYS && errno != EPERM && errno != EXDEV))
        return fd;
    return WalkBeneath(drive, path, flags);
}

} // namespace dosprep::posix
