// FAT volumes mounted by Linux: the stored 8.3 names and DOS attributes,
// which only the FAT driver's ioctls tell (ioctl_fat(2)). Private to
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

// The entries of the FAT directory open for reading as `fd`, from where
// it stands, but "." and "..": the long name (else the 8.3 name as the
// mount shows it) and the stored 8.3 name. 0 or errno; may throw
// std::bad_alloc.
int ListFatDirectory(int fd, std::vector<DirectoryEntry> &entries);

// Why Windows would refuse to replace the entry `name` of `directory`
// (lstat `info`) by CopyFileA or CreateFileA: kCauseReadOnly, kCauseHidden
// or kCauseSystem for a regular file with that DOS attribute on FAT; else
// 0, also when its attributes cannot be read.
int AttributeCause(int directory, const char *name, const struct stat &info);

} // namespace dosprep::posix
