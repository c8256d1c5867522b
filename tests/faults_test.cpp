// The built program under faults and hostile input: it must lose nothing,
// write nothing it should not, never die of a signal, and name on stderr
// each edit that it could not make.
#include "e2e_cases.h"
#include "platform/posix/descriptor.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace fs = std::filesystem;
using e2e::NotMade;
using testutil::Escaped;
using testutil::ReadBytes;

namespace {

const std::string kBlaster = "SET  BLASTER=A220 I5  D1 T4\r\n";
const std::string kOldAutoexec = "@ECHO OFF\r\nSET BLASTER=A240 I7 D3 T6\r\nPATH C:\\DOS\r\n";
const std::string kNewAutoexec = "@ECHO OFF\r\nPATH C:\\DOS\r\n" + kBlaster;
const std::string kOldDosstart = "@ECHO OFF\r\n";
const std::string kNewDosstart = "@ECHO OFF\r\nC:\\WINDOWS\\audprep.exe /S\r\n";

// Both edits not made, for drive C is not there.
std::string NoDrive(const std::string &why) {
    std::string reason = "no drive C at {drive} (" + why + ")";
    return NotMade("C:\\AUTOEXEC.BAT", "autoexec.bat", reason) +
           NotMade("C:\\WINDOWS\\DOSSTART.BAT", "WINDOWS/dosstart.bat", reason);
}

// `text` with "{drive}" replaced by `drive`, and "{tmp}" by `tmp`.
std::string Placed(std::string text, const std::string &drive, const std::string &tmp = "") {
    for (const auto &[key, value] : {std::pair{"{drive}", drive}, {"{tmp}", tmp}})
        for (std::size_t at = text.find(key); at != std::string::npos;
             at = text.find(key, at + value.size()))
            text.replace(at, std::strlen(key), value);
    return text;
}

const testutil::Tree kDrive = {{"AUTOEXEC.BAT", kOldAutoexec},
                               {"WINDOWS/SYSTEM/", ""},
                               {"WINDOWS/WIN.INI", "[intl]\r\nsLanguage=enu\r\n"},
                               {"WINDOWS/DOSSTART.BAT", kOldDosstart}};

class FaultTest : public ::testing::Test {
  protected:
    testutil::TempDir drive;

    void SetUp() override { testutil::MakeTree(drive.Path(), kDrive); }

    // Runs the program on the drive, with the file-size limit `fileLimit`
    // (a full disk) when given, and checks how it ended: status 1 with
    // exactly `errors` on stderr ("{drive}" standing for the drive's real
    // directory), or status 0 in silence when there are none.
    void Run(const std::string &errors, std::map<std::string, std::string> env = {},
             rlim_t fileLimit = RLIM_INFINITY, testutil::Kernel kernel = testutil::Kernel::AsItIs) {
        if (!env.count("DOSPREP_DRIVE_C"))
            env["DOSPREP_DRIVE_C"] = drive.Path();
        testutil::ProgramResult result = testutil::RunProgram(
            {DOSPREP_EXE}, env, {"WINEPREFIX", "DOSPREP_WINDIR"}, {kernel, fileLimit});
        EXPECT_EQ(result.signal, 0);
        EXPECT_EQ(result.exitCode, errors.empty() ? 0 : 1);
        EXPECT_EQ(result.output,
                  Placed(errors, fs::weakly_canonical(env["DOSPREP_DRIVE_C"]).string()));
    }

    std::string Autoexec() { return ReadBytes(drive / "AUTOEXEC.BAT").value_or("<missing>"); }
    std::string Dosstart() {
        return ReadBytes(drive / "WINDOWS/DOSSTART.BAT").value_or("<missing>");
    }
    void ExpectNoTemporaryFiles() {
        EXPECT_FALSE(testutil::Exists(drive / "autoexec.tmp"));
        EXPECT_FALSE(testutil::Exists(drive / "WINDOWS/dosstart.tmp"));
        for (const auto &entry : fs::recursive_directory_iterator(drive.Path()))
            EXPECT_FALSE(entry.path().filename().string().starts_with(".dosprep")) << entry.path();
    }
};

TEST_F(FaultTest, ReadOnlyAutoexecIsLeftAsItWas) {
    fs::permissions(drive / "AUTOEXEC.BAT", fs::perms::owner_read | fs::perms::group_read);
    Run(NotMade("C:\\AUTOEXEC.BAT", "AUTOEXEC.BAT", "read-only"));
    EXPECT_EQ(Escaped(Autoexec()), Escaped(kOldAutoexec));
    EXPECT_EQ(fs::status(drive / "AUTOEXEC.BAT").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::group_read);
    EXPECT_EQ(Escaped(Dosstart()), Escaped(kNewDosstart));
    ExpectNoTemporaryFiles();
}

// As under `ulimit -f 8`: the program ignores SIGXFSZ itself.
TEST_F(FaultTest, FileSizeLimitLeavesTheTargetAndGoesOn) {
    std::string big = kOldAutoexec + std::string(200000, 'x') + "\r\n";
    testutil::WriteBytes(drive / "AUTOEXEC.BAT", big);
    Run(NotMade("C:\\AUTOEXEC.BAT", "AUTOEXEC.BAT", "file too large"), {}, 8 * 1024);
    EXPECT_EQ(Autoexec(), big);
    EXPECT_EQ(Escaped(Dosstart()), Escaped(kNewDosstart));
    ExpectNoTemporaryFiles();
}

TEST_F(FaultTest, ReadErrorLeavesTheTargetAndGoesOn) {
    std::string big = kOldAutoexec + std::string(200000, 'x') + "\r\n";
    testutil::WriteBytes(drive / "AUTOEXEC.BAT", big);
    Run(NotMade("C:\\AUTOEXEC.BAT", "AUTOEXEC.BAT", "unreadable (Input/output error)"),
        {{"LD_PRELOAD", DOSPREP_READ_FAULT_SHIM},
         {"DOSPREP_FAULT_FILE", "/AUTOEXEC.BAT"},
         {"DOSPREP_FAULT_AFTER", "65536"},
         {"ASAN_OPTIONS", "verify_asan_link_order=0"}});
    EXPECT_EQ(Autoexec(), big);
    EXPECT_EQ(Escaped(Dosstart()), Escaped(kNewDosstart));
    ExpectNoTemporaryFiles();
}

TEST_F(FaultTest, LinkPlantedAtTheTemporaryFileIsNotWrittenThrough) {
    testutil::WriteBytes(drive / "victim", "precious\r\n");
    fs::create_symlink(drive / "victim", drive / "autoexec.tmp");
    fs::create_symlink(drive / "nowhere", drive / "WINDOWS/dosstart.tmp");
    Run(NotMade("C:\\AUTOEXEC.BAT", "AUTOEXEC.BAT",
                "cannot create C:\\AUTOEXEC.TMP (a symbolic link)") +
        NotMade("C:\\WINDOWS\\DOSSTART.BAT", "WINDOWS/DOSSTART.BAT",
                "cannot create C:\\WINDOWS\\DOSSTART.TMP (a symbolic link)"));
    EXPECT_EQ(ReadBytes(drive / "victim"), "precious\r\n");
    EXPECT_FALSE(testutil::Exists(drive / "nowhere"));
    EXPECT_EQ(Escaped(Autoexec()), Escaped(kOldAutoexec));
    EXPECT_EQ(Escaped(Dosstart()), Escaped(kOldDosstart));
}

// Trees come from archives and images made by others, and the program is
// often run as root: whatever links a tree holds, nothing outside drive C
// is written, created or read, and links inside it work.
TEST_F(FaultTest, SymbolicLinks) {
    using Plant = std::function<std::string(const std::string &drive, const std::string &outside)>;
    // Moves `relative` out of the drive and leaves a link to it.
    auto moveOut = [](const std::string &relative, bool absolute) {
        return [relative, absolute](const std::string &driveC, const std::string &outside) {
            fs::create_directories(fs::path(outside + "/" + relative).parent_path());
            fs::rename(driveC + "/" + relative, outside + "/" + relative);
            fs::path target = outside + "/" + relative;
            if (!absolute)
                target = fs::relative(target, fs::path(driveC + "/" + relative).parent_path());
            fs::create_symlink(target, driveC + "/" + relative);
            return driveC;
        };
    };
    const std::string japanese = "@ECHO OFF\r\nCHCP 437\r\nC:\\WINDOWS\\audprep.exe /S\r\nJP\r\n";
    // A link leading out counts as missing.
    auto neither = [](const std::string &reason, const std::string &dosstartHost) {
        return NotMade("C:\\AUTOEXEC.BAT", "AUTOEXEC.BAT", reason) +
               NotMade("C:\\WINDOWS\\DOSSTART.BAT", dosstartHost, reason);
    };
    const std::string noWindows =
        neither("no Windows directory C:\\WINDOWS", "WINDOWS/dosstart.bat");
    struct Case {
        const char *name;
        Plant plant;            // returns DOSPREP_DRIVE_C
        testutil::Tree changed; // what the run must write; every other entry stays
        std::string errors = "";
    };
    const Case cases[] = {
        {"Windows directory linked out", moveOut("WINDOWS", false), {}, noWindows},
        {"Windows directory linked out, absolute", moveOut("WINDOWS", true), {}, noWindows},
        {"system directory linked out",
         moveOut("WINDOWS/SYSTEM", false),
         {},
         neither("no system directory (SYSTEM32 or SYSTEM) in C:\\WINDOWS",
                 "WINDOWS/DOSSTART.BAT")},
        {"AUTOEXEC.BAT linked out",
         moveOut("AUTOEXEC.BAT", false),
         {{"WINDOWS/DOSSTART.BAT", kNewDosstart}},
         NotMade("C:\\AUTOEXEC.BAT", "AUTOEXEC.BAT", "a symbolic link")},
        {"DOSSTART.BAT linked out, absolute",
         moveOut("WINDOWS/DOSSTART.BAT", true),
         {{"AUTOEXEC.BAT", kNewAutoexec}},
         NotMade("C:\\WINDOWS\\DOSSTART.BAT", "WINDOWS/DOSSTART.BAT", "a symbolic link")},
        {"Japanese WIN.INI linked out",
         [&moveOut](const std::string &driveC, const std::string &outside) {
             moveOut("WINDOWS/WIN.INI", false)(driveC, outside);
             testutil::WriteBytes(outside + "/WINDOWS/WIN.INI", "[intl]\r\nsLanguage=jpn\r\n");
             return driveC;
         },
         {{"AUTOEXEC.BAT", kNewAutoexec}, {"WINDOWS/DOSSTART.BAT", kNewDosstart}}},
        {"autoexec.tmp linked to a file outside",
         [](const std::string &driveC, const std::string &outside) {
             testutil::WriteBytes(outside + "/victim", "precious\r\n");
             fs::create_symlink(outside + "/victim", driveC + "/autoexec.tmp");
             return driveC;
         },
         {{"WINDOWS/DOSSTART.BAT", kNewDosstart}},
         NotMade("C:\\AUTOEXEC.BAT", "AUTOEXEC.BAT",
                 "cannot create C:\\AUTOEXEC.TMP (a symbolic link)")},
        {"dosstart.tmp linked to a missing file outside",
         [](const std::string &driveC, const std::string &) {
             fs::create_symlink("../../outside/new", driveC + "/WINDOWS/dosstart.tmp");
             return driveC;
         },
         {{"AUTOEXEC.BAT", kNewAutoexec}},
         NotMade("C:\\WINDOWS\\DOSSTART.BAT", "WINDOWS/DOSSTART.BAT",
                 "cannot create C:\\WINDOWS\\DOSSTART.TMP (a symbolic link)")},
        {"out of the drive and back in",
         [](const std::string &driveC, const std::string &) {
             fs::rename(driveC + "/WINDOWS", driveC + "/WIN98");
             fs::create_symlink("../drive/WIN98", driveC + "/WINDOWS");
             return driveC;
         },
         {},
         noWindows},
        {"Windows directory linked inside",
         [](const std::string &driveC, const std::string &) {
             fs::rename(driveC + "/WINDOWS", driveC + "/WIN98");
             fs::create_symlink("WIN98", driveC + "/WINDOWS");
             return driveC;
         },
         {{"AUTOEXEC.BAT", kNewAutoexec}, {"WIN98/DOSSTART.BAT", kNewDosstart}}},
        {"Windows directory linked inside, absolute, Japanese",
         [](const std::string &driveC, const std::string &) {
             fs::rename(driveC + "/WINDOWS", driveC + "/WIN98");
             testutil::WriteBytes(driveC + "/WIN98/WIN.INI", "[intl]\r\nsLanguage=jpn\r\n");
             fs::create_symlink(driveC + "/WIN98", driveC + "/WINDOWS");
             return driveC;
         },
         {{"AUTOEXEC.BAT", kNewAutoexec}, {"WIN98/DOSSTART.BAT", japanese}}},
        {"drive C itself a link",
         [](const std::string &driveC, const std::string &) {
             fs::create_symlink("drive", driveC + "-link");
             return driveC + "-link";
         },
         {{"AUTOEXEC.BAT", kNewAutoexec}, {"WINDOWS/DOSSTART.BAT", kNewDosstart}}},
    };
    for (testutil::Kernel kernel : {testutil::Kernel::AsItIs, testutil::Kernel::WithoutOpenat2}) {
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(c.name) +
                         (kernel == testutil::Kernel::AsItIs ? "" : ", without openat2"));
            testutil::TempDir base;
            std::string driveC = base / "drive", outside = base / "outside";
            testutil::MakeTree(driveC, kDrive);
            fs::create_directories(outside);
            std::string configured = c.plant(driveC, outside);
            testutil::Tree outsideBefore = testutil::SnapshotTree(outside);
            testutil::Tree expected = e2e::With(testutil::SnapshotTree(driveC), c.changed);
            Run(c.errors, {{"DOSPREP_DRIVE_C", configured}}, RLIM_INFINITY, kernel);
            EXPECT_EQ(testutil::Describe(testutil::SnapshotTree(outside)),
                      testutil::Describe(outsideBefore));
            EXPECT_EQ(testutil::Describe(testutil::SnapshotTree(driveC)),
                      testutil::Describe(expected));
        }
    }
}

TEST_F(FaultTest, DirectoriesWhereBatchFilesShouldBe) {
    fs::remove(drive / "AUTOEXEC.BAT");
    fs::remove(drive / "WINDOWS/DOSSTART.BAT");
    fs::create_directories(drive / "AUTOEXEC.BAT/sub");
    fs::create_directories(drive / "WINDOWS/DOSSTART.BAT");
    Run(NotMade("C:\\AUTOEXEC.BAT", "AUTOEXEC.BAT", "a directory") +
        NotMade("C:\\WINDOWS\\DOSSTART.BAT", "WINDOWS/DOSSTART.BAT", "a directory"));
    EXPECT_TRUE(fs::is_directory(drive / "AUTOEXEC.BAT/sub"));
    EXPECT_TRUE(fs::is_directory(drive / "WINDOWS/DOSSTART.BAT"));
    ExpectNoTemporaryFiles();
}

TEST_F(FaultTest, DriveThatIsAFileOrMissing) {
    testutil::WriteBytes(drive / "plain", "not a directory");
    Run(NoDrive("Not a directory"), {{"DOSPREP_DRIVE_C", drive / "plain"}});
    EXPECT_EQ(ReadBytes(drive / "plain"), "not a directory");
    Run(NoDrive("No such file or directory"), {{"DOSPREP_DRIVE_C", drive / "missing"}});
    EXPECT_FALSE(testutil::Exists(drive / "missing"));
    EXPECT_EQ(Autoexec(), kOldAutoexec);
}

TEST_F(FaultTest, WindowsDirectoryPastThePathLimitTouchesNothing) {
    std::string dos = "C:\\WINDOWS";
    std::string host = drive / "WINDOWS";
    while (dos.size() <= 260) {
        dos += "\\ABCDEFGH";
        host += "/ABCDEFGH";
    }
    fs::create_directories(host + "/SYSTEM");
    testutil::WriteBytes(host + "/WIN.INI", "[intl]\r\nsLanguage=jpn\r\n");
    testutil::Tree before = testutil::SnapshotTree(drive.Path());
    const std::string why = "path past the limit of 259 characters";
    Run(NotMade("C:\\AUTOEXEC.BAT", "AUTOEXEC.BAT", why) +
            NotMade(dos + "\\DOSSTART.BAT", host.substr(drive.Path().size() + 1) + "/dosstart.bat",
                    why),
        {{"DOSPREP_WINDIR", dos}});
    EXPECT_EQ(testutil::Describe(testutil::SnapshotTree(drive.Path())), testutil::Describe(before));
}

TEST_F(FaultTest, BinaryGarbageIsCopiedExactly) {
    std::string everyByte;
    for (int c = 0; c < 256; ++c)
        if (c != '\n' && c != '\r' && c != 0x1A)
            everyByte += static_cast<char>(c);
    std::string text = everyByte + "\r\n" + std::string("a\0b\rc\r\r\n", 8) + "BLASTER=\r\n";
    testutil::WriteBytes(drive / "AUTOEXEC.BAT", text + "\x1A" + everyByte + "\r\n");
    Run("");
    std::string expected = everyByte + "\r\n" + std::string("a\0b\rc\r\r\n", 8) + kBlaster;
    EXPECT_EQ(Escaped(Autoexec()), Escaped(expected));
}

TEST_F(FaultTest, FourMegabyteLineWithoutLineEnd) {
    std::string line(4 * 1024 * 1024, 'L');
    testutil::WriteBytes(drive / "AUTOEXEC.BAT", line);
    Run("");
    EXPECT_EQ(Autoexec(), line + "\r\n" + kBlaster);
}

// The runs below stop themselves at a known point: once they have read
// 64 KiB of this AUTOEXEC.BAT, their temporary file made and partly written.
const std::string kBigAutoexec = kOldAutoexec + std::string(200000, 'x') + "\r\n";

class PausedRunTest : public FaultTest {
  protected:
    testutil::TempDir tmpdir; // the runs' TMPDIR

    void SetUp() override {
        FaultTest::SetUp();
        testutil::WriteBytes(drive / "AUTOEXEC.BAT", kBigAutoexec);
    }

    testutil::StartedProgram Start(std::vector<std::string> argv, bool paused) {
        std::map<std::string, std::string> env = {{"DOSPREP_DRIVE_C", drive.Path()},
                                                  {"TMPDIR", tmpdir.Path()}};
        if (paused)
            env.insert({{"LD_PRELOAD", DOSPREP_READ_FAULT_SHIM},
                        {"DOSPREP_STOP_FILE", "/AUTOEXEC.BAT"},
                        {"DOSPREP_STOP_AFTER", "65536"},
                        {"ASAN_OPTIONS", "verify_asan_link_order=0"}});
        argv.insert(argv.begin(), DOSPREP_EXE);
        return testutil::StartProgram(argv, env, {"WINEPREFIX", "DOSPREP_WINDIR"});
    }

    // The tree as it was, the run's temporary files gone, TMPDIR empty.
    void ExpectTree(const testutil::Tree &expected) {
        EXPECT_EQ(testutil::Describe(testutil::SnapshotTree(drive.Path())),
                  testutil::Describe(expected));
        EXPECT_TRUE(fs::is_empty(tmpdir.Path()));
    }
};

// Drive C's lock, taken by the test as a run takes it.
dosprep::posix::FileDescriptor LockDrive(const std::string &directory) {
    dosprep::posix::FileDescriptor fd(open(directory.c_str(), O_RDONLY | O_DIRECTORY));
    EXPECT_EQ(flock(fd.Get(), LOCK_EX), 0);
    return fd;
}

// Whether `program` waits in flock: /proc/locks lists a waiter ("->") by
// its pid. Polls that state until it shows, or the program ends.
bool WaitsForTheLock(const testutil::StartedProgram &program) {
    std::string pid = " " + std::to_string(program.pid) + " ";
    while (testutil::StillRunning(program)) {
        std::ifstream locks("/proc/locks");
        for (std::string line; std::getline(locks, line);)
            if (line.find("-> FLOCK") != std::string::npos && line.find(pid) != std::string::npos)
                return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

// A second run started while the first is paused in the middle of
// AUTOEXEC.BAT waits for it, touching nothing, then runs: both end silently
// with status 0, as one run after the other. A dry run shares the lock with
// dry runs only; its diff is of the file before or after, never between.
TEST_F(PausedRunTest, OverlappingRunsEndOneAfterTheOther) {
    using Args = std::vector<std::string>;
    const std::pair<Args, Args> cases[] = {
        {{}, {}}, {{}, {"--dry-run"}}, {{"--dry-run"}, {"--diff"}}};
    testutil::Tree prepared =
        e2e::With(testutil::SnapshotTree(drive.Path()),
                  {{"AUTOEXEC.BAT",
                    "@ECHO OFF\r\nPATH C:\\DOS\r\n" + std::string(200000, 'x') + "\r\n" + kBlaster},
                   {"WINDOWS/DOSSTART.BAT", kNewDosstart}});
    for (const auto &[firstArgs, secondArgs] : cases) {
        SCOPED_TRACE(::testing::PrintToString(firstArgs) + ::testing::PrintToString(secondArgs));
        testutil::MakeTree(drive.Path(), kDrive);
        testutil::WriteBytes(drive / "AUTOEXEC.BAT", kBigAutoexec);
        testutil::StartedProgram first = Start(firstArgs, true);
        ASSERT_TRUE(testutil::WaitUntilStopped(first));
        testutil::Tree whileFirst = testutil::SnapshotTree(drive.Path());
        testutil::StartedProgram second = Start(secondArgs, false);
        EXPECT_TRUE(WaitsForTheLock(second));
        EXPECT_EQ(testutil::Describe(testutil::SnapshotTree(drive.Path())),
                  testutil::Describe(whileFirst));
        kill(first.pid, SIGCONT);
        bool dryRunFirst = !firstArgs.empty();
        for (const testutil::StartedProgram &run : {first, second}) {
            testutil::ProgramResult result = testutil::FinishProgram(run);
            EXPECT_EQ(result.exitCode, 0);
            EXPECT_EQ(result.standardError, "");
            EXPECT_EQ(result.standardOutput.starts_with("--- a/AUTOEXEC.BAT\n"), dryRunFirst);
        }
        ExpectTree(prepared);
    }
}

// SIGINT, SIGTERM or SIGHUP in the middle of AUTOEXEC.BAT, or while a run
// waits for the lock: both files stay as they were, the run's temporary
// files go, in the tree and in TMPDIR, and it ends with 128 plus the
// signal, naming each edit it did not make (a waiting run made none yet).
TEST_F(PausedRunTest, InterruptedRunLeavesNothingBehind) {
    struct Case {
        int signal;
        std::vector<std::string> args;
        bool waiting = false;
    };
    const Case cases[] = {{SIGINT, {}},
                          {SIGTERM, {"--diff"}},
                          {SIGHUP, {"--dry-run"}},
                          {SIGTERM, {}, true},
                          {SIGINT, {"--diff"}, true}};
    const std::string interrupted =
        NotMade("C:\\AUTOEXEC.BAT", "AUTOEXEC.BAT", "interrupted") +
        NotMade("C:\\WINDOWS\\DOSSTART.BAT", "WINDOWS/DOSSTART.BAT", "interrupted");
    const testutil::Tree before = testutil::SnapshotTree(drive.Path());
    for (const Case &c : cases) {
        SCOPED_TRACE(strsignal(c.signal) + ::testing::PrintToString(c.args));
        dosprep::posix::FileDescriptor held;
        if (c.waiting)
            held = LockDrive(drive.Path());
        testutil::StartedProgram run = Start(c.args, !c.waiting);
        ASSERT_TRUE(c.waiting ? WaitsForTheLock(run) : testutil::WaitUntilStopped(run));
        kill(run.pid, c.signal);
        kill(run.pid, SIGCONT);
        testutil::ProgramResult result = testutil::FinishProgram(run);
        EXPECT_EQ(result.exitCode, 128 + c.signal);
        EXPECT_EQ(result.output, c.waiting ? "" : Placed(interrupted, drive.Path()));
        ExpectTree(before);
    }
}

// What is wrong with the environment is named as such: TMPDIR, and a
// directory that exists but cannot be searched. The runs are nobody's on
// a tree open to all, for root may search any directory; only TMPDIR is
// written past the file-size limit of 8 KiB.
TEST_F(FaultTest, EnvironmentProblemsAreNamed) {
    struct Case {
        const char *tmpdir, *unsearchable, *option; // "{drive}", "{tmp}" placed
        std::string output;
    };
    const std::string noDiff = "dosprep: cannot use TMPDIR ({tmp}/";
    const std::string denied = "permission denied on C:\\WINDOWS ({drive}/WINDOWS)";
    const Case cases[] = {
        {"{tmp}/gone", "", "--dry-run", noDiff + "gone) for the diff: No such file or directory\n"},
        {"{tmp}/closed", "", "--diff", noDiff + "closed) for the diff: Permission denied\n"},
        {"{drive}/WINDOWS", "", "--diff",
         "dosprep: cannot use TMPDIR ({drive}/WINDOWS) for the diff: it lies inside drive C\n"},
        {"{tmp}", "", "--dry-run",
         "--- a/WINDOWS/DOSSTART.BAT\n+++ b/WINDOWS/DOSSTART.BAT\n@@ -1 +1,2 @@\n @ECHO OFF\r\n+" +
             std::string("C:\\WINDOWS\\audprep.exe /S\r\n") +
             NotMade("C:\\AUTOEXEC.BAT", "AUTOEXEC.BAT",
                     "cannot write its copy in TMPDIR ({tmp}): file too large")},
        {"{tmp}", "WINDOWS", "",
         NotMade("C:\\AUTOEXEC.BAT", "AUTOEXEC.BAT", denied) +
             NotMade("C:\\WINDOWS\\DOSSTART.BAT", "WINDOWS/dosstart.bat", denied)},
        {"{tmp}", ".", "--dry-run",
         "dosprep: drive C ({drive}): permission denied; nothing changed\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.output);
        testutil::TempDir base;
        std::string driveC = base / "drive", tmp = base / "tmp";
        testutil::MakeTree(driveC, kDrive);
        testutil::WriteBytes(driveC + "/AUTOEXEC.BAT", kOldAutoexec + std::string(9000, 'x'));
        fs::create_directories(tmp + "/closed");
        for (const auto &entry : fs::recursive_directory_iterator(base.Path()))
            fs::permissions(entry, fs::perms::all, fs::perm_options::add);
        fs::permissions(base.Path(), fs::perms::all, fs::perm_options::add);
        fs::permissions(tmp + "/closed", fs::perms::owner_all);
        if (*c.unsearchable != '\0')
            fs::permissions(driveC + "/" + c.unsearchable, fs::perms(0666)); // no x bit
        testutil::Tree before = testutil::SnapshotTree(driveC);
        std::vector<std::string> argv = {DOSPREP_EXE};
        if (geteuid() == 0)
            argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                       "--clear-groups", "--"});
        if (*c.option != '\0')
            argv.push_back(c.option);
        testutil::ProgramResult result = testutil::RunProgram(
            argv, {{"DOSPREP_DRIVE_C", driveC}, {"TMPDIR", Placed(c.tmpdir, driveC, tmp)}},
            {"WINEPREFIX", "DOSPREP_WINDIR"}, {testutil::Kernel::AsItIs, 8 * 1024});
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.output, Placed(c.output, driveC, tmp));
        fs::permissions(driveC, fs::perms::owner_all, fs::perm_options::add);
        EXPECT_EQ(testutil::Describe(testutil::SnapshotTree(driveC)), testutil::Describe(before));
    }
}

// A run that finds drive C locked for a minute gives up, touching nothing,
// and names the process that holds it. (This test takes that minute.)
TEST_F(FaultTest, GivesUpOnADriveLockedForAMinute) {
    testutil::Tree before = testutil::SnapshotTree(drive.Path());
    dosprep::posix::FileDescriptor held = LockDrive(drive.Path());
    std::string name;
    std::getline(std::ifstream("/proc/self/comm"), name);
    Run("dosprep: drive C ({drive}): in use by process " + std::to_string(getpid()) + " (" + name +
        "); gave up after 60 s, nothing changed\n");
    EXPECT_EQ(testutil::Describe(testutil::SnapshotTree(drive.Path())), testutil::Describe(before));
}

} // namespace
