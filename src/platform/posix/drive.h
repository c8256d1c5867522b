// Drive C on the host: where it is, and opening paths below it without
// ever leaving it. Private to src/platform/posix.
#pragma once

#include "platform/posix/descriptor.h"

#include <string>
#include <string_view>

namespace dosprep::posix {

// Drive C, as the DRIVE argument or the environment gives it at the time
// of the call (in drive.cpp). An empty variable counts as unset; trailing
// slashes are dropped.
//   - the DRIVE argument (run_record.h): a Wine prefix, taken as
//     $WINEPREFIX is below, when it holds a directory dosdevices or
//     drive_c; else drive C itself;
//   - $DOSPREP_DRIVE_C;
//   - else the Wine prefix $WINEPREFIX, or $HOME/.wine: the directory that
//     its dosdevices/c: leads to, or its drive_c when there is no
//     dosdevices/c: at all.
struct DriveC {
    std::string directory;  // as configured; empty when nothing is
    std::string winePrefix; // the prefix it was found through, else empty
    FileDescriptor root;    // O_PATH descriptor of the directory, links to it followed
    bool onFat = false;     // whether that directory lies on a FAT file system
};

// Locates drive C, opens its directory and asks its file system. Returns
// false when no drive is configured or its directory cannot be opened
// (root stays -1).
bool OpenDriveC(DriveC &drive);

// Opens `relative` ('/'-separated, "" for the drive itself) below drive C
// with open(2) `flags` (O_CREAT excluded; O_CLOEXEC is added). Symbolic
// links are followed only while they stay inside the drive: ".." never
// climbs above it, and an absolute link counts only when it names a place
// inside the drive's own directory. Resolution goes from descriptor to
// descriptor (openat2 with RESOLVE_BENEATH, or an O_NOFOLLOW walk where the
// kernel lacks openat2), so a link swapped in meanwhile cannot lead out.
// Returns the descriptor, or -1 with errno set; a path that would leave
// the drive fails with ENOENT, as a missing one does.
int OpenBeneath(const DriveC &drive, std::string_view relative, int flags);

// `directory` + "/" + `name`, without doubling a slash; `name` alone when
// `directory` is empty.
std::string JoinHostPath(const std::string &directory, std::string_view name);

} // namespace dosprep::posix
