#include "platform/posix/wine_registry.h"

#include "platform/posix/ascii.h"
#include "platform/posix/line_reader.h"

namespace dosprep::posix {

namespace {

constexpr std::string_view kHeader = "WINE REGISTRY Version 2";
constexpr std::string_view kInternational = "Control Panel\\International";

// The escaped text that `text` begins with, up to `close`; `text` is left
// after `close`. nullopt when the line ends first.
std::optional<std::string> TakeEscaped(std::string_view &text, char close) {
    std::string unescaped;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == close) {
            text.remove_prefix(i + 1);
            return unescaped;
        }
        if (text[i] == '\\' && ++i == text.size())
            break;
        unescaped += text[i];
    }
    return std::nullopt;
}

// "name"="text" or "name"=str:"text" (a REG_SZ as well): `value` becomes
// the text when the line is one of `name`, and stays as it was when it is
// one of another value or no value line.
void TakeValueLine(std::string_view line, std::string_view name,
                   std::optional<std::string> &value) {
    line.remove_prefix(1);
    std::optional<std::string> lineName = TakeEscaped(line, '"');
    if (!lineName || !EqualsIgnoringCase(*lineName, name) || !line.starts_with('='))
        return;
    line.remove_prefix(1);
    if (line.starts_with("str:\""))
        line.remove_prefix(4);
    line.remove_prefix(line.starts_with('"') ? 1 : line.size());
    value = TakeEscaped(line, '"');
}

} // namespace

bool ReadInternationalValue(int fd, std::string_view name, std::optional<std::string> &value) {
    value.reset();
    LineReader lines(fd, "\n");
    std::string_view line;
    bool header = false;
    bool inKey = false;
    // A line longer than the reader takes ends what is read of the file.
    while (lines.Next(line) && !lines.Cut()) {
        if (lines.Ended() && line.ends_with('\r'))
            line.remove_suffix(1);
        line = line.substr(0, line.find('\0'));
        if (!header) {
            if (line != kHeader)
                return false;
            header = true;
        } else if (line.starts_with('[')) {
            line.remove_prefix(1);
            std::optional<std::string> key = TakeEscaped(line, ']');
            inKey = key && EqualsIgnoringCase(*key, kInternational);
        } else if (inKey && line.starts_with('"')) {
            TakeValueLine(line, name, value);
        }
    }
    return header && !lines.Failed();
}

} // namespace dosprep::posix
