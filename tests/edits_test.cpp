// The two edits on a temporary drive C.
#include "batch/batch_edit.h"
#include "locale/language.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>

using testutil::Escaped;
using testutil::ReadBytes;
using testutil::WriteBytes;

namespace {

constexpr const char *kBlaster = "SET  BLASTER=A220 I5  D1 T4\r\n";

void SetShortWindowsDirectory(std::string_view directory) {
    ASSERT_TRUE(ComposeText(g_shortWindowsDirectory, {directory}));
}

class EditTest : public ::testing::Test {
  protected:
    testutil::TempDir drive;
    testutil::ScopedEnv env{"DOSPREP_DRIVE_C", drive.Path()};
    testutil::ScopedEnv windir{"DOSPREP_WINDIR", std::nullopt};

    void SetUp() override {
        std::filesystem::create_directories(drive / "WINDOWS");
        SetShortWindowsDirectory("C:\\WINDOWS");
    }
    void SetLanguage(const std::string &language) {
        WriteBytes(drive / "WINDOWS/WIN.INI", "[intl]\r\nsLanguage=" + language + "\r\n");
    }
};

struct AutoexecCase {
    const char *name;
    std::optional<std::string> before;
    std::string after;
};

const AutoexecCase kAutoexecCases[] = {
    {"setting in the middle moves to the end",
     "@ECHO OFF\r\nSET BLASTER=A240 I7 D3 T6\r\nPATH C:\\DOS\r\n",
     std::string("@ECHO OFF\r\nPATH C:\\DOS\r\n") + kBlaster},
    {"every setting goes", "SET BLASTER=A220\r\nA\r\nSET BLASTER=A240\r\n",
     std::string("A\r\n") + kBlaster},
    {"remarks and other names containing the needle go",
     "REM SET BLASTER=A220\r\nSET XBLASTER=1\r\nB\r\n", std::string("B\r\n") + kBlaster},
    {"other case and blank before equals stay", "set blaster=A220\r\nSET BLASTER = A220\r\n",
     std::string("set blaster=A220\r\nSET BLASTER = A220\r\n") + kBlaster},
    {"missing file is created", std::nullopt, kBlaster},
    {"unterminated last line", "PATH C:\\DOS", std::string("PATH C:\\DOS\r\n") + kBlaster},
};

TEST_F(EditTest, Autoexec) {
    for (const AutoexecCase &c : kAutoexecCases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(drive / "autoexec.bat");
        if (c.before)
            WriteBytes(drive / "autoexec.bat", *c.before);
        UpdateAutoexec();
        EXPECT_EQ(Escaped(ReadBytes(drive / "autoexec.bat").value_or("<missing>")),
                  Escaped(c.after));
        UpdateAutoexec();
        EXPECT_EQ(Escaped(ReadBytes(drive / "autoexec.bat").value_or("<missing>")),
                  Escaped(c.after))
            << "second run changed the file";
        EXPECT_FALSE(testutil::Exists(drive / "autoexec.tmp"));
    }
}

constexpr const char *kSetup = "C:\\WINDOWS\\audprep.exe /S\r\n";

struct DosstartCase {
    const char *name;
    const char *language;
    std::optional<std::string> before;
    std::string after;
};

const DosstartCase kDosstartCases[] = {
    {"set-up line moves to the end", "enu", std::string("A\r\n") + kSetup + "B\r\n",
     std::string("A\r\nB\r\n") + kSetup},
    {"missing file is created", "enu", std::nullopt, kSetup},
    {"other arguments, directories, long form and case stay", "enu",
     "C:\\WINDOWS\\audprep.exe /X\r\nC:\\WIN\\audprep.exe /S\r\nC:\\Windows "
     "Home\\audprep.exe /S\r\nc:\\windows\\AUDPREP.EXE /S\r\n",
     std::string("C:\\WINDOWS\\audprep.exe /X\r\nC:\\WIN\\audprep.exe /S\r\nC:\\Windows "
                 "Home\\audprep.exe /S\r\nc:\\windows\\AUDPREP.EXE /S\r\n") +
         kSetup},
    {"set-up line after other text goes", "enu", std::string("CALL ") + kSetup + "B\r\n",
     std::string("B\r\n") + kSetup},
    {"earlier japanese lines stay elsewhere", "deu",
     std::string("CHCP 437\r\n") + kSetup + "JP\r\n", std::string("CHCP 437\r\nJP\r\n") + kSetup},
    {"japanese brackets the line", "jpn", "A\r\n",
     std::string("A\r\nCHCP 437\r\n") + kSetup + "JP\r\n"},
    {"japanese drops code-page and jp lines", "JPN",
     "CHCP 932\r\nC:\\DOS\\CHCP 437\r\nREM JP\r\nJP\r\nchcp 932\r\nCHCP\r\nJPX\r\n",
     std::string("chcp 932\r\nCHCP\r\nJPX\r\nCHCP 437\r\n") + kSetup + "JP\r\n"},
};

TEST_F(EditTest, Dosstart) {
    for (const DosstartCase &c : kDosstartCases) {
        SCOPED_TRACE(c.name);
        SetLanguage(c.language);
        std::filesystem::remove(drive / "WINDOWS/dosstart.bat");
        if (c.before)
            WriteBytes(drive / "WINDOWS/dosstart.bat", *c.before);
        UpdateDosstart();
        EXPECT_EQ(Escaped(ReadBytes(drive / "WINDOWS/dosstart.bat").value_or("<missing>")),
                  Escaped(c.after));
        UpdateDosstart();
        EXPECT_EQ(Escaped(ReadBytes(drive / "WINDOWS/dosstart.bat").value_or("<missing>")),
                  Escaped(c.after))
            << "second run changed the file";
        EXPECT_FALSE(testutil::Exists(drive / "WINDOWS/dosstart.tmp"));
    }
}

// An unterminated last line is not the needle yet: the first run keeps it,
// the second removes both copies and appends one.
TEST_F(EditTest, UnterminatedSetupAndJpLinesGoOnTheSecondRun) {
    SetLanguage("jpn");
    WriteBytes(drive / "WINDOWS/DOSSTART.BAT", "A\r\nJP");
    UpdateDosstart();
    std::string bracket = std::string("CHCP 437\r\n") + kSetup + "JP\r\n";
    EXPECT_EQ(Escaped(*ReadBytes(drive / "WINDOWS/DOSSTART.BAT")),
              Escaped("A\r\nJP\r\n" + bracket));
    UpdateDosstart();
    EXPECT_EQ(Escaped(*ReadBytes(drive / "WINDOWS/DOSSTART.BAT")), Escaped("A\r\n" + bracket));

    SetLanguage("enu");
    WriteBytes(drive / "WINDOWS/DOSSTART.BAT", std::string("A\r\n") + kSetup);
    std::string unterminated = std::string("A\r\n") + kSetup;
    unterminated.resize(unterminated.size() - 2);
    WriteBytes(drive / "WINDOWS/DOSSTART.BAT", unterminated);
    UpdateDosstart();
    EXPECT_EQ(Escaped(*ReadBytes(drive / "WINDOWS/DOSSTART.BAT")),
              Escaped(std::string("A\r\n") + kSetup + kSetup));
    UpdateDosstart();
    EXPECT_EQ(Escaped(*ReadBytes(drive / "WINDOWS/DOSSTART.BAT")),
              Escaped(std::string("A\r\n") + kSetup));
}

TEST_F(EditTest, WindowsDirectoryAtRootDoublesTheBackslash) {
    SetLanguage("enu");
    SetShortWindowsDirectory("C:\\");
    UpdateDosstart();
    EXPECT_EQ(ReadBytes(drive / "dosstart.bat"), "C:\\\\audprep.exe /S\r\n");
}

// A Windows directory of `length` characters: C:\D\DDDD...\DD
std::string DeepWindowsDirectory(const testutil::TempDir &drive, std::size_t length) {
    std::string dos = "C:";
    std::string host = drive.Path();
    while (dos.size() < length) {
        std::string name(std::min<std::size_t>(8, length - dos.size() - 1), 'D');
        dos += "\\" + name;
        host += "/" + name;
    }
    std::filesystem::create_directories(host);
    return dos;
}

// The set-up line must fit in one line piece (255 characters with its line
// end) or no later run could find it again.
TEST_F(EditTest, SetupLineAtTheLimit) {
    SetLanguage("enu");
    std::string windowsDirectory = DeepWindowsDirectory(drive, 255 - 16);
    SetShortWindowsDirectory(windowsDirectory);
    UpdateDosstart();
    UpdateDosstart();
    std::string host = drive.Path() + "/" + windowsDirectory.substr(3);
    std::replace(host.begin(), host.end(), '\\', '/');
    EXPECT_EQ(ReadBytes(host + "/dosstart.bat"), windowsDirectory + "\\audprep.exe /S\r\n");
}

TEST_F(EditTest, OverlongWindowsDirectoryTouchesNothing) {
    SetLanguage("enu");
    SetShortWindowsDirectory(DeepWindowsDirectory(drive, 255 - 15));
    auto before = testutil::SnapshotTree(drive.Path());
    UpdateDosstart();
    EXPECT_EQ(testutil::Describe(testutil::SnapshotTree(drive.Path())), testutil::Describe(before));
}

} // namespace
