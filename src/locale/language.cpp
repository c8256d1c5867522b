#include "locale/language.h"
#include "platform/win32_api.h"

#include <array>

namespace {

struct LanguagePrefix {
    std::string_view prefix; // all of it is compared
    int code;
};

// Tested in this order; the first matching row wins.
constexpr std::array<LanguagePrefix, 13> kLanguages = {{
    {"jp", 1},
    {"de", 2},
    {"fr", 3},
    {"es", 4},
    {"it", 5},
    {"da", 6},
    {"nl", 7},
    {"fi", 8},
    {"no", 9},
    {"sv", 10},
    {"cht", 11},
    {"chs", 12},
    {"pt", 13},
}};

// Only A to Z fold to lower case: other bytes, whatever the code page,
// compare as they are.
char FoldAsciiCase(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (FoldAsciiCase(text[i]) != prefix[i])
            return false;
    }
    return true;
}

} // namespace

int ClassifyLanguage(std::string_view abbreviation) {
    for (const LanguagePrefix &row : kLanguages) {
        if (StartsWithIgnoringCase(abbreviation, row.prefix))
            return row.code;
    }
    return kLanguageOther;
}

int GetLanguageCode() {
    std::array<char, 16> abbreviation{};
    GetProfileStringA("intl", "sLanguage", "", abbreviation.data(),
                      static_cast<DWORD>(abbreviation.size()));
    // The whole buffer is compared: the abbreviation ends at its NUL, where
    // every prefix differs, so a value shorter than a prefix fails it.
    return ClassifyLanguage(std::string_view(abbreviation.data(), abbreviation.size()));
}
