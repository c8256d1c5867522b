// The few C library functions that the compiler calls on its own, for
// block copies and for the header-only pieces of the standard library, in
// a program linked without a C runtime. Plain byte loops: this file is
// compiled with -fno-builtin -fno-tree-loop-distribute-patterns, so that
// they are not turned back into calls to themselves.
#include <cstddef>

extern "C" {

void *memcpy(void *destination, const void *source, std::size_t count) {
    auto *to = static_cast<unsigned char *>(destination);
    const auto *from = static_cast<const unsigned char *>(source);
    while (count-- != 0)
        *to++ = *from++;
    return destination;
}

void *memmove(void *destination, const void *source, std::size_t count) {
    auto *to = static_cast<unsigned char *>(destination);
    const auto *from = static_cast<const unsigned char *>(source);
    if (to <= from || to >= from + count)
        return memcpy(destination, source, count);
    while (count-- != 0)
        to[count] = from[count];
    return destination;
}

void *memset(void *destination, int value, std::size_t count) {
    auto *to = static_cast<unsigned char *>(destination);
    while (count-- != 0)
        *to++ = static_cast<unsigned char>(value);
    return destination;
}

int memcmp(const void *left, const void *right, std::size_t count) {
    const auto *a = static_cast<const unsigned char *>(left);
    const auto *b = static_cast<const unsigned char *>(right);
    for (; count != 0; --count, ++a, ++b) {
        if (*a != *b)
            return *a < *b ? -1 : 1;
    }
    return 0;
}

void *memchr(const void *text, int value, std::size_t count) {
    const auto *at = static_cast<const unsigned char *>(text);
    for (; count != 0; --count, ++at) {
        if (*at == static_cast<unsigned char>(value))
            return const_cast<unsigned char *>(at);
    }
    return nullptr;
}

std::size_t strlen(const char *text) {
    std::size_t length = 0;
    while (text[length] != '\0')
        ++length;
    return length;
}
}
