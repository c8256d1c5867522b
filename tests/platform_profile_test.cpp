// The POSIX platform layer: GetProfileStringA on WIN.INI texts.
#include "platform/win32_api.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <optional>
#include <string>

namespace {

using testutil::ScopedEnv;
using testutil::TempDir;

class PlatformProfileTest : public ::testing::Test {
  protected:
    TempDir drive_;
    ScopedEnv env_{"DOSPREP_DRIVE_C", drive_.Path()};
    ScopedEnv windir_{"DOSPREP_WINDIR", std::nullopt};
};

// A literal's bytes, NULs included.
template <std::size_t N> std::string Bytes(const char (&text)[N]) {
    return std::string(text, N - 1);
}

struct Answer {
    std::string text;
    DWORD result;
};

// sLanguage of [intl], as the program asks for it, with a default that
// shows when it is the default that came back.
Answer Query(DWORD size = 16, const char *defaultValue = "-") {
    std::array<char, 64> buffer{};
    buffer.fill('#');
    DWORD result = GetProfileStringA("intl", "sLanguage", defaultValue, buffer.data(), size);
    // Nothing may be written past `size`.
    for (std::size_t i = size; i < buffer.size(); ++i) {
        if (buffer[i] != '#')
            return {"<written past the buffer>", result};
    }
    std::size_t length = strnlen(buffer.data(), size);
    if (size != 0 && length == size)
        return {"<no NUL>", result};
    return {std::string(buffer.data(), length), result};
}

TEST_F(PlatformProfileTest, WinIniTexts) {
    const std::string junk = Bytes("\x01\xFF\x00\x7F[intl\x00=\xFE\r\n");
    struct Case {
        const char *name;
        std::optional<std::string> file; // nullopt: no WIN.INI
        const char *text;
        DWORD result;
    };
    const Case cases[] = {
        {"plain", "[intl]\r\nsLanguage=deu\r\n", "deu", 3},
        {"case of names", "[INTL]\nSLANGUAGE=fra\n", "fra", 3},
        {"blanks and tabs", " \t[intl]\t\n \t sLanguage \t= \t ita \t\n", "ita", 3},
        {"blanks in brackets", "[ intl ]\nsLanguage=esp", "esp", 3},
        {"text after bracket", "[intl] ; x\nsLanguage=esp", "esp", 3},
        {"double quotes", "[intl]\nsLanguage=\"nld\"\n", "nld", 3},
        {"single quotes", "[intl]\nsLanguage = ' sve ' \n", " sve ", 5},
        {"mismatched quotes", "[intl]\nsLanguage=\"fin'\n", "\"fin'", 5},
        {"lone quote", "[intl]\nsLanguage=\"\n", "\"", 1},
        {"comment line", "[intl]\n  ;sLanguage=xxx\nsLanguage=nor\n", "nor", 3},
        {"no inline comment", "[intl]\nsLanguage=jpn ; x\n", "jpn ; x", 7},
        {"LF", "[intl]\nsLanguage=ptg\n", "ptg", 3},
        {"CR", "[intl]\rsLanguage=ptb\r", "ptb", 3},
        {"CR LF", "[intl]\r\niCountry=1\r\nsLanguage=plk\r\n", "plk", 3},
        {"byte-order mark", "\xEF\xBB\xBF[intl]\r\nsLanguage=rus\r\n", "rus", 3},
        {"first key wins", "[intl]\nsLanguage=enu\nsLanguage=deu\n", "enu", 3},
        {"first section wins", "[intl]\nsLanguage=enu\n[intl]\nsLanguage=deu\n", "enu", 3},
        {"later section ignored", "[intl]\niCountry=1\n[intl]\nsLanguage=deu\n", "-", 1},
        {"other section first", "[other]\nsLanguage=xxx\n[intl]\nsLanguage=csy\n", "csy", 3},
        {"key before any section", "sLanguage=xxx\n[intl]\n", "-", 1},
        {"no file", std::nullopt, "-", 1},
        {"no section", "[windows]\nsLanguage=deu\n", "-", 1},
        {"no key", "[intl]\nsLanguageX=deu\nsLang=deu\n", "-", 1},
        {"line without =", "[intl]\nsLanguage\n", "-", 1},
        {"without = comes first", "[intl]\nsLanguage\nsLanguage=deu\n", "-", 1},
        {"empty value", "[intl]\nsLanguage=\n", "-", 1},
        {"blank value", "[intl]\nsLanguage=  \t\n", "-", 1},
        {"empty quotes", "[intl]\nsLanguage=\"\"\n", "-", 1},
        {"1 MB value", "[intl]\nsLanguage=" + std::string(1 << 20, 'x') + "\n", "xxxxxxxxxxxxxxx",
         15},
        {"1 MB quoted", "[intl]\nsLanguage=\"" + std::string(1 << 20, 'y') + "\"",
         "yyyyyyyyyyyyyyy", 15},
        {"1 MB line first", std::string(1 << 20, '[') + "\n[intl]\nsLanguage=hun\n", "hun", 3},
        {"past 2 MiB a line goes on as one of its own",
         "[intl]\n" + std::string(2 << 20, 'x') + "sLanguage=hun\n", "hun", 3},
        {"Ctrl-Z is a blank", "[intl]\nsLanguage=\032deu\032\n", "deu", 3},
        {"binary junk", junk + junk + "[intl]\n" + junk + "sLanguage=trk\n" + junk, "trk", 3},
        {"NUL ends the value", Bytes("[intl]\nsLanguage=ab\0cd\n"), "ab", 2},
    };
    for (const Case &c : cases) {
        TempDir drive;
        ScopedEnv env{"DOSPREP_DRIVE_C", drive.Path()};
        testutil::MakeTree(drive.Path(), {{"WINDOWS/", ""}});
        if (c.file)
            testutil::WriteBytes(drive / "WINDOWS/WIN.INI", *c.file);
        Answer answer = Query();
        EXPECT_EQ(answer.text, c.text) << c.name;
        EXPECT_EQ(answer.result, c.result) << c.name;
    }
}

// A registry file as Wine writes it, with these keys.
std::string RegistryFile(const std::string &keys) {
    return "WINE REGISTRY Version 2\n;; All keys relative to "
           "REGISTRY\\\\Machine\n\n#arch=win32\n\n" +
           keys;
}

const std::string kMappingKey =
    R"([Software\\Microsoft\\Windows NT\\CurrentVersion\\IniFileMapping\\win.ini] 1796777475)"
    "\n#time=1dd877764cbce82\n";
// Wine's own mapping of [intl], with a neighbour.
const std::string kWineMapping = kMappingKey + R"("desktop"="USR:Control Panel\\Desktop")"
                                               "\n"
                                               R"("intl"="USR:Control Panel\\International")"
                                               "\n";
const std::string kInternational = "[Control Panel\\\\International] 1796777468\n";

std::string Mapping(const std::string &intl) {
    return RegistryFile(kMappingKey + "\"intl\"=\"" + intl + "\"\n");
}

std::string Language(const std::string &value) {
    return RegistryFile(kInternational + "\"sLanguage\"=" + value + "\n");
}

TEST_F(PlatformProfileTest, WinePrefixRegistry) {
    const std::string system = RegistryFile(kWineMapping);
    const std::string subkey =
        R"([Software\\Microsoft\\Windows NT\\CurrentVersion\\IniFileMapping\\win.ini\\intl] 1)"
        "\n";
    const std::string others =
        "[Other] 1\n\"sLanguage\"=\"ITA\"\n[Sections\\\\intl] 1\n"
        "\"sLanguage\"=\"FRA\"\n[Software\\\\Lang] 1\n\"sLanguage\"=\"NLD\"\n";
    struct Case {
        const char *name;
        std::optional<std::string> system; // nullopt: no such file
        std::optional<std::string> user;
        const char *text;
        DWORD result;
    };
    const Case cases[] = {
        {"the registry, not WIN.INI", system, Language("\"JPN\""), "JPN", 3},
        {"no value: the default, not WIN.INI", system, RegistryFile(kInternational), "-", 1},
        {"no key: the default", system, RegistryFile("[Other] 1\n\"sLanguage\"=\"JPN\"\n"), "-", 1},
        {"no registry: WIN.INI", std::nullopt, std::nullopt, "deu", 3},
        {"no user.reg: WIN.INI", system, std::nullopt, "deu", 3},
        {"intl not mapped: WIN.INI",
         RegistryFile(kMappingKey + R"("desktop"="USR:Control Panel\\Desktop")"
                                    "\n"),
         Language("\"JPN\""), "deu", 3},
        {"no mapping key: WIN.INI", RegistryFile("[Software\\\\Wine] 1\n"), Language("\"JPN\""),
         "deu", 3},
        {"subkey's value for the key first",
         RegistryFile(kWineMapping + subkey + "\"sLanguage\"=\"USR:Other\"\n@=\"USR:Sections\"\n"),
         RegistryFile(others), "ITA", 3},
        {"subkey's default value",
         RegistryFile(kWineMapping + subkey + "@=\"USR:Other\"\n\"iCountry\"=\"USR:X\"\n"),
         RegistryFile(others), "ITA", 3},
        {"subkey without either: WIN.INI",
         RegistryFile(kWineMapping + subkey + "\"iCountry\"=\"USR:Other\"\n"), RegistryFile(others),
         "deu", 3},
        {"default value plus section", RegistryFile(kMappingKey + "@=\"USR:Sections\"\n"),
         RegistryFile(others), "FRA", 3},
        {"SYS: is HKEY_LOCAL_MACHINE\\Software",
         RegistryFile(kMappingKey + "\"intl\"=\"SYS:Lang\"\n" + others), Language("\"JPN\""), "NLD",
         3},
        {"modifiers ignored", Mapping(R"(!#@USR:Control Panel\\International)"),
         Language("\"JPN\""), "JPN", 3},
        {"other forms: the default", Mapping(R"(usr:Control Panel\\International)"),
         Language("\"JPN\""), "-", 1},
        {"only modifiers: the default", Mapping("!#"), Language("\"JPN\""), "-", 1},
        {"a path longer than any key: the default",
         Mapping(R"(USR:Control Panel\\International)" + std::string(80000, '\\')),
         Language("\"JPN\""), "-", 1},
        {"names without regard to case", system,
         RegistryFile("[CONTROL PANEL\\\\international] 1\n\"SLANGUAGE\"=\"jpn\"\n"), "jpn", 3},
        {"separators repeated", Mapping(R"(USR:\\Control Panel\\\\International\\)"),
         Language("\"JPN\""), "JPN", 3},
        {"escapes", system, Language(R"("\x4a\120\N\\\"\a")"), "JPN\\\"\a", 6},
        {"hex escape of four digits at most", system, Language(R"("\x004a4\x")"), "J4x", 3},
        {"other UTF-16 units as '?', as Wine converts them", system,
         Language("\"\\x65e5\\x672c \xE6\x97\xA5\xF0\x9F\x98\x80\""), "?? ???", 6},
        {"surrogate pairs cut as units", system,
         Language("\"J\xF0\x9F\x98\x80\xF0\x9F\x98\x80\xF0\x9F\x98\x80\xF0\x9F\x98\x80"
                  "\xF0\x9F\x98\x80\xF0\x9F\x98\x80\xF0\x9F\x98\x80\xF0\x9F\x98\x80\""),
         "J??????????????", 15},
        {"invalid UTF-8 dropped", system, Language("\"J\xC3P\x80N\xF8\""), "JPN", 3},
        {"str: is REG_SZ", system, Language("str:\"JPN\""), "JPN", 3},
        {"REG_EXPAND_SZ does not count", system, Language("str(2):\"JPN\""), "-", 1},
        {"REG_MULTI_SZ does not count", system, Language("str(7):\"JPN\""), "-", 1},
        {"REG_DWORD does not count", system, Language("dword:0000004a"), "-", 1},
        {"REG_BINARY does not count", system, Language("hex:4a,00,50,00,4e,00,00,00"), "-", 1},
        {"REG_SZ as bytes", system, Language("hex(1):4a,00,50,00,4e,00,00,00"), "JPN", 3},
        {"REG_SZ as bytes on two lines", system, Language("hex(01):4a,00,50,00,\\\n  4e,00"), "JPN",
         3},
        {"bytes going on into a line like a key", system,
         RegistryFile(kInternational + "\"sLanguage\"=\"JPN\"\n\"x\"=hex:00,\\\n[Other]\n"
                                       "\"sLanguage\"=\"ENU\"\n"),
         "ENU", 3},
        {"malformed bytes", system, Language("hex(1):4a,00,,50"), "-", 1},
        {"bytes as strtoul reads them", system, Language("hex(1):0x4a,0 0X50 0,004e,00"), "JPN", 3},
        {"bytes: 0x without a digit", system, Language("hex(1):4a,00,0x"), "-", 1},
        {"bytes: a blank after the tag", system, Language("hex(1): 4a,00"), "-", 1},
        {"type given as strtoul reads it", system, Language("hex( +0x1):4a,00"), "J", 1},
        {"a later line replaces the value", system,
         RegistryFile(kInternational + "\"sLanguage\"=\"JPN\"\n\"sLanguage\"=\"ENU\"\n"), "ENU", 3},
        {"a later key block too", system,
         RegistryFile(kInternational + "\"sLanguage\"=\"JPN\"\n[Other] 1\n" + kInternational +
                      "\"sLanguage\"=\"ENU\"\n"),
         "ENU", 3},
        {"a malformed later line leaves no value", system,
         RegistryFile(kInternational + "\"sLanguage\"=\"JPN\"\n\"sLanguage\"=\"ENU\n"), "-", 1},
        {"a malformed name leaves the value", system,
         RegistryFile(kInternational + "\"sLanguage\"=\"JPN\"\n\"sLanguage\" \"ENU\"\n"), "JPN", 3},
        {"values after a malformed key line have no key", system,
         RegistryFile(kInternational + "\"sLanguage\"=\"JPN\"\n[Control Panel\\\\International\n"
                                       "\"sLanguage\"=\"ENU\"\n"),
         "JPN", 3},
        {"values before any key", system,
         "WINE REGISTRY Version 2\n\"sLanguage\"=\"ENU\"\n" + kInternational, "-", 1},
        {"value of a subkey", system,
         RegistryFile("[Control Panel\\\\International\\\\Geo] 1\n\"sLanguage\"=\"JPN\"\n"), "-",
         1},
        {"CR LF line ends", RegistryFile("\r\n" + kWineMapping + "\r\n"),
         "WINE REGISTRY Version 2\r\n" + kInternational + "\"sLanguage\"=\"JPN\"\r\n", "JPN", 3},
        {"NUL ends a line", system,
         RegistryFile(kInternational + std::string("\"sLanguage\"=\"JPN\"\0\"x", 19) + "\n"), "JPN",
         3},
        {"NUL inside the text", system,
         RegistryFile(kInternational + std::string("\"sLanguage\"=\"JP\0N\"", 19) + "\n"), "-", 1},
        {"an empty value is a value", system, Language("\"\""), "", 0},
        {"1 MB value", system, Language("\"" + std::string(1 << 20, 'x') + "\""), "xxxxxxxxxxxxxxx",
         15},
        {"unknown #arch ends the file", system,
         "WINE REGISTRY Version 2\n#arch=win16\n" + kInternational + "\"sLanguage\"=\"JPN\"\n", "-",
         1},
        {"system.reg no registry file: WIN.INI", "REGEDIT4\n" + kWineMapping, Language("\"JPN\""),
         "deu", 3},
        {"user.reg no registry file: WIN.INI", system,
         " WINE REGISTRY Version 2\n" + kInternational + "\"sLanguage\"=\"JPN\"\n", "deu", 3},
        {"empty user.reg: WIN.INI", system, "", "deu", 3},
    };
    for (const Case &c : cases) {
        TempDir prefix;
        std::string drive = prefix / "drive_c";
        ScopedEnv env{"DOSPREP_DRIVE_C", drive};
        testutil::MakeTree(drive, {{"windows/win.ini", "[intl]\r\nsLanguage=deu\r\n"}});
        if (c.system)
            testutil::WriteBytes(prefix / "system.reg", *c.system);
        if (c.user)
            testutil::WriteBytes(prefix / "user.reg", *c.user);
        Answer answer = Query();
        EXPECT_EQ(testutil::Escaped(answer.text), testutil::Escaped(c.text)) << c.name;
        EXPECT_EQ(answer.result, c.result) << c.name;
    }
}

TEST_F(PlatformProfileTest, BufferSizes) {
    testutil::MakeTree(drive_.Path(), {{"windows/win.ini", "[intl]\nsLanguage=deutsch\n"}});
    Answer answer = Query(4);
    EXPECT_EQ(answer.text, "deu");
    EXPECT_EQ(answer.result, 3u);
    answer = Query(1);
    EXPECT_EQ(answer.text, "");
    EXPECT_EQ(answer.result, 0u);
    answer = Query(0);
    EXPECT_EQ(answer.text, "");
    EXPECT_EQ(answer.result, 0u);
    // The default is cut the same way; without one, the result is empty.
    ScopedEnv elsewhere{"DOSPREP_WINDIR", "C:\\WIN98"};
    answer = Query(4, "default");
    EXPECT_EQ(answer.text, "def");
    EXPECT_EQ(answer.result, 3u);
    answer = Query(16, nullptr);
    EXPECT_EQ(answer.text, "");
    EXPECT_EQ(answer.result, 0u);
}

TEST_F(PlatformProfileTest, FollowsTheWindowsDirectory) {
    testutil::MakeTree(drive_.Path(), {{"windows/win.ini", "[intl]\nsLanguage=enu\n"},
                                       {"Win98/Win.Ini", "[intl]\nsLanguage=deu\n"}});
    EXPECT_EQ(Query().text, "enu");
    ScopedEnv windir{"DOSPREP_WINDIR", "C:\\WIN98"};
    EXPECT_EQ(Query().text, "deu");
}

} // namespace
