// ASCII letter case, the only case that this layer folds: Windows matches
// file names, WIN.INI names and MSDOS.SYS names without regard to it, and
// Wine folds registry names the same way for the ASCII names asked for
// here. Private to src/platform/posix.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>

namespace dosprep::posix {

// `c` with a-z made A-Z; any other byte as it is.
template <typename Char> constexpr Char AsciiUpper(Char c) {
    return c >= Char{'a'} && c <= Char{'z'} ? static_cast<Char>(c - Char{'a'} + Char{'A'}) : c;
}

inline bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, {}, AsciiUpper<char>, AsciiUpper<char>);
}

// `text` without the bytes of `blanks` around it.
inline std::string_view Trimmed(std::string_view text, std::string_view blanks) {
    text.remove_prefix(std::min(text.find_first_not_of(blanks), text.size()));
    return text.substr(0, text.find_last_not_of(blanks) + 1);
}

// `text` with a-z made A-Z.
inline std::string UpperCased(std::string_view text) {
    std::string upper(text);
    std::ranges::transform(upper, upper.begin(), AsciiUpper<char>);
    return upper;
}

} // namespace dosprep::posix
