// ASCII letter case, the only case that this layer folds: Windows matches
// file names, WIN.INI names and MSDOS.SYS names without regard to it, and
// Wine folds registry names the same way for the ASCII names asked for
// here. Private to src/platform/posix.
#pragma once

#include <string>
#include <string_view>

namespace dosprep::posix {

// `c` with a-z made A-Z; any other byte or UTF-16 unit as it is.
template <typename Char> constexpr Char AsciiUpper(Char c) {
    return c >= Char{'a'} && c <= Char{'z'} ? static_cast<Char>(c - Char{'a'} + Char{'A'}) : c;
}

template <typename Char>
constexpr bool EqualsIgnoringCase(std::basic_string_view<Char> a, std::basic_string_view<Char> b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (AsciiUpper(a[i]) != AsciiUpper(b[i]))
            return false;
    }
    return true;
}

inline bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return EqualsIgnoringCase<char>(a, b);
}

inline bool EqualsIgnoringCase(std::u16string_view a, std::u16string_view b) {
    return EqualsIgnoringCase<char16_t>(a, b);
}

// `text` with a-z made A-Z.
inline std::string UpperCased(std::string_view text) {
    std::string upper(text);
    for (char &c : upper)
        c = AsciiUpper(c);
    return upper;
}

} // namespace dosprep::posix
