#include "locale/language.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

TEST(LanguageTest, ClassifiesByPrefix) {
    const struct {
        const char *abbreviation;
        int code;
    } cases[] = {
        {"jpn", 1},  {"JPN", 1},  {"Jp", 1},   {"deu", 2},  {"fra", 3},    {"esn", 4},
        {"ita", 5},  {"dan", 6},  {"nld", 7},  {"fin", 8},  {"nor", 9},    {"sve", 10},
        {"cht", 11}, {"CHS", 12}, {"ptb", 13}, {"ptg", 13}, {"enu", 0},    {"eng", 0},
        {"", 0},     {"j", 0},    {"ch", 0},   {"chx", 0},  {"\xEApn", 0}, {" jpn", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ClassifyLanguage(c.abbreviation), c.code) << "\"" << c.abbreviation << "\"";
}

// Only A to Z fold: a byte that some code page would call a capital letter
// does not match its lower-case neighbour.
TEST(LanguageTest, FoldsAsciiLettersOnly) {
    EXPECT_EQ(ClassifyLanguage("J\x50n"), 1);
    EXPECT_EQ(ClassifyLanguage("\xCApn"), 0);
    EXPECT_EQ(ClassifyLanguage(std::string_view("j\0n", 3)), 0);
}

TEST(LanguageTest, ReadsWinIni) {
    testutil::TempDir drive;
    testutil::ScopedEnv env("DOSPREP_DRIVE_C", drive.Path());
    testutil::ScopedEnv windir("DOSPREP_WINDIR", std::nullopt);
    std::filesystem::create_directories(drive / "WINDOWS");
    EXPECT_EQ(GetLanguageCode(), 0) << "no WIN.INI";
    testutil::WriteBytes(drive / "WINDOWS/Win.Ini", "[Intl]\r\nsLanguage=jpn\r\n");
    EXPECT_EQ(GetLanguageCode(), 1);
    testutil::WriteBytes(drive / "WINDOWS/Win.Ini", "[intl]\r\nsCountry=Japan\r\n");
    EXPECT_EQ(GetLanguageCode(), 0) << "no key";
    testutil::WriteBytes(drive / "WINDOWS/Win.Ini",
                         "[intl]\r\nsLanguage=chtxxxxxxxxxxxxxxxxxx\r\n");
    EXPECT_EQ(GetLanguageCode(), 11);
}

} // namespace
