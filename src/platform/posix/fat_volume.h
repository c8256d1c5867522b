// FAT volumes mounted by the Linux kernel: the 8.3 names stored on the
// volume and the DOS attributes of its files, which the kernel tells only
// through the FAT driver's ioctls (ioctl_fat(2)). Private to
// src/platform/posix.
#pragma once

#include <string>
#include <vector>

#include <sys/stat.h>

namespace dosprep::posix {

// Whether `fd` (O_PATH too) lies on a FAT file system; false when that
// cannot be told.
bool IsOnFat(int fd);

// An entry of a directory: its name and its 8.3 name in upper case.
struct DirectoryEntry {
    std::string name, shortName;
};

// The entries of the directory `directory` (any descriptor of it) on a
// FAT file system, without "." and "..": the long name (the 8.3 name as
// the mount shows it when there is none) and the stored 8.3 name. Returns
// 0 or the errno value. May throw std::bad_alloc.
int ListFatDirectory(int directory, std::vector<DirectoryEntry> &entries);

// Why the entry `name` of `directory`, whose lstat is `info`, may not be
// replaced by CopyFileA or CreateFileA, as Windows refuses it: kCauseReadOnly,
// kCauseHidden or kCauseSystem for a regular file with that DOS attribute
// on a FAT volume; else 0, also when its attributes cannot be read. Asks
// the file system of each device once.
int AttributeCause(int directory, const char *name, const struct stat &info);

} // namespace dosprep::posix
