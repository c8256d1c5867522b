// ASCII letter case, the only case that this layer folds: Windows matches
// file, WIN.INI and MSDOS.SYS names without regard to it, and Wine folds
// the ASCII registry names asked for here the same way. Private to
// src/platform/posix.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>

namespace dosprep::posix {

constexpr char AsciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

inline bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, {}, AsciiUpper, AsciiUpper);
}

inline std::string UpperCased(std::string_view text) {
    std::string upper(text);
    std::ranges::transform(upper, upper.begin(), AsciiUpper);
    return upper;
}

// `text` without the bytes of `blanks` around it.
inline std::string_view Trimmed(std::string_view text, std::string_view blanks) {
    text.remove_prefix(std::min(text.find_first_not_of(blanks), text.size()));
    return text.substr(0, text.find_last_not_of(blanks) + 1);
}

} // namespace dosprep::posix
