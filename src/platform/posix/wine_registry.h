// The display language on a Wine prefix. Wine's default IniFileMapping
// keeps WIN.INI's [intl] in HKEY_CURRENT_USER\Control Panel\International,
// which Wine saves in the prefix's user.reg. Private to src/platform/posix.
//
// Wine writes user.reg as a "WINE REGISTRY Version 2" line, then each key
// as a "[Control Panel\\International] 1700000000" line (its path with the
// backslashes escaped, the time of its last change after it), a "#time="
// line, and a line for each value: "name"="text" for a string, where a
// backslash escapes '\' and '"' (and writes whatever is no printable ASCII
// as a C escape); other types carry a tag (dword:, hex(2):, ...) before
// their data, and hex data goes on over lines that end in a backslash.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace dosprep::posix {

// Reads the string value `name` of [Control Panel\International] from the
// user.reg text on `fd`, the line of its key and the line of the value
// matched without regard to ASCII case; a later line of the value replaces
// an earlier one. A backslash in the text stands for the byte after it. A
// line ends at LF, a CR before it dropped, and its text at a NUL. `value`
// is nullopt when the key or the value is missing, is no string, or its
// last line is malformed. False when the file cannot be read or is no
// registry file. Memory stays within one line of the file.
bool ReadInternationalValue(int fd, std::string_view name, std::optional<std::string> &value);

} // namespace dosprep::posix
