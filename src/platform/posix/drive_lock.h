// One run at a time on a drive C: the native command's lock, an flock on
// drive C's own directory, so that no file of its own enters the tree.
// Private to src/platform/posix.
#pragma once

#include "platform/posix/descriptor.h"
#include "platform/posix/drive.h"

#include <string>

namespace dosprep::posix {

enum class LockOutcome { Taken, Busy, Interrupted, Failed };

struct DriveLock {
    FileDescriptor fd;  // held until it goes; the lock goes with it
    std::string holder; // Busy: "process N (name)" holding it at the end, or ""
    int error = 0;      // Failed: the errno value
};

// How long a run waits for the one before it.
constexpr int kLockWaitSeconds = 60;

// Locks drive C: exclusive for a run that writes, shared for one that only
// reads (a dry run), so that it reads the tree whole between two runs.
// Waits at most kLockWaitSeconds for a run that holds it; an interrupt
// (interrupts.h) ends the wait.
LockOutcome LockDriveC(const DriveC &drive, bool shared, DriveLock &lock);

} // namespace dosprep::posix
