#include "platform/posix/fat_volume.h"

#include "platform/posix/ascii.h"
#include "platform/posix/descriptor.h"
#include "platform/posix/run_record.h"

#include <linux/magic.h>
#include <linux/msdos_fs.h>
#include <sys/ioctl.h>
#include <sys/vfs.h>

namespace dosprep::posix {

bool IsOnFat(int fd) {
    struct statfs info {};
    return fstatfs(fd, &info) == 0 && info.f_type == MSDOS_SUPER_MAGIC;
}

int ListFatDirectory(int fd, std::vector<DirectoryEntry> &entries) {
    entries.clear();
    __fat_dirent both[2]{};
    for (;;) {
        both[0].d_reclen = 0;
        both[1].d_name[0] = '\0';
        // One entry a call: 1, then 0 at the end (older kernels: d_reclen 0).
        int got = ioctl(fd, VFAT_IOCTL_READDIR_BOTH, both);
        if (got < 0)
            return errno == ENOENT ? 0 : errno; // ENOENT: the directory was removed
        if (got == 0 || both[0].d_reclen == 0)
            return 0;
        // The 8.3 name comes in the case that the mount's shortname= shows,
        // the long name empty when the entry has none, and cut at 255 bytes
        // (a longer one could not be part of a DOS path anyway).
        std::string_view shown = both[0].d_name, longName = both[1].d_name;
        if (shown != "." && shown != "..")
            entries.push_back(
                {std::string(longName.empty() ? shown : longName), UpperCased(shown)});
    }
}

int AttributeCause(int directory, const char *name, const struct stat &info) {
    if (!S_ISREG(info.st_mode) || !IsOnFat(directory))
        return 0;
    FileDescriptor fd(
        openat(directory, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    __u32 attributes = 0;
    if (fd.Get() < 0 || !IsOnFat(fd.Get()) ||
        ioctl(fd.Get(), FAT_IOCTL_GET_ATTRIBUTES, &attributes) != 0)
        return 0;
    if (attributes & ATTR_RO)
        return kCauseReadOnly;
    if (attributes & ATTR_HIDDEN)
        return kCauseHidden;
    return (attributes & ATTR_SYS) ? kCauseSystem : 0;
}

} // namespace dosprep::posix
