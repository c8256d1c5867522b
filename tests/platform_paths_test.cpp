// The POSIX platform layer: DOS paths on a host tree, the Windows and
// system directories, and short (8.3) names.
#include "e2e_cases.h"
#include "platform/posix/context.h"
#include "platform/win32_api.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using testutil::ScopedEnv;
using testutil::TempDir;

class PlatformPathsTest : public ::testing::Test {
  protected:
    // Drive C is a subdirectory, so that escaping it has somewhere to go.
    TempDir temp_;
    std::string driveC_ = temp_ / "drive_c";
    ScopedEnv drive_{"DOSPREP_DRIVE_C", driveC_};
    ScopedEnv windir_{"DOSPREP_WINDIR", std::nullopt};

    void Make(const testutil::Tree &tree) { testutil::MakeTree(driveC_, tree); }
};

// The bytes of a file opened by its DOS path, or the error of the open.
struct Opened {
    std::optional<std::string> bytes;
    DWORD error = NO_ERROR;
};

Opened ReadDos(const std::string &path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return {std::nullopt, GetLastError()};
    std::string bytes;
    std::array<char, 5> chunk{};
    DWORD got = 0;
    while (ReadFile(file, chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr) && got)
        bytes.append(chunk.data(), got);
    CloseHandle(file);
    return {bytes, NO_ERROR};
}

TEST_F(PlatformPathsTest, ResolvesDosPaths) {
    testutil::WriteBytes(temp_ / "outside", "outside");
    testutil::MakeTree(temp_.Path(), {{"far", "far"}, {"elsewhere/f", "elsewhere"}});
    Make({{"A", "upper"},
          {"a", "lower"},
          {"Mixed.Txt", "mixed"},
          {"DUP", "first"},
          {"Dup", "second"},
          {"Windows Home/x", "home"},
          {"sub/deeper/f", "deep"},
          {"WIN98/f", "win98"},
          // Where a link out would lead if ".." stopped at the drive, or
          // an absolute link were taken to be below it.
          {"far", "decoy"},
          {"elsewhere/f", "decoy"},
          {"drive_c/A", "decoy"}});
    testutil::MakeTree(driveC_ + temp_.Path(), {{"far", "decoy"}, {"elsewhere/f", "decoy"}});
    // Links inside the drive, and links that lead out of it.
    const std::pair<std::string, std::string> links[] = {
        {"WINDOWS", "WIN98"},
        {"ABSIN", driveC_ + "/./WIN98/"},
        {"ROOT", driveC_},
        {"FILEIN", "sub/../A"},
        {"sub/up", "../A"},
        {"CHAIN", "WINDOWS"},
        {"OUT", "../elsewhere"},
        {"ABSOUT", temp_ / "elsewhere"},
        {"FILEOUT", "../far"},
        {"ABSFILEOUT", temp_ / "far"},
        {"OUTBACK", "../drive_c/A"},
        {"sub/deeper/OUT", "../../../far"},
        {"LOOP", "LOOP"},
        {"DANGLING", "nothing"},
    };
    for (const auto &[link, target] : links)
        std::filesystem::create_symlink(target, driveC_ + "/" + link);
    struct Case {
        const char *name;
        const char *path;
        const char *bytes; // nullptr: the open fails with `error`
        DWORD error;
    };
    const Case cases[] = {
        {"exact upper", "C:\\A", "upper", 0},
        {"exact lower", "C:\\a", "lower", 0},
        {"lower-case drive", "c:\\A", "upper", 0},
        {"case ignored", "C:\\MIXED.TXT", "mixed", 0},
        {"first of two case matches", "C:\\dup", "first", 0},
        {"alias component", "C:\\WINDOW~1\\x", "home", 0},
        {"alias any case", "C:\\window~1\\X", "home", 0},
        {"doubled backslashes", "C:\\\\Windows Home\\\\x", "home", 0},
        {"forward slashes", "C:/sub//deeper/f", "deep", 0},
        {"dot and dot-dot", "C:\\sub\\.\\deeper\\..\\deeper\\f", "deep", 0},
        {"dot-dot stops at root", "C:\\..\\..\\A", "upper", 0},
        {"no escape above root", "C:\\..\\outside", nullptr, ERROR_FILE_NOT_FOUND},
        {"missing file", "C:\\nofile", nullptr, ERROR_FILE_NOT_FOUND},
        {"missing directory", "C:\\nodir\\f", nullptr, ERROR_PATH_NOT_FOUND},
        {"file as directory", "C:\\A\\f", nullptr, ERROR_PATH_NOT_FOUND},
        {"other drive", "D:\\A", nullptr, ERROR_PATH_NOT_FOUND},
        {"relative", "A", nullptr, ERROR_INVALID_NAME},
        {"drive-relative", "C:A", nullptr, ERROR_INVALID_NAME},
        {"empty", "", nullptr, ERROR_INVALID_NAME},
        {"forbidden character", "C:\\A?", nullptr, ERROR_INVALID_NAME},
        {"link inside", "C:\\windows\\F", "win98", 0},
        {"absolute link inside", "C:\\ABSIN\\f", "win98", 0},
        {"absolute link to the drive", "C:\\ROOT\\ROOT\\A", "upper", 0},
        {"file link inside", "C:\\FILEIN", "upper", 0},
        {"link up, inside", "C:\\sub\\up", "upper", 0},
        {"chain of links", "C:\\CHAIN\\f", "win98", 0},
        {"link out", "C:\\OUT\\f", nullptr, ERROR_PATH_NOT_FOUND},
        {"absolute link out", "C:\\ABSOUT\\f", nullptr, ERROR_PATH_NOT_FOUND},
        {"file link out", "C:\\FILEOUT", nullptr, ERROR_FILE_NOT_FOUND},
        {"absolute file link out", "C:\\ABSFILEOUT", nullptr, ERROR_FILE_NOT_FOUND},
        {"out and back in", "C:\\OUTBACK", nullptr, ERROR_FILE_NOT_FOUND},
        {"deep link out", "C:\\sub\\deeper\\OUT", nullptr, ERROR_FILE_NOT_FOUND},
        {"link loop", "C:\\LOOP", nullptr, ERROR_ACCESS_DENIED},
        {"dangling link", "C:\\DANGLING", nullptr, ERROR_FILE_NOT_FOUND},
    };
    // Every case, with openat2 and with the walk that stands in for it.
    auto check = [&cases] {
        std::string failures;
        for (const Case &c : cases) {
            Opened opened = ReadDos(c.path);
            Opened expected{c.bytes ? std::optional<std::string>(c.bytes) : std::nullopt,
                            c.bytes ? NO_ERROR : c.error};
            if (opened.bytes != expected.bytes || opened.error != expected.error)
                failures += std::string(c.name) + ": got " + opened.bytes.value_or("<none>") +
                            " error " + std::to_string(opened.error) + "\n";
        }
        return failures;
    };
    EXPECT_EQ(check(), "");
    EXPECT_EQ(testutil::RunInChild(testutil::Kernel::WithoutOpenat2, check), "")
        << "without openat2";
    EXPECT_EQ(testutil::ReadBytes(temp_ / "outside"), "outside");
}

TEST_F(PlatformPathsTest, NoDriveDirectoryMeansNoPath) {
    ScopedEnv unset{"DOSPREP_DRIVE_C", temp_ / "missing"};
    EXPECT_EQ(ReadDos("C:\\A").error, ERROR_PATH_NOT_FOUND);
}

TEST_F(PlatformPathsTest, FindsDriveC) {
    struct Case {
        const char *name;
        testutil::Tree tree; // under a scratch directory
        std::vector<std::pair<std::string, std::string>>
            links;                              // link, target ("@": the scratch directory)
        std::map<std::string, std::string> env; // DOSPREP_DRIVE_C, WINEPREFIX, HOME
        const char *marker;                     // C:\marker; nullptr: no drive C
        bool winePrefix;
    };
    const testutil::Tree prefix = {{"pfx/drive_c/marker", "drive_c"},
                                   {"pfx/elsewhere/marker", "elsewhere"},
                                   {"pfx/dosdevices/", ""}};
    const testutil::Tree registry =
        e2e::With(prefix, {{"pfx/system.reg", ""}, {"pfx/user.reg", ""}});
    const Case cases[] = {
        {"prefix without dosdevices/c:", prefix, {}, {{"WINEPREFIX", "@/pfx"}}, "drive_c", false},
        {"dosdevices/c: relative",
         prefix,
         {{"pfx/dosdevices/c:", "../elsewhere"}},
         {{"WINEPREFIX", "@/pfx//"}},
         "elsewhere",
         false},
        {"dosdevices/c: absolute",
         registry,
         {{"pfx/dosdevices/c:", "@/pfx/elsewhere"}},
         {{"WINEPREFIX", "@/pfx"}},
         "elsewhere",
         true},
        {"dosdevices/c: dangling",
         registry,
         {{"pfx/dosdevices/c:", "../missing"}},
         {{"WINEPREFIX", "@/pfx"}},
         nullptr,
         false},
        {"HOME/.wine",
         {{"home/.wine/drive_c/marker", "home"}},
         {},
         {{"HOME", "@/home"}},
         "home",
         false},
        {"empty WINEPREFIX counts as unset",
         {{"home/.wine/drive_c/marker", "home"}},
         {},
         {{"HOME", "@/home"}, {"WINEPREFIX", ""}},
         "home",
         false},
        {"DOSPREP_DRIVE_C first",
         registry,
         {{"pfx/dosdevices/c:", "../drive_c"}},
         {{"DOSPREP_DRIVE_C", "@/pfx/elsewhere"}, {"WINEPREFIX", "@/pfx"}},
         "elsewhere",
         true},
        {"DOSPREP_DRIVE_C at a prefix's drive_c",
         registry,
         {},
         {{"DOSPREP_DRIVE_C", "@/pfx/drive_c/"}},
         "drive_c",
         true},
        {"DOSPREP_DRIVE_C at dosdevices/c:",
         registry,
         {{"pfx/dosdevices/c:", "../drive_c"}},
         {{"DOSPREP_DRIVE_C", "@/pfx/dosdevices/c:"}},
         "drive_c",
         true},
        {"user.reg missing",
         e2e::With(prefix, {{"pfx/system.reg", ""}}),
         {},
         {{"WINEPREFIX", "@/pfx"}},
         "drive_c",
         false},
        {"registry files are links",
         e2e::With(prefix, {{"pfx/real/system.reg", ""}, {"pfx/real/user.reg", ""}}),
         {{"pfx/system.reg", "real/system.reg"}, {"pfx/user.reg", "real/user.reg"}},
         {{"WINEPREFIX", "@/pfx"}},
         "drive_c",
         false},
        {"registry files are directories",
         e2e::With(prefix, {{"pfx/system.reg/", ""}, {"pfx/user.reg/", ""}}),
         {},
         {{"WINEPREFIX", "@/pfx"}},
         "drive_c",
         false},
        {"nothing set", prefix, {}, {}, nullptr, false},
    };
    for (const Case &c : cases) {
        TempDir base;
        auto expand = [&base](const std::string &value) {
            return value.starts_with('@') ? base.Path() + value.substr(1) : value;
        };
        testutil::MakeTree(base.Path(), c.tree);
        for (const auto &[link, target] : c.links)
            std::filesystem::create_symlink(expand(target), base / link);
        std::vector<std::unique_ptr<ScopedEnv>> env;
        for (const char *name : {"DOSPREP_DRIVE_C", "WINEPREFIX", "HOME"}) {
            auto value = c.env.find(name);
            env.push_back(std::make_unique<ScopedEnv>(
                name, value == c.env.end() ? std::nullopt
                                           : std::optional<std::string>(expand(value->second))));
        }
        testutil::InFreshProcess([&c] {
            Opened opened = ReadDos("C:\\marker");
            EXPECT_EQ(opened.bytes, c.marker ? std::optional<std::string>(c.marker) : std::nullopt)
                << c.name;
            if (!c.marker) {
                EXPECT_EQ(opened.error, ERROR_PATH_NOT_FOUND) << c.name;
            }
            EXPECT_EQ(dosprep::posix::HoldsWineRegistry(dosprep::posix::RunContext()), c.winePrefix)
                << c.name;
        });
    }
}

TEST_F(PlatformPathsTest, WindowsAndSystemDirectories) {
    // As Windows 98 writes it.
    const std::string kMsdosSys = "[Paths]\r\nWinDir=C:\\WIN98\r\nWinBootDir=C:\\WIN98\r\n"
                                  "HostWinBootDrv=C\r\n\r\n[Options]\r\nBootGUI=1\r\n";
    struct Case {
        const char *name;
        testutil::Tree tree;
        const char *windir; // DOSPREP_WINDIR, or nullptr
        const char *windows;
        const char *system;
        bool winePrefix = false; // drive C of a Wine prefix
    };
    const Case cases[] = {
        {"wine layout",
         {{"windows/system32/", ""}},
         nullptr,
         "C:\\windows",
         "C:\\windows\\system32"},
        {"9x layout", {{"WINDOWS/SYSTEM/", ""}}, nullptr, "C:\\WINDOWS", "C:\\WINDOWS\\SYSTEM"},
        {"both, system32 first",
         {{"Windows/System/", ""}, {"Windows/System32/", ""}},
         nullptr,
         "C:\\Windows",
         "C:\\Windows\\System32"},
        {"nothing there", {}, nullptr, "C:\\WINDOWS", "C:\\WINDOWS\\SYSTEM"},
        {"system32 a file",
         {{"windows/system32", ""}},
         nullptr,
         "C:\\windows",
         "C:\\windows\\SYSTEM"},
        {"configured", {{"win98/system/", ""}}, "c:/Win98//", "C:\\win98", "C:\\win98\\system"},
        {"configured with blank",
         {{"windows home/", ""}},
         "C:\\Windows Home",
         "C:\\windows home",
         "C:\\windows home\\SYSTEM"},
        {"configured root", {{"SYSTEM/", ""}}, "C:\\", "C:\\", "C:\\SYSTEM"},
        {"configured, partly missing",
         {{"win/", ""}},
         "C:\\WIN\\New",
         "C:\\win\\New",
         "C:\\win\\New\\SYSTEM"},
        {"empty means unset", {{"WINDOWS/", ""}}, "", "C:\\WINDOWS", "C:\\WINDOWS\\SYSTEM"},
        {"msdos.sys",
         {{"MSDOS.SYS", kMsdosSys}, {"WIN98/SYSTEM/", ""}},
         nullptr,
         "C:\\WIN98",
         "C:\\WIN98\\SYSTEM"},
        {"msdos.sys, on-disk spelling",
         {{"msdos.sys", "[Paths]\r\nWinDir=c:\\win98\\\r\n"}, {"Win98/", ""}},
         nullptr,
         "C:\\Win98",
         "C:\\Win98\\SYSTEM"},
        {"msdos.sys, blanks and case",
         {{"MSDOS.SYS", " [ paths ] \r\n\t windir\t=  C:\\Windows Home \t\r\n"}},
         nullptr,
         "C:\\Windows Home",
         "C:\\Windows Home\\SYSTEM"},
        {"msdos.sys, lone LF and CR, no last line end",
         {{"MSDOS.SYS", "[Options]\rBootGUI=1\n[Paths]\nWinDir=C:\\WIN98"}},
         nullptr,
         "C:\\WIN98",
         "C:\\WIN98\\SYSTEM"},
        {"msdos.sys, first WinDir decides",
         {{"MSDOS.SYS", "[Paths]\r\nWinDir=C:\\A\r\nWinDir=C:\\B\r\n"}},
         nullptr,
         "C:\\A",
         "C:\\A\\SYSTEM"},
        {"msdos.sys overruled", {{"MSDOS.SYS", kMsdosSys}}, "C:\\W", "C:\\W", "C:\\W\\SYSTEM"},
        {"msdos.sys, other drive",
         {{"MSDOS.SYS", "[Paths]\r\nWinDir=D:\\WINDOWS\r\n"}, {"WINDOWS/SYSTEM/", ""}},
         nullptr,
         "D:\\WINDOWS",
         "D:\\WINDOWS\\SYSTEM"},
        {"msdos.sys, no DOS path",
         {{"MSDOS.SYS", "[Paths]\r\nWinDir=WINDOWS\r\n"}, {"WINDOWS/SYSTEM/", ""}},
         nullptr,
         "WINDOWS",
         "WINDOWS\\SYSTEM"},
        {"msdos.sys, NUL after the Ctrl-Z",
         {{"MSDOS.SYS", kMsdosSys + std::string("\x1A\0\0", 3)}},
         nullptr,
         "C:\\WIN98",
         "C:\\WIN98\\SYSTEM"},
        {"msdos.sys of DOS 6, binary",
         {{"MSDOS.SYS", std::string("\xEB\x3C\x90\0\0\x01\r\n", 8) + kMsdosSys}},
         nullptr,
         "C:\\WINDOWS",
         "C:\\WINDOWS\\SYSTEM"},
        {"msdos.sys, record after a Ctrl-Z",
         {{"MSDOS.SYS", "\x1A" + std::string(kMsdosSys)}},
         nullptr,
         "C:\\WINDOWS",
         "C:\\WINDOWS\\SYSTEM"},
        {"msdos.sys, record past 64 KiB",
         {{"MSDOS.SYS", std::string(65536, ';') + "\r\n" + kMsdosSys}},
         nullptr,
         "C:\\WINDOWS",
         "C:\\WINDOWS\\SYSTEM"},
        {"msdos.sys, WinDir of another section",
         {{"MSDOS.SYS", "[Options]\r\nWinDir=C:\\WIN98\r\n[Paths]\r\nWinBootDir=C:\\X\r\n"}},
         nullptr,
         "C:\\WINDOWS",
         "C:\\WINDOWS\\SYSTEM"},
        {"msdos.sys, second [Paths] not read",
         {{"MSDOS.SYS", "[Paths]\r\nWinBootDir=C:\\X\r\n[Paths]\r\nWinDir=C:\\WIN98\r\n"}},
         nullptr,
         "C:\\WINDOWS",
         "C:\\WINDOWS\\SYSTEM"},
        {"msdos.sys, comment and empty value",
         {{"MSDOS.SYS", "[Paths]\r\n;WinDir=C:\\WIN98\r\nWinDir= \r\nWinDir=C:\\X\r\n"}},
         nullptr,
         "C:\\WINDOWS",
         "C:\\WINDOWS\\SYSTEM"},
        {"msdos.sys, header without ]",
         {{"MSDOS.SYS", "[Paths]\r\n[Options\r\nWinDir=C:\\WIN98\r\n"}},
         nullptr,
         "C:\\WIN98",
         "C:\\WIN98\\SYSTEM"},
        {"msdos.sys a directory",
         {{"MSDOS.SYS/", ""}},
         nullptr,
         "C:\\WINDOWS",
         "C:\\WINDOWS\\SYSTEM"},
        {"msdos.sys on a wine prefix is not read",
         {{"MSDOS.SYS", kMsdosSys}, {"WIN98/SYSTEM/", ""}, {"windows/system32/", ""}},
         nullptr,
         "C:\\windows",
         "C:\\windows\\system32",
         true},
    };
    for (const Case &c : cases) {
        TempDir prefix;
        std::string tree = prefix / "drive_c";
        testutil::MakeTree(prefix.Path(), {{"drive_c/", ""}});
        if (c.winePrefix)
            testutil::MakeTree(prefix.Path(), {{"system.reg", "WINE REGISTRY Version 2\n"},
                                               {"user.reg", "WINE REGISTRY Version 2\n"}});
        ScopedEnv drive{"DOSPREP_DRIVE_C", tree};
        ScopedEnv windir{"DOSPREP_WINDIR",
                         c.windir ? std::optional<std::string>(c.windir) : std::nullopt};
        testutil::MakeTree(tree, c.tree);
        testutil::InFreshProcess([&c] {
            std::array<char, MAX_PATH> buffer{};
            UINT length = GetWindowsDirectoryA(buffer.data(), MAX_PATH);
            EXPECT_EQ(std::string(buffer.data()), c.windows) << c.name;
            EXPECT_EQ(length, std::string(c.windows).size()) << c.name;
            length = GetSystemDirectoryA(buffer.data(), MAX_PATH);
            EXPECT_EQ(std::string(buffer.data()), c.system) << c.name;
            EXPECT_EQ(length, std::string(c.system).size()) << c.name;
        });
    }
}

TEST_F(PlatformPathsTest, DirectoryBufferTooSmall) {
    Make({{"WINDOWS/SYSTEM/", ""}});
    const std::string expected = "C:\\WINDOWS\\SYSTEM";
    const auto size = static_cast<UINT>(expected.size());
    std::array<char, 64> buffer{};
    buffer.fill('#');
    EXPECT_EQ(GetSystemDirectoryA(buffer.data(), size), size + 1);
    EXPECT_EQ(std::string(buffer.data(), buffer.size()), std::string(64, '#'));
    EXPECT_EQ(GetSystemDirectoryA(nullptr, 0), size + 1);
    EXPECT_EQ(GetSystemDirectoryA(buffer.data(), size + 1), size);
    EXPECT_EQ(std::string(buffer.data(), size + 2), expected + '\0' + '#');
}

TEST_F(PlatformPathsTest, ShortNames) {
    Make({{"names/Windows Home/file", ""},  {"names/Windows Homer", ""},
          {"names/autoexec.bat", ""},       {"names/WIN98", ""},
          {"names/Long Document.html", ""}, {"names/archive.tar.gz", ""},
          {"names/a+b=c.txt", ""},          {"names/progra~1", ""},
          {"names/Program Files", ""},      {"names/.hidden", ""},
          {"names/Manyfile01", ""},         {"names/Manyfile02", ""},
          {"names/Manyfile03", ""},         {"names/Manyfile04", ""},
          {"names/Manyfile05", ""},         {"names/Manyfile06", ""},
          {"names/Manyfile07", ""},         {"names/Manyfile08", ""},
          {"names/Manyfile09", ""},         {"names/Manyfile10", ""}});
    std::filesystem::create_symlink("Windows Home", driveC_ + "/names/Windows Link");
    struct Case {
        const char *path;
        const char *expected;
    };
    const Case cases[] = {
        {"C:\\names\\Windows Home", "C:\\names\\WINDOW~1"},
        {"C:\\names\\Windows Homer", "C:\\names\\WINDOW~2"},
        {"C:\\names\\autoexec.bat", "C:\\names\\autoexec.bat"},
        {"C:\\names\\win98", "C:\\names\\WIN98"},
        {"C:\\names\\Long Document.html", "C:\\names\\LONGDO~1.HTM"},
        {"C:\\names\\archive.tar.gz", "C:\\names\\ARCHIV~1.GZ"},
        {"C:\\names\\a+b=c.txt", "C:\\names\\ABC~1.TXT"},
        {"C:\\names\\Program Files", "C:\\names\\PROGRA~2"},
        {"C:\\names\\.hidden", "C:\\names\\HIDDEN~1"},
        {"C:\\names\\Manyfile09", "C:\\names\\MANYFI~9"},
        {"C:\\names\\Manyfile10", "C:\\names\\MANYF~10"},
        {"C:/NAMES//windows home/FILE", "C:\\names\\WINDOW~1\\file"},
        {"C:\\names\\Windows Link\\file", "C:\\names\\WINDOW~3\\file"},
        {"C:\\names\\Windows Home\\", "C:\\names\\WINDOW~1\\"},
        {"C:\\", "C:\\"},
        {"c:/", "C:\\"},
    };
    for (const Case &c : cases) {
        std::array<char, MAX_PATH> buffer{};
        DWORD length = GetShortPathNameA(c.path, buffer.data(), MAX_PATH);
        EXPECT_EQ(std::string(buffer.data()), c.expected) << c.path;
        EXPECT_EQ(length, std::string(c.expected).size()) << c.path;
        // A short name must lead back to the same entry.
        std::array<char, MAX_PATH> again{};
        GetShortPathNameA(buffer.data(), again.data(), MAX_PATH);
        EXPECT_EQ(std::string(again.data()), c.expected) << "from " << buffer.data();
    }
}

TEST_F(PlatformPathsTest, ShortNameFailures) {
    Make({{"dir/file", ""}});
    testutil::MakeTree(temp_.Path(), {{"elsewhere/file", ""}});
    std::filesystem::create_symlink("../../elsewhere/file", driveC_ + "/dir/out");
    std::filesystem::create_symlink(temp_ / "elsewhere", driveC_ + "/dirout");
    struct Case {
        const char *path;
        DWORD error;
    };
    const Case cases[] = {
        {"C:\\dir\\missing", ERROR_FILE_NOT_FOUND}, {"C:\\missing\\file", ERROR_PATH_NOT_FOUND},
        {"C:\\dir\\file\\", ERROR_PATH_NOT_FOUND},  {"D:\\dir", ERROR_PATH_NOT_FOUND},
        {"C:\\dir\\out", ERROR_FILE_NOT_FOUND},     {"C:\\dirout", ERROR_FILE_NOT_FOUND},
        {"C:\\dirout\\file", ERROR_PATH_NOT_FOUND},
    };
    for (const Case &c : cases) {
        std::array<char, MAX_PATH> buffer{};
        SetLastError(NO_ERROR);
        EXPECT_EQ(GetShortPathNameA(c.path, buffer.data(), MAX_PATH), 0u) << c.path;
        EXPECT_EQ(GetLastError(), c.error) << c.path;
    }
}

TEST_F(PlatformPathsTest, ShortNameSharedBufferAndSmallBuffer) {
    Make({{"Program Files/", ""}});
    std::array<char, MAX_PATH> buffer{};
    std::string path = "C:\\Program Files";
    path.copy(buffer.data(), path.size());
    EXPECT_EQ(GetShortPathNameA(buffer.data(), buffer.data(), MAX_PATH), 11u);
    EXPECT_EQ(std::string(buffer.data()), "C:\\PROGRA~1");

    std::array<char, 8> small{};
    small.fill('#');
    EXPECT_EQ(GetShortPathNameA("C:\\Program Files", small.data(), 8), 12u);
    EXPECT_EQ(std::string(small.data(), small.size()), std::string(8, '#'));
}

} // namespace
