// The POSIX platform layer: GetProfileStringA on WIN.INI texts.
#include "platform/win32_api.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
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
        testutil::InFreshProcess([&c] {
            Answer answer = Query();
            EXPECT_EQ(answer.text, c.text) << c.name;
            EXPECT_EQ(answer.result, c.result) << c.name;
        });
    }
}

// A registry file as Wine writes it, with these keys.
std::string RegistryFile(const std::string &keys) {
    return "WINE REGISTRY Version 2\n;; All keys relative to "
           "REGISTRY\\\\User\\\\S-1-5-21-0-0-0-1000\n\n#arch=win32\n\n" +
           keys;
}

const std::string kInternational =
    "[Control Panel\\\\International] 1796777468\n#time=1dd877764cbce82\n";

std::string Language(const std::string &value) {
    return RegistryFile(kInternational + "\"sLanguage\"=" + value + "\n");
}

TEST_F(PlatformProfileTest, WinePrefixRegistry) {
    const std::string system = RegistryFile("[Software\\\\Wine] 1796777475\n");
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
        {"names without regard to case", system,
         RegistryFile("[CONTROL PANEL\\\\international] 1\n\"SLANGUAGE\"=\"jpn\"\n"), "jpn", 3},
        {"escapes", system, Language(R"("\\J\PN\"")"), "\\JPN\"", 5},
        {"Wine's neighbours, bytes going on over lines", system,
         RegistryFile(kInternational + "\"iCountry\"=\"81\"\n\"s1159\"=\"\\x5348\\x524d\"\n"
                                       "\"sGrouping\"=hex(7):33,00,3b,00,30,00,00,00,\\\n"
                                       "  00,00\n\"sLanguage\"=\"JPN\"\n\"sList\"=\",\"\n"),
         "JPN", 3},
        {"str: is REG_SZ", system, Language("str:\"JPN\""), "JPN", 3},
        {"REG_EXPAND_SZ does not count", system, Language("str(2):\"JPN\""), "-", 1},
        {"REG_MULTI_SZ does not count", system, Language("str(7):\"JPN\""), "-", 1},
        {"REG_DWORD does not count", system, Language("dword:0000004a"), "-", 1},
        {"REG_BINARY does not count", system, Language("hex:4a,00,50,00,4e,00,00,00"), "-", 1},
        {"malformed bytes", system, Language("hex(1):4a,00,,50"), "-", 1},
        {"bytes: 0x without a digit", system, Language("hex(1):4a,00,0x"), "-", 1},
        {"bytes: a blank after the tag", system, Language("hex(1): 4a,00"), "-", 1},
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
        {"CR LF line ends", system,
         "WINE REGISTRY Version 2\r\n" + kInternational + "\"sLanguage\"=\"JPN\"\r\n", "JPN", 3},
        {"NUL ends a line", system,
         RegistryFile(kInternational + std::string("\"sLanguage\"=\"JPN\"\0\"x", 19) + "\n"), "JPN",
         3},
        {"NUL inside the text", system,
         RegistryFile(kInternational + std::string("\"sLanguage\"=\"JP\0N\"", 19) + "\n"), "-", 1},
        {"an empty value is a value", system, Language("\"\""), "", 0},
        {"1 MB value", system, Language("\"" + std::string(1 << 20, 'x') + "\""), "xxxxxxxxxxxxxxx",
         15},
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
        testutil::InFreshProcess([&c] {
            Answer answer = Query();
            EXPECT_EQ(testutil::Escaped(answer.text), testutil::Escaped(c.text)) << c.name;
            EXPECT_EQ(answer.result, c.result) << c.name;
        });
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
    std::filesystem::remove(drive_ / "windows/win.ini");
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
    testutil::InFreshProcess([] { EXPECT_EQ(Query().text, "enu"); });
    ScopedEnv windir{"DOSPREP_WINDIR", "C:\\WIN98"};
    testutil::InFreshProcess([] { EXPECT_EQ(Query().text, "deu"); });
}

} // namespace
