// GetProfileStringA: one value from WIN.INI, read the way Windows reads it,
// or on a Wine prefix, for [intl], from user.reg, where Wine's default
// mapping keeps that section. Memory stays within one line of the file and
// one read chunk.
#include "platform/posix/ascii.h"
#include "platform/posix/context.h"
#include "platform/posix/dos_path.h"
#include "platform/win32_api.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace dosprep::posix {

namespace {

// The lines of a file, read a chunk at a time. A line longer than kMaxLine
// comes in pieces of that size.
class LineReader {
  public:
    static constexpr std::size_t kMaxLine = std::size_t{2} << 20;

    // Reads `fd`, and closes it; -1 reads as an empty file.
    explicit LineReader(int fd) : fd_(fd) {}

    // The next `line`, without the byte of `ends` that ended it (`ended`:
    // whether one did). False at the end, and when it cannot be read.
    bool Next(std::string_view ends) {
        line.clear();
        ended = false;
        for (int c = 0; (c = Get()) >= 0; line += static_cast<char>(c)) {
            if (ends.find(static_cast<char>(c)) != std::string_view::npos)
                return ended = true;
            if (line.size() == kMaxLine) {
                --at_; // the first byte of the next piece
                return true;
            }
        }
        return !failed && !line.empty();
    }

    std::string line;
    bool ended = false;
    bool failed = false; // a read failed; the lines given so far stand

  private:
    int Get() {
        if (at_ == size_) {
            ssize_t got = fd_.Get() < 0 ? 0 : ReadRetrying(fd_.Get(), chunk_.data(), chunk_.size());
            failed = got < 0;
            if (got <= 0)
                return -1;
            at_ = 0;
            size_ = static_cast<std::size_t>(got);
        }
        return static_cast<unsigned char>(chunk_[at_++]);
    }

    FileDescriptor fd_;
    std::string chunk_ = std::string(64 * 1024, '\0');
    std::size_t at_ = 0, size_ = 0;
};

// `text` without the blanks around it; DOS editors end a file with a ^Z.
std::string_view TrimBlanks(std::string_view text) {
    return Trimmed(text, " \t\v\f\x1A");
}

// A name or a value: the C string it is copied into, trimmed.
std::string_view Field(std::string_view text) {
    return TrimBlanks(text.substr(0, text.find('\0')));
}

// A value wholly inside one pair of matching quotes loses them.
std::string_view Unquoted(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        return value.substr(1, value.size() - 2);
    return value;
}

// [section] key= of WIN.INI in the Windows directory, as Wine's
// PROFILE_Load reads it: every CR and LF ends a line; "[name]" opens a
// section named up to the LAST ']' of the line ("[a]b]" names "a]b"), a
// '[' line without ']' none; only the first section of that name counts;
// in it ';' begins a comment, a line names a key up to its first '=' (the
// first character always belongs to the name), and the first line naming
// the key decides, nullopt when it has no '='. A line past kMaxLine goes
// on as lines of its own, as the pieces that Wine's fgets buffer took.
std::optional<std::string> FindInWinIni(std::string_view section, std::string_view key) {
    const Context &context = RunContext();
    LineReader lines(OpenDosFile(context.drive, context.windowsDirectory, "win.ini"));
    bool inSection = false;
    for (bool first = true; lines.Next("\r\n"); first = false) {
        std::string_view line = lines.line;
        if (first && line.starts_with("\xEF\xBB\xBF"))
            line.remove_prefix(3); // UTF-8 byte-order mark
        line = TrimBlanks(line);
        if (line.empty())
            continue;
        if (line.front() == '[') {
            std::size_t close = line.rfind(']');
            if (close == std::string_view::npos)
                continue;
            if (inSection)
                return std::nullopt; // the first section of that name ended
            inSection = EqualsIgnoringCase(Field(line.substr(1, close - 1)), section);
            continue;
        }
        if (!inSection || line.front() == ';')
            continue;
        std::size_t equals = line.find('=', 1);
        if (!EqualsIgnoringCase(Field(line.substr(0, equals)), key))
            continue;
        if (equals == std::string_view::npos)
            return std::nullopt;
        return std::string(Unquoted(Field(line.substr(equals + 1))));
    }
    return std::nullopt;
}

// The text that `text` begins with up to `close`, which `text` is left
// after; a backslash stands for the byte after it. nullopt when the line
// ends first.
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

// [intl] key= on a Wine prefix, from user.reg whatever WIN.INI says, as
// Wine writes it: a "WINE REGISTRY Version 2" line, then each key as a
// "[path] time" line followed by its values, a string as "name"="text" or
// "name"=str:"text". Names ignore ASCII case; a later line of the value
// replaces an earlier one, and a malformed one leaves none. A line ends at
// LF, a CR before it dropped, and its text at a NUL; one longer than
// kMaxLine ends the reading. `value` is nullopt when the registry lacks
// it. False for another section, and when drive C is no Wine prefix's or
// user.reg cannot be read or is no registry file: WIN.INI is read then.
bool FindInRegistry(std::string_view section, std::string_view key,
                    std::optional<std::string> &value) {
    const Context &context = RunContext();
    if (!EqualsIgnoringCase(section, "intl") || !HoldsWineRegistry(context))
        return false;
    struct stat info {};
    DWORD error = NO_ERROR;
    LineReader lines(OpenRegularEntry(context.prefix.Get(), "user.reg", info, error));
    bool header = false, inKey = false;
    while (lines.Next("\n") && (lines.ended || lines.line.size() < LineReader::kMaxLine)) {
        std::string_view line = lines.line;
        if (lines.ended && line.ends_with('\r'))
            line.remove_suffix(1);
        line = line.substr(0, line.find('\0'));
        if (!header && line != "WINE REGISTRY Version 2")
            return false;
        if (!header) {
            header = true;
        } else if (line.starts_with('[')) {
            line.remove_prefix(1);
            std::optional<std::string> path = TakeEscaped(line, ']');
            inKey = path && EqualsIgnoringCase(*path, "Control Panel\\International");
        } else if (inKey && line.starts_with('"')) {
            line.remove_prefix(1);
            std::optional<std::string> name = TakeEscaped(line, '"');
            if (!name || !EqualsIgnoringCase(*name, key) || !line.starts_with('='))
                continue;
            line.remove_prefix(line.starts_with("=str:\"") ? 5 : 1);
            line.remove_prefix(line.starts_with('"') ? 1 : line.size());
            value = TakeEscaped(line, '"');
        }
    }
    return header && !lines.failed;
}

DWORD CopyTruncated(std::string_view text, char *buffer, DWORD size) {
    std::size_t count = std::min(text.size(), std::size_t{size} - 1);
    if (count != 0) // an absent default has no data at all
        std::memmove(buffer, text.data(), count);
    buffer[count] = '\0';
    return static_cast<DWORD>(count);
}

} // namespace

} // namespace dosprep::posix

using namespace dosprep::posix;

DWORD WINAPI GetProfileStringA(LPCSTR section, LPCSTR key, LPCSTR defaultValue, LPSTR buffer,
                               DWORD size) {
    if (buffer == nullptr || size == 0)
        return 0;
    // Read no further into the default than can be copied.
    std::string_view fallback;
    if (defaultValue != nullptr)
        fallback = std::string_view(defaultValue, strnlen(defaultValue, std::size_t{size} - 1));
    try {
        std::string_view sectionName = section != nullptr ? TrimBlanks(section) : "";
        std::string_view keyName = key != nullptr ? TrimBlanks(key) : "";
        if (!sectionName.empty() && !keyName.empty()) {
            // Wine looks the names up as given; a value there counts even
            // when it is empty.
            std::optional<std::string> value;
            bool registry = FindInRegistry(section, key, value);
            if (!registry)
                value = FindInWinIni(sectionName, keyName);
            if (value && (registry || !value->empty())) {
                SetLastError(NO_ERROR);
                return CopyTruncated(*value, buffer, size);
            }
        }
        SetLastError(ERROR_FILE_NOT_FOUND);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return CopyTruncated(fallback, buffer, size);
}
