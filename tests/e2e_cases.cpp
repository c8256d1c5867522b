#include "e2e_cases.h"

using testutil::Tree;

namespace e2e {
namespace {

const std::string kBlaster = "SET  BLASTER=A220 I5  D1 T4\r\n";

// DOSPREP_WINDIR set but empty: the program's own rule finds the Windows
// directory (MSDOS.SYS). Wine has no such rule, and its comparison skips
// cases that set a Windows directory.
const std::optional<std::string> kOwnRule = "";
const std::string kMsdosSys = "[Paths]\r\nWinDir=C:\\WIN98\r\nWinBootDir=C:\\WIN98\r\n"
                              "HostWinBootDrv=C\r\n\r\n[Options]\r\nBootGUI=1\r\n";

Tree Load(const std::string &relative) {
    return testutil::SnapshotTree(std::string(DOSPREP_SOURCE_DIR) + "/" + relative);
}

} // namespace

std::string NotMade(const std::string &dosPath, const std::string &hostPath,
                    const std::string &reason) {
    std::string host = hostPath.empty() ? "" : " ({drive}/" + hostPath + ")";
    return "dosprep: " + dosPath + host + ": " + reason + "; left as it was\n";
}

Tree With(Tree tree, const Tree &more) {
    for (const auto &[path, bytes] : more)
        tree[path] = bytes;
    return tree;
}

std::vector<EndToEndCase> Cases() {
    Tree win98 = Load("examples/win98");
    Tree japanese = Load("examples/win98-jp");
    Tree win98Result = Load("tests/golden/win98");
    Tree japaneseResult = Load("tests/golden/win98-jp");
    Tree winePrefix = {{"windows/system32/", ""}, {"windows/win.ini", "[intl]\nsLanguage=enu\n"}};
    const std::string oldAutoexec = "@ECHO OFF\r\nSET BLASTER=A1\r\n";
    const std::string autoexecDiff = "--- a/AUTOEXEC.BAT\n+++ b/AUTOEXEC.BAT\n@@ -1,2 +1,2 @@\n"
                                     " @ECHO OFF\r\n-SET BLASTER=A1\r\n+" +
                                     kBlaster;
    const std::string setup = "C:\\WINDOWS\\audprep.exe /S\r\n";
    Tree small = {{"AUTOEXEC.BAT", oldAutoexec}, {"WINDOWS/SYSTEM/", ""}};
    const std::string usageError = "\nTry 'dosprep --help' for more information.\n";
    const std::string registry = "WINE REGISTRY Version 2\n";
    // Windows directories whose set-up line passes one line piece (245
    // characters), and whose short form passes the path limit (277 for 222).
    std::string setupDos = "C:", setupHost, shortDos = "C:", shortHost;
    for (int i = 0; i < 27; ++i) {
        setupDos += "\\ABCDEFGH";
        setupHost += "ABCDEFGH/";
    }
    for (int i = 0; i < 55; ++i) {
        shortDos += "\\A B";
        shortHost += "a b/";
    }
    const std::string pastTheLimit = "path past the limit of 259 characters";
    return {
        {"windows 98 sample", win98, win98Result, std::nullopt, {}},
        {"arguments are ignored", win98, win98Result, std::nullopt, {"/?", "--help", "C:\\"}},
        {"japanese sample", japanese, japaneseResult, std::nullopt, {}},
        {"wine prefix creates both files",
         winePrefix,
         {{"autoexec.bat", kBlaster}, {"windows/dosstart.bat", "C:\\windows\\audprep.exe /S\r\n"}},
         std::nullopt,
         {}},
        {"long windows directory uses its short name",
         {{"Windows Home/SYSTEM/", ""},
          {"Windows Home/win.ini", "[intl]\r\nsLanguage=jpn\r\n"},
          {"Windows Home/DOSSTART.BAT", "JP\r\n"}},
         {{"autoexec.bat", kBlaster},
          {"Windows Home/DOSSTART.BAT", "CHCP 437\r\nC:\\WINDOW~1\\audprep.exe /S\r\nJP\r\n"}},
         "C:\\Windows Home",
         {}},
        {"windows directory at the root",
         {{"SYSTEM/", ""}, {"WIN.INI", "[intl]\r\nsLanguage=enu\r\n"}},
         {{"autoexec.bat", kBlaster}, {"dosstart.bat", "C:\\\\audprep.exe /S\r\n"}},
         "C:\\",
         {}},
        {.name = "missing windows directory touches nothing",
         .before = win98,
         .windir = "C:\\NOWIN",
         .status = 1,
         .errors = NotMade("C:\\AUTOEXEC.BAT", "AUTOEXEC.BAT", "no Windows directory C:\\NOWIN") +
                   NotMade("C:\\NOWIN\\DOSSTART.BAT", "NOWIN/dosstart.bat",
                           "no Windows directory C:\\NOWIN")},
        {.name = "missing system directory touches nothing",
         .before = {{"WINDOWS/WIN.INI", ""}, {"AUTOEXEC.BAT", "SET BLASTER=A\r\n"}},
         .status = 1,
         .errors = NotMade("C:\\AUTOEXEC.BAT", "AUTOEXEC.BAT",
                           "no system directory (SYSTEM32 or SYSTEM) in C:\\WINDOWS") +
                   NotMade("C:\\WINDOWS\\DOSSTART.BAT", "WINDOWS/dosstart.bat",
                           "no system directory (SYSTEM32 or SYSTEM) in C:\\WINDOWS")},
        {"msdos.sys names the windows directory",
         With(win98, {{"MSDOS.SYS", kMsdosSys}, {"WIN98/SYSTEM/", ""}}),
         {{"AUTOEXEC.BAT", win98Result.at("AUTOEXEC.BAT")},
          {"WIN98/dosstart.bat", "C:\\WIN98\\audprep.exe /S\r\n"}},
         kOwnRule,
         {}},
        {"binary msdos.sys is not read",
         With(win98, {{"MSDOS.SYS", std::string("\xEB\x3C\x90\0\r\n", 6) + kMsdosSys},
                      {"WIN98/SYSTEM/", ""}}),
         win98Result,
         kOwnRule,
         {}},
        {.name = "msdos.sys naming another drive touches nothing",
         .before = With(win98, {{"MSDOS.SYS", "[Paths]\r\nWinDir=D:\\WINDOWS\r\n"}}),
         .windir = kOwnRule,
         .status = 1,
         .errors = NotMade("C:\\AUTOEXEC.BAT", "AUTOEXEC.BAT",
                           "the Windows directory D:\\WINDOWS is not on drive C") +
                   NotMade("D:\\WINDOWS\\DOSSTART.BAT", "",
                           "the Windows directory D:\\WINDOWS is not on drive C")},
        {.name = "autoexec.tmp that cannot be created leaves autoexec.bat",
         .before = With(win98, {{"autoexec.tmp/", ""}}),
         .changed = {{"WINDOWS/DOSSTART.BAT", win98Result.at("WINDOWS/DOSSTART.BAT")}},
         .status = 1,
         .errors = NotMade("C:\\AUTOEXEC.BAT", "AUTOEXEC.BAT",
                           "cannot create C:\\AUTOEXEC.TMP (a directory)")},
        {"the Windows program ignores the native program's options",
         win98,
         win98Result,
         std::nullopt,
         {"--dry-run", "--bogus", "C:\\NOWHERE", "C:\\"}},
        // The native program's command line.
        {.name = "--help touches nothing",
         .before = win98,
         .nativeArgs = {"--help", "{drive}"},
         .printed = "Usage: dosprep [--dry-run | --diff] [DRIVE]\n..."},
        {.name = "--print-windows-dir prints what MSDOS.SYS names, spelt as on disk",
         .before = With(win98, {{"MSDOS.SYS", "[Paths]\r\nWinDir=c:\\windows\\.\r\n"}}),
         .nativeArgs = {"--print-windows-dir", "{drive}"},
         .printed = "C:\\WINDOWS\n"},
        {.name = "--print-windows-dir: 1 for a long name, which DOS cannot use",
         .before = With(win98, {{"MSDOS.SYS", "[Paths]\r\nWinDir=C:\\Windows Home\r\n"}}),
         .nativeArgs = {"{drive}", "--print-windows-dir"},
         .status = 1,
         .printed = "C:\\Windows Home\n"},
        {.name = "--version touches nothing",
         .before = win98,
         .nativeArgs = {"{drive}", "--version"},
         .printed = "dosprep " DOSPREP_VERSION "\n"},
        {.name = "an unknown option touches nothing",
         .before = win98,
         .nativeArgs = {"{drive}", "--bogus"},
         .status = 2,
         .errors = "dosprep: unrecognized option '--bogus'" + usageError},
        {.name = "two DRIVEs touch nothing",
         .before = win98,
         .nativeArgs = {"{drive}", "{drive}/WINDOWS"},
         .status = 2,
         .errors = "dosprep: extra operand '{drive}/WINDOWS'" + usageError},
        {.name = "a DRIVE that does not exist touches nothing",
         .before = win98,
         .nativeArgs = {"{drive}/missing"},
         .status = 1,
         .errors = "dosprep: cannot use {drive}/missing as drive C: No such file or directory\n"},
        {.name = "a DRIVE that is a file touches nothing",
         .before = win98,
         .nativeArgs = {"--", "{drive}/AUTOEXEC.BAT"},
         .status = 1,
         .errors = "dosprep: cannot use {drive}/AUTOEXEC.BAT as drive C: Not a directory\n"},
        {.name = "DRIVE as drive C, beside DOSPREP_DRIVE_C",
         .before = win98,
         .changed = win98Result,
         .nativeArgs = {"{drive}/"}},
        {.name = "DRIVE as a Wine prefix: C:\\windows, whatever MSDOS.SYS says",
         .before = {{"drive_c/windows/system32/", ""},
                    {"drive_c/WIN98/SYSTEM/", ""},
                    {"drive_c/MSDOS.SYS", kMsdosSys},
                    {"system.reg", registry},
                    {"user.reg", registry}},
         .changed = {{"drive_c/autoexec.bat", kBlaster},
                     {"drive_c/windows/dosstart.bat", "C:\\windows\\audprep.exe /S\r\n"}},
         .windir = kOwnRule,
         .nativeArgs = {"{drive}"}},
        {.name = "--diff shows the file that changed, not the one that stayed",
         .before = With(small, {{"WINDOWS/DOSSTART.BAT", setup}}),
         .changed = {{"AUTOEXEC.BAT", "@ECHO OFF\r\n" + kBlaster}},
         .nativeArgs = {"--diff", "{drive}"},
         .printed = autoexecDiff},
        {.name = "--dry-run shows the diff and changes nothing",
         .before = small,
         .nativeArgs = {"--dry-run", "{drive}"},
         .printed = autoexecDiff +
                    "--- a/WINDOWS/dosstart.bat\n+++ b/WINDOWS/dosstart.bat\n"
                    "@@ -0,0 +1 @@\n+" +
                    setup},
        {.name = "--dry-run tells what a run could not do",
         .before = With(small, {{"WINDOWS/dosstart.tmp/", ""}}),
         .nativeArgs = {"{drive}", "--dry-run"},
         .status = 1,
         .printed = autoexecDiff,
         .errors = NotMade("C:\\WINDOWS\\DOSSTART.BAT", "WINDOWS/dosstart.bat",
                           "cannot create C:\\WINDOWS\\DOSSTART.TMP (a directory)")},
        {.name = "a long-named windows directory: its batch file named by the short path",
         .before = {{"Windows Home/SYSTEM/", ""}, {"Windows Home/DOSSTART.BAT/", ""}},
         .changed = {{"autoexec.bat", kBlaster}},
         .windir = "C:\\Windows Home",
         .status = 1,
         .errors =
             NotMade("C:\\WINDOW~1\\DOSSTART.BAT", "Windows Home/DOSSTART.BAT", "a directory")},
        {.name = "a set-up line longer than one line piece leaves dosstart.bat",
         .before = {{setupHost + "SYSTEM/", ""}},
         .changed = {{"autoexec.bat", kBlaster}},
         .windir = setupDos,
         .status = 1,
         .errors = NotMade(setupDos + "\\DOSSTART.BAT", setupHost + "dosstart.bat",
                           "the set-up line would pass the limit of 255 characters")},
        {.name = "a short form past the path limit touches nothing",
         .before = {{shortHost + "SYSTEM/", ""}, {"AUTOEXEC.BAT", oldAutoexec}},
         .windir = shortDos,
         .status = 1,
         .errors = NotMade("C:\\AUTOEXEC.BAT", "AUTOEXEC.BAT", pastTheLimit) +
                   NotMade(shortDos + "\\DOSSTART.BAT", shortHost + "dosstart.bat", pastTheLimit)},
    };
}

} // namespace e2e
