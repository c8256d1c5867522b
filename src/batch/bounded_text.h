// A NUL-terminated text in a buffer of fixed capacity. Paths and lines are
// composed in these: an append that does not fit reports it and leaves the
// text as it was, so no input can write past the end.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string_view>

template <std::size_t Capacity> struct BoundedText {
    static_assert(Capacity > 0, "room for the terminating NUL");

    char text[Capacity] = {};
    std::size_t length = 0;

    // Appends `more` whole; false, with nothing changed, when it and the
    // NUL would not fit.
    bool Append(std::string_view more) {
        if (more.size() >= Capacity - length)
            return false;
        for (char c : more)
            text[length++] = c;
        text[length] = '\0';
        return true;
    }

    void Clear() {
        length = 0;
        text[0] = '\0';
    }

    const char *CStr() const { return text; }
    std::string_view View() const { return {text, length}; }
};

// Sets `out` to the parts joined in order; false when they do not fit.
template <std::size_t Capacity>
bool ComposeText(BoundedText<Capacity> &out, std::initializer_list<std::string_view> parts) {
    out.Clear();
    for (std::string_view part : parts) {
        if (!out.Append(part))
            return false;
    }
    return true;
}
