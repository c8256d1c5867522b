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
        {"missing windows directory touches nothing", win98, {}, "C:\\NOWIN", {}},
        {"missing system directory touches nothing",
         {{"WINDOWS/WIN.INI", ""}, {"AUTOEXEC.BAT", "SET BLASTER=A\r\n"}},
         {},
         std::nullopt,
         {}},
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
        {"msdos.sys naming another drive touches nothing",
         With(win98, {{"MSDOS.SYS", "[Paths]\r\nWinDir=D:\\WINDOWS\r\n"}}),
         {},
         kOwnRule,
         {}},
        {"autoexec.tmp that cannot be created leaves autoexec.bat",
         With(win98, {{"autoexec.tmp/", ""}}),
         {{"WINDOWS/DOSSTART.BAT", win98Result.at("WINDOWS/DOSSTART.BAT")}},
         std::nullopt,
         {}},
    };
}

} // namespace e2e
