// Bytes with CR, LF, NUL and the other control bytes made visible, for
// the failure messages of the tests and the fuzz targets.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace testutil {

inline std::string Escaped(std::string_view bytes) {
    std::string text;
    for (char byte : bytes) {
        auto c = static_cast<unsigned char>(byte);
        if (c == '\r')
            text += "\\r";
        else if (c == '\n')
            text += "\\n";
        else if (c == '\\')
            text += "\\\\";
        else if (c < 0x20 || c >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            text += hex;
        } else
            text += static_cast<char>(c);
    }
    return text;
}

} // namespace testutil
