// The POSIX platform layer: file handles, CopyFileA and DeleteFileA on
// real files.
#include "platform/posix/run_record.h"
#include "platform/win32_api.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using testutil::ScopedEnv;
using testutil::TempDir;
using testutil::Tree;

class PlatformFilesTest : public ::testing::Test {
  protected:
    TempDir drive_;
    ScopedEnv env_{"DOSPREP_DRIVE_C", drive_.Path()};

    std::string Host(const std::string &relative) const { return drive_ / relative; }
    void Make(const Tree &tree) { testutil::MakeTree(drive_.Path(), tree); }
    Tree Snapshot() const { return testutil::SnapshotTree(drive_.Path()); }
};

HANDLE OpenForWriting(const char *path) {
    return CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

HANDLE OpenForReading(const char *path) {
    return CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool WriteDos(const char *path, const std::string &bytes) {
    HANDLE file = OpenForWriting(path);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
              written == bytes.size();
    return CloseHandle(file) && ok;
}

mode_t Mode(const std::string &path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

TEST_F(PlatformFilesTest, WriteThenReadBack) {
    const std::string bytes =
        std::string("line 1\r\nNUL \0 here\r\n", 20) + std::string(70000, 'z');
    ASSERT_TRUE(WriteDos("C:\\autoexec.tmp", bytes));
    EXPECT_EQ(testutil::ReadBytes(Host("autoexec.tmp")), bytes);

    HANDLE file = OpenForReading("C:\\AUTOEXEC.TMP");
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    std::string back;
    std::array<char, 4096> chunk{};
    DWORD got = 0;
    while (ReadFile(file, chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr) && got)
        back.append(chunk.data(), got);
    EXPECT_EQ(back, bytes);
    EXPECT_TRUE(ReadFile(file, chunk.data(), 10, &got, nullptr)); // at the end: TRUE, nothing
    EXPECT_EQ(got, 0u);

    // Back to offset 8, given as high:low, then read "NUL".
    LONG high = 0;
    EXPECT_EQ(SetFilePointer(file, 8, &high, FILE_BEGIN), 8u);
    EXPECT_EQ(high, 0);
    ASSERT_TRUE(ReadFile(file, chunk.data(), 3, &got, nullptr));
    EXPECT_EQ(std::string(chunk.data(), got), "NUL");

    DWORD written = 1;
    EXPECT_FALSE(WriteFile(file, "x", 1, &written, nullptr)); // opened for reading
    EXPECT_EQ(written, 0u);
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_FALSE(CloseHandle(file));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(ReadFile(file, chunk.data(), 1, &got, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(PlatformFilesTest, CreateAlwaysTruncatesAndKeepsTheName) {
    Make({{"AUTOEXEC.TMP", std::string(5000, 'o')}});
    ASSERT_TRUE(WriteDos("C:\\autoexec.tmp", "new"));
    EXPECT_EQ(Snapshot(), (Tree{{"AUTOEXEC.TMP", "new"}}));
}

TEST_F(PlatformFilesTest, OpenFailures) {
    Make({{"target.txt", "keep"}, {"other.txt", "linked"}, {"AUTOEXEC.BAT/", ""}});
    fs::create_symlink("target.txt", Host("link.tmp"));
    fs::create_symlink("absent.txt", Host("dangling.tmp"));
    fs::create_hard_link(Host("other.txt"), Host("hard.tmp"));
    Make({{"ro.tmp", "read-only"}});
    fs::permissions(Host("ro.tmp"), fs::perms::owner_read);
    const Tree before = Snapshot(); // taken without the FIFO: reading one would hang
    // No reader and no writer: an open that waited for one would hang.
    ASSERT_EQ(mkfifo(Host("fifo").c_str(), 0644), 0);

    struct Case {
        const char *name;
        const char *path;
        bool write;
        DWORD error;
    };
    const Case cases[] = {
        {"symbolic link", "C:\\link.tmp", true, ERROR_ACCESS_DENIED},
        {"dangling link", "C:\\dangling.tmp", true, ERROR_ACCESS_DENIED},
        {"hard link", "C:\\hard.tmp", true, ERROR_ACCESS_DENIED},
        {"read-only", "C:\\ro.tmp", true, ERROR_ACCESS_DENIED},
        {"directory, write", "C:\\autoexec.bat", true, ERROR_ACCESS_DENIED},
        {"directory, read", "C:\\autoexec.bat", false, ERROR_ACCESS_DENIED},
        {"FIFO, write", "C:\\fifo", true, ERROR_ACCESS_DENIED},
        {"FIFO, read", "C:\\fifo", false, ERROR_ACCESS_DENIED},
        {"missing file", "C:\\missing", false, ERROR_FILE_NOT_FOUND},
        {"missing directory, read", "C:\\missing\\f", false, ERROR_PATH_NOT_FOUND},
        {"missing directory, write", "C:\\missing\\f", true, ERROR_PATH_NOT_FOUND},
    };
    // A dry run, which writes into its scratch directory, refuses the same.
    TempDir scratch;
    for (bool dryRun : {false, true}) {
        dosprep::posix::RunSettings settings;
        settings.dryRun = dryRun;
        settings.scratch = dryRun ? scratch.Path() : "";
        dosprep::posix::Configure(settings);
        for (const Case &c : cases) {
            SetLastError(NO_ERROR);
            HANDLE file = c.write ? OpenForWriting(c.path) : OpenForReading(c.path);
            EXPECT_EQ(file, INVALID_HANDLE_VALUE) << c.name << (dryRun ? ", dry run" : "");
            EXPECT_EQ(GetLastError(), c.error) << c.name << (dryRun ? ", dry run" : "");
            if (file != INVALID_HANDLE_VALUE)
                CloseHandle(file);
        }
    }
    dosprep::posix::Configure({});
    EXPECT_TRUE(fs::is_fifo(fs::symlink_status(Host("fifo"))));
    fs::remove(Host("fifo"));
    EXPECT_EQ(Snapshot(), before) << testutil::Describe(Snapshot());
}

TEST_F(PlatformFilesTest, CopyReplacesExistingTargetInPlace) {
    Make({{"autoexec.tmp", "new text"}, {"AUTOEXEC.BAT", "old text"}});
    ASSERT_EQ(chmod(Host("AUTOEXEC.BAT").c_str(), 0640), 0);
    ASSERT_TRUE(CopyFileA("C:\\autoexec.tmp", "C:\\autoexec.bat", FALSE));
    EXPECT_EQ(Snapshot(), (Tree{{"autoexec.tmp", "new text"}, {"AUTOEXEC.BAT", "new text"}}));
    EXPECT_EQ(Mode(Host("AUTOEXEC.BAT")), 0640u);
}

TEST_F(PlatformFilesTest, CopyToNewTargetTakesSourceMode) {
    Make({{"dosstart.tmp", "text"}, {"WINDOWS/", ""}});
    ASSERT_EQ(chmod(Host("dosstart.tmp").c_str(), 0604), 0);
    ASSERT_TRUE(CopyFileA("C:\\dosstart.tmp", "C:\\windows\\dosstart.bat", FALSE));
    EXPECT_EQ(testutil::ReadBytes(Host("WINDOWS/dosstart.bat")), "text");
    EXPECT_EQ(Mode(Host("WINDOWS/dosstart.bat")), 0604u);
}

TEST_F(PlatformFilesTest, CopyRefusals) {
    Make({{"src.tmp", "new"}, {"ro.bat", "old"}, {"dir.bat/", ""}, {"real.bat", "real"}});
    fs::permissions(Host("ro.bat"), fs::perms::owner_read | fs::perms::group_read);
    fs::create_symlink("real.bat", Host("link.bat"));
    const Tree before = Snapshot();
    struct Case {
        const char *target;
        DWORD error;
    };
    const Case cases[] = {
        {"C:\\ro.bat", ERROR_ACCESS_DENIED},
        {"C:\\dir.bat", ERROR_ACCESS_DENIED},
        {"C:\\link.bat", ERROR_ACCESS_DENIED},
        {"C:\\missing\\x.bat", ERROR_PATH_NOT_FOUND},
    };
    for (const Case &c : cases) {
        SetLastError(NO_ERROR);
        EXPECT_FALSE(CopyFileA("C:\\src.tmp", c.target, FALSE)) << c.target;
        EXPECT_EQ(GetLastError(), c.error) << c.target;
    }
    EXPECT_FALSE(CopyFileA("C:\\missing.tmp", "C:\\real.bat", FALSE));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Snapshot(), before) << testutil::Describe(Snapshot());
}

TEST_F(PlatformFilesTest, DeleteFile) {
    Make({{"file.tmp", "x"}, {"dir.tmp/", ""}, {"kept", "target"}});
    fs::create_symlink("kept", Host("link.tmp"));
    EXPECT_TRUE(DeleteFileA("C:\\FILE.TMP"));
    EXPECT_TRUE(DeleteFileA("C:\\link.tmp"));
    EXPECT_FALSE(DeleteFileA("C:\\dir.tmp"));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(DeleteFileA("C:\\file.tmp"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Snapshot(), (Tree{{"dir.tmp/", ""}, {"kept", "target"}}));
}

// The file-size limit stands in for a full disk, in a child process:
// once taken, it cannot be raised again.
TEST_F(PlatformFilesTest, DiskFull) {
    Make({{"big.tmp", std::string(8192, 'b')}, {"AUTOEXEC.BAT", "old"}});
    std::string failures = testutil::RunInChild({testutil::Kernel::AsItIs, 1024}, [] {
        std::string report;
        HANDLE file = OpenForWriting("C:\\out.tmp");
        std::string bytes(4096, 'w');
        DWORD written = 0;
        if (WriteFile(file, bytes.data(), 4096, &written, nullptr) ||
            GetLastError() != ERROR_DISK_FULL || written != 1024)
            report += "WriteFile did not report a full disk\n";
        CloseHandle(file);
        if (CopyFileA("C:\\big.tmp", "C:\\autoexec.bat", FALSE) ||
            GetLastError() != ERROR_DISK_FULL)
            report += "CopyFileA did not report a full disk\n";
        return report;
    });
    EXPECT_EQ(failures, "");
    // The failed copy left the target as it was and no side file.
    Tree after = Snapshot();
    after.erase("out.tmp");
    EXPECT_EQ(after, (Tree{{"big.tmp", std::string(8192, 'b')}, {"AUTOEXEC.BAT", "old"}}))
        << testutil::Describe(after);
}

} // namespace
