// The built program under faults and hostile input: it must lose nothing,
// write nothing it should not, never die of a signal and never print.
#include "test_util.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <functional>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using testutil::Escaped;
using testutil::ReadBytes;

namespace {

const std::string kBlaster = "SET  BLASTER=A220 I5  D1 T4\r\n";
const std::string kOldAutoexec = "@ECHO OFF\r\nSET BLASTER=A240 I7 D3 T6\r\nPATH C:\\DOS\r\n";
const std::string kNewAutoexec = "@ECHO OFF\r\nPATH C:\\DOS\r\n" + kBlaster;
const std::string kOldDosstart = "@ECHO OFF\r\n";
const std::string kNewDosstart = "@ECHO OFF\r\nC:\\WINDOWS\\audprep.exe /S\r\n";

class FaultTest : public ::testing::Test {
  protected:
    testutil::TempDir drive;

    void SetUp() override {
        testutil::MakeTree(drive.Path(), {{"AUTOEXEC.BAT", kOldAutoexec},
                                          {"WINDOWS/SYSTEM/", ""},
                                          {"WINDOWS/WIN.INI", "[intl]\r\nsLanguage=enu\r\n"},
                                          {"WINDOWS/DOSSTART.BAT", kOldDosstart}});
    }

    // Runs the program on the drive, with the file-size limit `fileLimit`
    // when given, and checks that it ended quietly.
    void Run(std::map<std::string, std::string> env = {}, rlim_t fileLimit = RLIM_INFINITY) {
        if (!env.count("DOSPREP_DRIVE_C"))
            env["DOSPREP_DRIVE_C"] = drive.Path();
        testutil::ProgramResult result =
            fileLimit == RLIM_INFINITY ? testutil::RunProgram({DOSPREP_EXE}, env, {"WINEPREFIX"})
                                       : RunLimited(env, fileLimit);
        EXPECT_EQ(result.signal, 0);
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.output, "");
    }

    // A full disk, as the program sees it: writes past `limit` bytes fail
    // with EFBIG instead of raising SIGXFSZ.
    testutil::ProgramResult RunLimited(const std::map<std::string, std::string> &env,
                                       rlim_t limit) {
        pid_t pid = fork();
        if (pid == 0) {
            for (const auto &[name, value] : env)
                setenv(name.c_str(), value.c_str(), 1);
            unsetenv("DOSPREP_WINDIR");
            rlimit rl{limit, limit};
            setrlimit(RLIMIT_FSIZE, &rl);
            std::signal(SIGXFSZ, SIG_IGN);
            execl(DOSPREP_EXE, DOSPREP_EXE, static_cast<char *>(nullptr));
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        testutil::ProgramResult result;
        result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        return result;
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
    Run();
    EXPECT_EQ(Escaped(Autoexec()), Escaped(kOldAutoexec));
    EXPECT_EQ(fs::status(drive / "AUTOEXEC.BAT").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::group_read);
    EXPECT_EQ(Escaped(Dosstart()), Escaped(kNewDosstart));
    ExpectNoTemporaryFiles();
}

TEST_F(FaultTest, FullDiskLeavesTheTargetAndGoesOn) {
    std::string big = kOldAutoexec + std::string(200000, 'x') + "\r\n";
    testutil::WriteBytes(drive / "AUTOEXEC.BAT", big);
    Run({}, 64 * 1024);
    EXPECT_EQ(Autoexec(), big);
    EXPECT_EQ(Escaped(Dosstart()), Escaped(kNewDosstart));
    ExpectNoTemporaryFiles();
}

TEST_F(FaultTest, ReadErrorLeavesTheTargetAndGoesOn) {
    std::string big = kOldAutoexec + std::string(200000, 'x') + "\r\n";
    testutil::WriteBytes(drive / "AUTOEXEC.BAT", big);
    Run({{"LD_PRELOAD", DOSPREP_READ_FAULT_SHIM},
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
    Run();
    EXPECT_EQ(ReadBytes(drive / "victim"), "precious\r\n");
    EXPECT_FALSE(testutil::Exists(drive / "nowhere"));
    EXPECT_EQ(Escaped(Autoexec()), Escaped(kOldAutoexec));
    EXPECT_EQ(Escaped(Dosstart()), Escaped(kOldDosstart));
}

TEST_F(FaultTest, DirectoriesWhereBatchFilesShouldBe) {
    fs::remove(drive / "AUTOEXEC.BAT");
    fs::remove(drive / "WINDOWS/DOSSTART.BAT");
    fs::create_directories(drive / "AUTOEXEC.BAT/sub");
    fs::create_directories(drive / "WINDOWS/DOSSTART.BAT");
    Run();
    EXPECT_TRUE(fs::is_directory(drive / "AUTOEXEC.BAT/sub"));
    EXPECT_TRUE(fs::is_directory(drive / "WINDOWS/DOSSTART.BAT"));
    ExpectNoTemporaryFiles();
}

TEST_F(FaultTest, DriveThatIsAFileOrMissing) {
    testutil::WriteBytes(drive / "plain", "not a directory");
    Run({{"DOSPREP_DRIVE_C", drive / "plain"}});
    EXPECT_EQ(ReadBytes(drive / "plain"), "not a directory");
    Run({{"DOSPREP_DRIVE_C", drive / "missing"}});
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
    Run({{"DOSPREP_WINDIR", dos}});
    EXPECT_EQ(testutil::Describe(testutil::SnapshotTree(drive.Path())), testutil::Describe(before));
}

TEST_F(FaultTest, BinaryGarbageIsCopiedExactly) {
    std::string everyByte;
    for (int c = 0; c < 256; ++c)
        if (c != '\n' && c != '\r' && c != 0x1A)
            everyByte += static_cast<char>(c);
    std::string text = everyByte + "\r\n" + std::string("a\0b\rc\r\r\n", 8) + "BLASTER=\r\n";
    testutil::WriteBytes(drive / "AUTOEXEC.BAT", text + "\x1A" + everyByte + "\r\n");
    Run();
    std::string expected = everyByte + "\r\n" + std::string("a\0b\rc\r\r\n", 8) + kBlaster;
    EXPECT_EQ(Escaped(Autoexec()), Escaped(expected));
}

TEST_F(FaultTest, FourMegabyteLineWithoutLineEnd) {
    std::string line(4 * 1024 * 1024, 'L');
    testutil::WriteBytes(drive / "AUTOEXEC.BAT", line);
    Run();
    EXPECT_EQ(Autoexec(), line + "\r\n" + kBlaster);
}

} // namespace
