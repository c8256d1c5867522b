// The Windows display language, classified from WIN.INI.
#pragma once

#include <string_view>

// Language codes; 0 is any language not listed, English included.
inline constexpr int kLanguageOther = 0;
inline constexpr int kLanguageJapanese = 1;

// Classifies a language abbreviation ("jpn", "DEU", ...) by its first two
// or three letters: 1 Japanese, 2 German, 3 French, 4 Spanish, 5 Italian,
// 6 Danish, 7 Dutch, 8 Finnish, 9 Norwegian, 10 Swedish, 11 Chinese
// (traditional), 12 Chinese (simplified), 13 Portuguese, else 0.
int ClassifyLanguage(std::string_view abbreviation);

// Reads [intl] sLanguage from WIN.INI and classifies it; 0 when missing.
int GetLanguageCode();
