// The Windows program under Wine on the same cases as the native program:
// the real KERNEL32 behaviour, and both programs must leave the same bytes.
#include "e2e_cases.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <sstream>
#include <thread>

#include <csignal>
#include <unistd.h>

namespace fs = std::filesystem;
using testutil::Tree;

namespace {

std::string FindOnPath(const std::string &program) {
    const char *path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        std::string candidate = dir + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return "";
}

std::string Lower(std::string text) {
    for (char &c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// The entry under root whose path matches `relative` without regard to
// case, as Windows would find it.
std::optional<fs::path> FindIgnoringCase(const fs::path &root, const std::string &relative) {
    fs::path current = root;
    std::istringstream parts(relative);
    for (std::string part; std::getline(parts, part, '/');) {
        if (part.empty())
            continue;
        std::error_code error;
        std::optional<fs::path> next;
        for (const auto &entry : fs::directory_iterator(current, error))
            if (Lower(entry.path().filename().string()) == Lower(part))
                next = entry.path();
        if (!next)
            return std::nullopt;
        current = *next;
    }
    return current;
}

// The case's tree as it stands in a Wine prefix: the Windows directory is
// drive_c/windows with system32 in it.
Tree WineLayout(const Tree &tree) {
    Tree layout = {{"windows/", ""}, {"windows/system32/", ""}};
    for (const auto &[path, bytes] : tree) {
        std::string mapped = path;
        if (Lower(mapped).starts_with("windows/"))
            mapped = "windows/" + mapped.substr(8);
        if (!Lower(mapped).starts_with("windows/system/"))
            layout[mapped] = bytes;
    }
    return layout;
}

// The files that a run may touch, by their lower-case names.
std::vector<std::string> Watched(const e2e::EndToEndCase &c, const Tree &layout) {
    std::vector<std::string> watched = {"autoexec.bat", "autoexec.tmp", "windows/dosstart.bat",
                                        "windows/dosstart.tmp", "windows/win.ini"};
    for (const auto &[path, bytes] : layout)
        if (!path.ends_with('/'))
            watched.push_back(Lower(path));
    for (const auto &[path, bytes] : c.changed)
        if (!path.ends_with('/'))
            watched.push_back(Lower(path));
    return watched;
}

Tree Collect(const fs::path &drive, const std::vector<std::string> &watched) {
    Tree found;
    for (const std::string &path : watched) {
        std::optional<fs::path> entry = FindIgnoringCase(drive, path);
        if (!entry)
            found[path] = "<missing>";
        else if (fs::is_directory(*entry))
            found[path] = "<directory>";
        else
            found[path] = testutil::ReadBytes(entry->string()).value_or("<unreadable>");
    }
    return found;
}

bool CiRun() {
    return std::getenv("CI") && std::string(std::getenv("CI")) == "true";
}

std::string FromEnv(const char *name, const std::string &fallback) {
    const char *value = std::getenv(name);
    return value && *value ? value : fallback;
}

// True when the Wine loader starts on this host (a kernel without 32-bit
// support cannot start it).
bool Starts(const std::string &loader) {
    if (access(loader.c_str(), X_OK) != 0)
        return false;
    try {
        return testutil::RunProgram({loader, "--version"}, {}).exitCode == 0;
    } catch (const std::exception &) {
        return false;
    }
}

// How the Windows program runs here: the Wine loader, the prefix kind it
// needs, the exe, and what that is, for the log.
struct WineSetup {
    std::string loader, arch, exe, what;
};

// The shipped 32-bit exe under 32-bit Wine. Where 32-bit Wine cannot start
// (a kernel without 32-bit support), the same sources built as PE32+
// (preset win64-test) under 64-bit Wine. Empty loader, with `why` set,
// when neither can run here.
WineSetup ChooseWine(std::string &why) {
    std::string exe32 = FromEnv("DOSPREP_WIN32_EXE", DOSPREP_SOURCE_DIR "/build/win32/dosprep.exe");
    std::string exe64 = DOSPREP_SOURCE_DIR "/build/win64-test/dosprep.exe";
    std::string wine32 = FromEnv("DOSPREP_WINE32", "/usr/lib/wine/wine");
    const std::string wine64 = "/usr/lib/wine/wine64";
    if (fs::exists(exe32) && Starts(wine32))
        return {wine32, "win32", exe32, exe32 + " (32-bit Wine)"};
    std::string reason = fs::exists(exe32) ? wine32 + " does not start" : exe32 + " is not built";
    if (fs::exists(exe64) && Starts(wine64))
        return {wine64, "win64", exe64, exe64 + " (PE32+ under 64-bit Wine: " + reason + ")"};
    why = reason + ", and " +
          (fs::exists(exe64) ? wine64 + " does not start" : exe64 + " is not built");
    return {};
}

class WineTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        wine_ = ChooseWine(missing_);
        if (!wine_.loader.empty())
            std::cout << "Windows program under test: " << wine_.what << std::endl;
        wineserver_ = FindOnPath("wineserver");
        if (wine_.loader.empty() || wineserver_.empty())
            missing_ += wineserver_.empty() ? " (and wineserver)" : "";
    }
    static void TearDownTestSuite() { prefixes_.clear(); }

    void SetUp() override {
        if (missing_.empty())
            return;
        if (CiRun())
            FAIL() << "The Windows program cannot be tested: " << missing_;
        GTEST_SKIP() << "SKIPPED: the Windows program is not tested: " << missing_;
    }

    // A Wine prefix, and the locale that Wine runs in there.
    struct Prefix {
        std::shared_ptr<testutil::TempDir> dir;
        std::string locale;
    };

    // The prefix made with `locale`, made on first use: one wineboot each.
    // LC_ALL=C stands for a prefix whose WIN.INI [intl] is not mapped to
    // the registry, so that it is read from the file as Windows 9x does.
    static const Prefix &PrefixFor(const std::string &locale) {
        auto found = prefixes_.find(locale);
        if (found != prefixes_.end())
            return found->second;
        Prefix prefix{std::make_shared<testutil::TempDir>(), locale};
        Wine(prefix, {wine_.loader, "wineboot", "-i"});
        if (locale == "C")
            Wine(prefix,
                 {wine_.loader, "reg", "delete",
                  "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\IniFileMapping\\win.ini",
                  "/v", "intl", "/f"});
        return prefixes_.emplace(locale, prefix).first->second;
    }

    static std::map<std::string, std::string> WineEnvironment(const Prefix &prefix) {
        return {{"WINEPREFIX", prefix.dir->Path()},
                {"WINEARCH", wine_.arch},
                {"WINELOADER", wine_.loader},
                {"WINEDEBUG", "-all"},
                {"WINEDLLOVERRIDES", "mscoree,mshtml="},
                {"LC_ALL", prefix.locale}};
    }
    static inline const std::vector<std::string> kWineUnset = {"DISPLAY", "WAYLAND_DISPLAY",
                                                               "DOSPREP_DRIVE_C", "DOSPREP_WINDIR"};

    // Starts a Wine command in a prefix, without waiting for it.
    static testutil::StartedProgram StartWine(const Prefix &prefix,
                                              const std::vector<std::string> &argv) {
        return testutil::StartProgram(argv, WineEnvironment(prefix), kWineUnset);
    }

    // Runs a Wine command in a prefix and waits until Wine is idle.
    static testutil::ProgramResult Wine(const Prefix &prefix,
                                        const std::vector<std::string> &argv) {
        testutil::ProgramResult result = testutil::FinishProgram(StartWine(prefix, argv));
        testutil::RunProgram({wineserver_, "-w"}, WineEnvironment(prefix), kWineUnset);
        return result;
    }

    // What the native program, then the Windows program under Wine, leave
    // of a case laid out in the prefix's drive C. The native program runs
    // on the prefix itself through WINEPREFIX when `throughWinePrefix`,
    // else on a copy of the layout of its own.
    static std::pair<Tree, Tree> RunBoth(const e2e::EndToEndCase &c, const Prefix &prefix,
                                         bool throughWinePrefix) {
        fs::path driveC = fs::path(prefix.dir->Path()) / "drive_c";
        Tree layout = WineLayout(c.before);
        std::vector<std::string> watched = Watched(c, layout);
        auto lay = [&] {
            for (const std::string &path : watched)
                if (std::optional<fs::path> entry = FindIgnoringCase(driveC, path))
                    fs::remove_all(*entry);
            testutil::MakeTree(driveC.string(), layout);
        };

        // The case's arguments are the Windows program's; the native
        // program reads its own, and none are given to it here.
        std::vector<std::string> argv = {DOSPREP_EXE};
        Tree nativeResult;
        if (throughWinePrefix) {
            lay();
            testutil::RunProgram(argv, {{"WINEPREFIX", prefix.dir->Path()}},
                                 {"DOSPREP_WINDIR", "DOSPREP_DRIVE_C"});
            nativeResult = Collect(driveC, watched);
        } else {
            testutil::TempDir native;
            testutil::MakeTree(native.Path(), layout);
            testutil::RunProgram(argv, {{"DOSPREP_DRIVE_C", native.Path()}},
                                 {"DOSPREP_WINDIR", "WINEPREFIX"});
            nativeResult = Collect(native.Path(), watched);
        }

        lay();
        argv = {wine_.loader, wine_.exe};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        testutil::ProgramResult result = Wine(prefix, argv);
        // Silent and status 0, whatever it was given.
        EXPECT_EQ(result.exitCode, 0) << result.output;
        EXPECT_EQ(result.output, "");
        return {nativeResult, Collect(driveC, watched)};
    }

    static inline WineSetup wine_;
    static inline std::string wineserver_, missing_;
    static inline std::map<std::string, Prefix> prefixes_;
};

TEST_F(WineTest, SameBytesAsTheNativeProgram) {
    for (const e2e::EndToEndCase &c : e2e::Cases()) {
        // Wine's Windows directory is always C:\windows; the native
        // program's own options have no Windows counterpart.
        if (c.windir || !c.nativeArgs.empty())
            continue;
        SCOPED_TRACE(c.name);
        auto [nativeResult, wineResult] = RunBoth(c, PrefixFor("C"), false);
        EXPECT_EQ(testutil::Describe(wineResult), testutil::Describe(nativeResult));
        EXPECT_NE(nativeResult.at("windows/dosstart.bat"), "<missing>");
    }
}

// On prefixes that keep Wine's IniFileMapping, the language is the
// registry's, whatever WIN.INI says: every case's DOSSTART.BAT ends in the
// Japanese lines on the Japanese prefix, and in the set-up line alone on
// the English one.
TEST_F(WineTest, SameBytesOnPrefixesThatMapWinIniToTheRegistry) {
    const std::string setup = "C:\\windows\\audprep.exe /S\r\n";
    for (const char *locale : {"ja_JP.UTF-8", "en_US.UTF-8"}) {
        const Prefix &prefix = PrefixFor(locale);
        bool japanese = locale == std::string("ja_JP.UTF-8");
        for (const e2e::EndToEndCase &c : e2e::Cases()) {
            if (c.windir || !c.nativeArgs.empty())
                continue;
            SCOPED_TRACE(c.name + " on " + locale);
            auto [nativeResult, wineResult] = RunBoth(c, prefix, true);
            EXPECT_EQ(testutil::Describe(wineResult), testutil::Describe(nativeResult));
            const std::string &dosstart = nativeResult.at("windows/dosstart.bat");
            if (japanese)
                EXPECT_TRUE(dosstart.ends_with("\nCHCP 437\r\n" + setup + "JP\r\n") ||
                            dosstart == "CHCP 437\r\n" + setup + "JP\r\n")
                    << testutil::Escaped(dosstart);
            else
                EXPECT_TRUE(dosstart.ends_with("\n" + setup) || dosstart == setup)
                    << testutil::Escaped(dosstart);
        }
    }
}

// Two runs at once on one prefix: the first is paused once its
// autoexec.tmp exists, and the second, started then, waits for its mutex
// without touching the drive; both then end silently, as one run after the
// other, and autoexec.bat is exact.
TEST_F(WineTest, OverlappingRunsEndOneAfterTheOther) {
    const Prefix &prefix = PrefixFor("C");
    fs::path driveC = fs::path(prefix.dir->Path()) / "drive_c";
    std::string old, prepared;
    for (int line = 0; line < 200000; ++line)
        old += "REM " + std::to_string(line) + " of a long autoexec.bat\r\n";
    prepared = old + "SET  BLASTER=A220 I5  D1 T4\r\n";
    old += "SET BLASTER=A240 I7 D3 T6\r\n";
    std::string autoexec = (driveC / "autoexec.bat").string(),
                temp = (driveC / "autoexec.tmp").string();
    testutil::WriteBytes(autoexec, old);
    fs::remove(temp);
    testutil::StartedProgram first = StartWine(prefix, {wine_.loader, wine_.exe});
    // The first is caught between creating its temporary file and copying it.
    while (!testutil::Exists(temp) && testutil::StillRunning(first)) {
    }
    kill(first.pid, SIGSTOP);
    // Whatever fails below, the first run goes on and ends.
    struct Resume {
        int pid;
        ~Resume() { kill(pid, SIGCONT); }
    } resume{first.pid};
    ASSERT_TRUE(testutil::Exists(temp)) << "the first run ended before it could be paused";
    ASSERT_TRUE(testutil::ReadBytes(autoexec) == old); // 6 MB: not printed
    std::string partial = testutil::ReadBytes(temp).value_or("<missing>");
    testutil::StartedProgram second = StartWine(prefix, {wine_.loader, wine_.exe});
    // Once its own image runs, a second run that did not wait would empty
    // autoexec.tmp at once; one that waits passes however slow the host.
    std::string comm = "/proc/" + std::to_string(second.pid) + "/comm";
    while (testutil::StillRunning(second) &&
           testutil::ReadBytes(comm).value_or("") != "dosprep.exe\n") {
    }
    for (int check = 0; check < 100; ++check) {
        ASSERT_TRUE(testutil::StillRunning(second));
        ASSERT_TRUE(testutil::ReadBytes(temp) == partial) << "the second run wrote autoexec.tmp";
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(first.pid, SIGCONT);
    for (const testutil::StartedProgram &run : {first, second}) {
        testutil::ProgramResult result = testutil::FinishProgram(run);
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.output, "");
    }
    testutil::RunProgram({wineserver_, "-w"}, WineEnvironment(prefix), kWineUnset);
    EXPECT_TRUE(testutil::ReadBytes(autoexec) == prepared);
    EXPECT_FALSE(testutil::Exists(temp));
}

} // namespace
