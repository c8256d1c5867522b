// Preloaded into the program by the fault tests: read(2) fails with EIO
// on the file whose path ends in $DOSPREP_FAULT_FILE once its position has
// reached $DOSPREP_FAULT_AFTER bytes, as a failing disk would. With
// $DOSPREP_STOP_FILE and $DOSPREP_STOP_AFTER instead, the program stops
// itself (SIGSTOP) there once, so that a test knows where it stands.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dlfcn.h>
#include <unistd.h>

namespace {

using ReadFunction = ssize_t (*)(int, void *, size_t);

bool EndsWith(const char *text, const char *suffix) {
    std::size_t textLength = std::strlen(text), suffixLength = std::strlen(suffix);
    return textLength >= suffixLength && std::strcmp(text + textLength - suffixLength, suffix) == 0;
}

// Whether a read of `fd` is at the point that the variables name.
bool AtPoint(int fd, const char *fileVariable, const char *afterVariable) {
    const char *file = std::getenv(fileVariable);
    const char *after = std::getenv(afterVariable);
    if (file == nullptr || after == nullptr)
        return false;
    char link[64], target[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t length = readlink(link, target, sizeof target - 1);
    if (length <= 0)
        return false;
    target[length] = '\0';
    return EndsWith(target, file) && lseek(fd, 0, SEEK_CUR) >= std::atoll(after);
}

} // namespace

extern "C" ssize_t read(int fd, void *buffer, size_t count) {
    static auto real = reinterpret_cast<ReadFunction>(dlsym(RTLD_NEXT, "read"));
    static bool stopped = false;
    if (!stopped && AtPoint(fd, "DOSPREP_STOP_FILE", "DOSPREP_STOP_AFTER")) {
        stopped = true;
        raise(SIGSTOP);
    }
    if (AtPoint(fd, "DOSPREP_FAULT_FILE", "DOSPREP_FAULT_AFTER")) {
        errno = EIO;
        return -1;
    }
    return real(fd, buffer, count);
}
