// The Windows program's image: a PE32 GUI-subsystem program for Windows 4.0
// that imports only what is on the reviewed list (functions that Windows
// 95's KERNEL32 and msvcrt already export).
#include "test_util.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace {

std::string Win32Exe() {
    const char *exe = std::getenv("DOSPREP_WIN32_EXE");
    return exe && *exe ? exe : DOSPREP_SOURCE_DIR "/build/win32/dosprep.exe";
}

// objdump -p of the image, or empty (with the test skipped or failed).
std::string PrivateHeaders() {
    std::string exe = Win32Exe();
    std::string objdump = "/usr/bin/i686-w64-mingw32-objdump";
    if (!std::filesystem::exists(exe) || !std::filesystem::exists(objdump))
        return "";
    return testutil::RunProgram({objdump, "-p", exe}, {}).output;
}

// "DLL function" a line, as the allow-list holds them.
std::set<std::string> Imports(const std::string &headers) {
    std::set<std::string> imports;
    std::istringstream lines(headers);
    std::string dll;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string first, second, third;
        words >> first >> second >> third;
        if (first == "DLL" && second == "Name:")
            dll = third;
        else if (!dll.empty() && line.starts_with("\t") && !third.empty() &&
                 first.find_first_not_of("0123456789abcdef") == std::string::npos &&
                 second.find_first_not_of("0123456789") == std::string::npos)
            imports.insert(dll + " " + third);
        else if (line.empty())
            dll.clear();
    }
    return imports;
}

class PeImageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        headers_ = PrivateHeaders();
        if (!headers_.empty())
            return;
        const char *ci = std::getenv("CI");
        if (ci && std::string(ci) == "true")
            FAIL() << "cannot read " << Win32Exe() << " with i686-w64-mingw32-objdump";
        GTEST_SKIP() << "SKIPPED: no " << Win32Exe() << " or no i686-w64-mingw32-objdump";
    }
    std::string headers_;
};

TEST_F(PeImageTest, IsA32BitGuiProgramForWindows4) {
    for (const char *field : {"Magic\t\t\t010b\t(PE32)", "Subsystem\t\t00000002\t(Windows GUI)",
                              "MajorOSystemVersion\t4", "MinorOSystemVersion\t0",
                              "MajorSubsystemVersion\t4", "MinorSubsystemVersion\t0"})
        EXPECT_NE(headers_.find(field), std::string::npos) << field;
}

TEST_F(PeImageTest, ImportsOnlyTheReviewedFunctions) {
    std::set<std::string> allowed;
    std::ifstream list(DOSPREP_SOURCE_DIR "/tests/win32_imports.txt");
    for (std::string line; std::getline(list, line);)
        if (!line.empty() && !line.starts_with('#'))
            allowed.insert(line);
    ASSERT_FALSE(allowed.empty());
    std::set<std::string> imports = Imports(headers_);
    ASSERT_GT(imports.size(), 10u) << headers_;
    for (const std::string &import : imports) {
        EXPECT_TRUE(allowed.count(import)) << "not on tests/win32_imports.txt: " << import;
        EXPECT_TRUE(import.starts_with("KERNEL32.dll ") || import.starts_with("msvcrt.dll "))
            << import;
    }
}

} // namespace
