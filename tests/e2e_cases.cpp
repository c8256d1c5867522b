#include "e2e_cases.h"

using testutil::Tree;

namespace e2e {
namespace {

const std::string kBlaster = "SET  BLASTER=A220 I5  D1 T4\r\n";

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
        {"autoexec.tmp that cannot be created leaves autoexec.bat",
         With(win98, {{"autoexec.tmp/", ""}}),
         {{"WINDOWS/DOSSTART.BAT", win98Result.at("WINDOWS/DOSSTART.BAT")}},
         std::nullopt,
         {}},
    };
}

} // namespace e2e
