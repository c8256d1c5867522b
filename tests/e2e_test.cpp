// The built program on whole trees: each case lays out a drive C, runs
// the program on it and compares every file of the tree afterwards.
#include "e2e_cases.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using testutil::Describe;
using testutil::Tree;

namespace {

using e2e::EndToEndCase;
using e2e::With;

testutil::ProgramResult RunNative(const std::string &drive, const EndToEndCase &c) {
    std::vector<std::string> argv = {DOSPREP_EXE};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    std::map<std::string, std::string> set = {{"DOSPREP_DRIVE_C", drive}};
    if (c.windir)
        set["DOSPREP_WINDIR"] = *c.windir;
    return testutil::RunProgram(argv, set, {"DOSPREP_WINDIR", "WINEPREFIX"});
}

TEST(EndToEndTest, NativeProgram) {
    for (const EndToEndCase &c : e2e::Cases()) {
        SCOPED_TRACE(c.name);
        testutil::TempDir drive;
        testutil::MakeTree(drive.Path(), c.before);
        Tree expected = With(testutil::SnapshotTree(drive.Path()), c.changed);
        for (int run = 1; run <= 2; ++run) {
            testutil::ProgramResult result = RunNative(drive.Path(), c);
            EXPECT_EQ(result.exitCode, 0) << "run " << run;
            EXPECT_EQ(result.signal, 0) << "run " << run;
            EXPECT_EQ(result.output, "") << "run " << run;
            EXPECT_EQ(Describe(testutil::SnapshotTree(drive.Path())), Describe(expected))
                << "after run " << run;
        }
    }
}

TEST(EndToEndTest, MissingDriveIsNotAnError) {
    testutil::TempDir scratch;
    EndToEndCase c{"no drive", {}, {}, std::nullopt, {}};
    testutil::ProgramResult result = RunNative(scratch / "absent", c);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.output, "");
    EXPECT_FALSE(testutil::Exists(scratch / "absent"));
}

} // namespace
