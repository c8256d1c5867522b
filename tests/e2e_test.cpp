// The built program on whole trees: each case lays out a drive C, runs
// the program on it and compares every file of the tree afterwards.
#include "e2e_cases.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>

using testutil::Describe;
using testutil::Tree;

namespace {

namespace fs = std::filesystem;
using e2e::EndToEndCase;
using e2e::With;

// Whatever a run writes or creates, it stamps with the time: a tree dated
// long ago shows any write, even one undone within the run.
constexpr std::time_t kLongAgo = 946684800; // 2000-01-01

void Age(const std::string &root) {
    const timespec times[2] = {{kLongAgo, 0}, {kLongAgo, 0}};
    utimensat(AT_FDCWD, root.c_str(), times, AT_SYMLINK_NOFOLLOW);
    for (const auto &entry : fs::recursive_directory_iterator(root))
        utimensat(AT_FDCWD, entry.path().c_str(), times, AT_SYMLINK_NOFOLLOW);
}

// The entries written since Age, one a line.
std::string Written(const std::string &root) {
    std::string written;
    auto check = [&written](const fs::path &path) {
        struct stat info {};
        if (lstat(path.c_str(), &info) != 0 || info.st_mtim.tv_sec != kLongAgo)
            written += path.string() + "\n";
    };
    check(root);
    for (const auto &entry : fs::recursive_directory_iterator(root))
        check(entry.path());
    return written;
}

std::string Placed(std::string text, const std::string &drive) {
    for (std::size_t at = text.find("{drive}"); at != std::string::npos;
         at = text.find("{drive}", at + drive.size()))
        text.replace(at, 7, drive);
    return text;
}

bool NamesTheDrive(const EndToEndCase &c) {
    for (const std::string &arg : c.nativeArgs)
        if (arg.find("{drive}") != std::string::npos)
            return true;
    return false;
}

void ExpectPrinted(const std::string &printed, const std::string &expected) {
    if (expected.ends_with("..."))
        EXPECT_TRUE(printed.starts_with(expected.substr(0, expected.size() - 3))) << printed;
    else
        EXPECT_EQ(testutil::Escaped(printed), testutil::Escaped(expected));
}

// The program on `drive`, which DOSPREP_DRIVE_C names unless the case's
// arguments do; it then names `other`.
testutil::ProgramResult RunNative(const std::string &drive, const std::string &other,
                                  const EndToEndCase &c) {
    std::vector<std::string> argv = {DOSPREP_EXE};
    for (const std::string &arg : c.nativeArgs)
        argv.push_back(Placed(arg, drive));
    std::map<std::string, std::string> set = {
        {"DOSPREP_DRIVE_C", NamesTheDrive(c) ? other : drive}};
    if (c.windir)
        set["DOSPREP_WINDIR"] = *c.windir;
    return testutil::RunProgram(argv, set, {"DOSPREP_WINDIR", "WINEPREFIX"});
}

TEST(EndToEndTest, NativeProgram) {
    for (const EndToEndCase &c : e2e::Cases()) {
        SCOPED_TRACE(c.name);
        testutil::TempDir base;
        std::string drive = fs::canonical(base.Path()).string() + "/drive", other = base / "other";
        testutil::MakeTree(drive, c.before);
        testutil::MakeTree(other, c.before);
        Age(drive);
        Tree expected = With(testutil::SnapshotTree(drive), c.changed);
        Tree otherBefore = testutil::SnapshotTree(other);
        for (int run = 1; run <= 2; ++run) {
            SCOPED_TRACE("run " + std::to_string(run));
            testutil::ProgramResult result = RunNative(drive, other, c);
            EXPECT_EQ(result.exitCode, c.status);
            EXPECT_EQ(result.signal, 0);
            // A second run has nothing left to change, nor a diff to show.
            bool changedBefore =
                run == 2 && std::count(c.nativeArgs.begin(), c.nativeArgs.end(), "--diff") != 0;
            ExpectPrinted(result.standardOutput, changedBefore ? "" : Placed(c.printed, drive));
            EXPECT_EQ(result.standardError, Placed(c.errors, drive));
            EXPECT_EQ(Describe(testutil::SnapshotTree(drive)), Describe(expected));
            EXPECT_EQ(Describe(testutil::SnapshotTree(other)), Describe(otherBefore));
            // A run that changes nothing writes nothing, not even a
            // temporary file.
            if (c.changed.empty()) {
                EXPECT_EQ(Written(drive), "");
            }
        }
    }
}

TEST(EndToEndTest, MissingDriveIsReported) {
    testutil::TempDir scratch;
    EndToEndCase c{"no drive", {}, {}, std::nullopt, {}};
    testutil::ProgramResult result = RunNative(scratch / "absent", "", c);
    EXPECT_EQ(result.exitCode, 1);
    std::string why = "no drive C at " + scratch / "absent" + " (No such file or directory)";
    EXPECT_EQ(result.output,
              Placed(e2e::NotMade("C:\\AUTOEXEC.BAT", "autoexec.bat", why) +
                         e2e::NotMade("C:\\WINDOWS\\DOSSTART.BAT", "WINDOWS/dosstart.bat", why),
                     scratch / "absent"));
    EXPECT_FALSE(testutil::Exists(scratch / "absent"));
}

} // namespace
