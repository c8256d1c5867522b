#include "platform/posix/drive_lock.h"

#include "platform/posix/interrupts.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>

#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace dosprep::posix {

namespace {

void Tick(int) {}

// SIGALRM wakes a waiting flock each second, so that an interrupt or the
// end of the wait is seen however a signal falls between check and call.
void CatchTicks() {
    struct sigaction action {};
    action.sa_handler = Tick;
    sigemptyset(&action.sa_mask);
    sigaction(SIGALRM, &action, nullptr);
}

long long Now() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec;
}

// The process that holds an flock on `fd`'s file, as /proc/locks names
// it ("1: FLOCK  ADVISORY  WRITE 4242 08:01:1234 0 EOF"; waiters are the
// lines with "->"), with its name: "process 4242 (dosprep)". "" when
// none is listed.
std::string LockHolder(int fd) {
    struct stat info {};
    if (fstat(fd, &info) != 0)
        return "";
    char file[64];
    std::snprintf(file, sizeof file, "%02x:%02x:%llu", major(info.st_dev), minor(info.st_dev),
                  static_cast<unsigned long long>(info.st_ino));
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        std::istringstream words(line);
        std::string number, kind, mode, access, pid, id;
        if (words >> number >> kind >> mode >> access >> pid >> id && kind == "FLOCK" &&
            id == file) {
            std::string name;
            std::getline(std::ifstream("/proc/" + pid + "/comm"), name);
            return "process " + pid + (name.empty() ? "" : " (" + name + ")");
        }
    }
    return "";
}

} // namespace

LockOutcome LockDriveC(const DriveC &drive, bool shared, DriveLock &lock) {
    // flock needs a descriptor that is no O_PATH one.
    lock.fd = FileDescriptor(openat(drive.root.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    int operation = shared ? LOCK_SH : LOCK_EX;
    if (lock.fd.Get() >= 0 && flock(lock.fd.Get(), operation | LOCK_NB) == 0)
        return LockOutcome::Taken;
    if (lock.fd.Get() < 0 || errno != EWOULDBLOCK) {
        lock.error = errno;
        return LockOutcome::Failed;
    }
    CatchTicks();
    for (long long end = Now() + kLockWaitSeconds;;) {
        if (Interruption() != 0)
            return LockOutcome::Interrupted;
        if (Now() >= end) {
            lock.holder = LockHolder(lock.fd.Get());
            return LockOutcome::Busy;
        }
        alarm(1);
        int locked = flock(lock.fd.Get(), operation);
        int error = errno;
        alarm(0);
        if (locked == 0)
            return LockOutcome::Taken;
        if (error != EINTR) {
            lock.error = error;
            return LockOutcome::Failed;
        }
    }
}

} // namespace dosprep::posix
