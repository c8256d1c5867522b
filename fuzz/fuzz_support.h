// What both fuzz targets share: failing loudly, showing bytes, writing the
// input file and a scratch drive C of their own.
#pragma once

#include "escaped.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>

#include <stdlib.h>

namespace fuzz {

// The target's name, for messages; each target defines it.
extern const char *const kTargetName;

[[noreturn]] inline void Fail(const char *what) {
    std::fprintf(stderr, "%s: property violated: %s\n", kTargetName, what);
    std::abort();
}

using testutil::Escaped;

inline void WriteFile(const std::filesystem::path &path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush())
        Fail("cannot write the input file (harness)");
}

// A fresh directory under $TMPDIR made drive C for the whole run, and
// removed when the process exits.
inline std::filesystem::path MakeScratchDrive() {
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" +
                          kTargetName + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    static std::filesystem::path drive;
    drive = pattern;
    setenv("DOSPREP_DRIVE_C", pattern.c_str(), 1);
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(drive, ignored);
    });
    return drive;
}

} // namespace fuzz
