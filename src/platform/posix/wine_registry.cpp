#include "platform/posix/wine_registry.h"

#include "platform/posix/ascii.h"
#include "platform/posix/line_reader.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <cstdlib>

namespace dosprep::posix {

namespace {

constexpr std::string_view kHeader = "WINE REGISTRY Version 2";

constexpr std::uint32_t kRegSz = 1;

// A type tag longer than this is taken for a malformed one.
constexpr std::size_t kMaxTag = 64;

// isspace in the C locale.
bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsHexDigit(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

void SkipSpaces(std::string_view &text) {
    while (!text.empty() && IsSpace(text.front()))
        text.remove_prefix(1);
}

bool SameName(const RegistryText &a, const RegistryText &b) {
    return EqualsIgnoringCase(a, b);
}

// One character of a string from `text[i]` on, a byte or a UTF-8
// sequence, appended to `out`; returns where the next begins. A byte that
// is no lead byte is dropped, and so is a sequence cut short (the byte
// that cut it is read again by itself), overlong or beyond U+10FFFF.
std::size_t TakeCharacter(std::string_view text, std::size_t i, RegistryText &out) {
    static constexpr std::uint32_t kLeast[] = {0x0, 0x80, 0x800, 0x10000};
    auto lead = static_cast<unsigned char>(text[i++]);
    if (lead < 0x80) {
        out += static_cast<char16_t>(lead);
        return i;
    }
    // The bytes that follow a lead byte; none for C0 and C1, which lead only
    // overlong forms, and from F5 on, which lead only ones beyond U+10FFFF.
    unsigned length = lead < 0xC2 || lead > 0xF4 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
    if (length == 0)
        return i;
    std::uint32_t code = lead & (0x3Fu >> length);
    unsigned taken = 0;
    for (; taken < length && i < text.size(); ++taken, ++i) {
        unsigned bits = static_cast<unsigned char>(text[i]) ^ 0x80u;
        if (bits >= 0x40)
            break;
        code = code << 6 | bits;
    }
    if (taken < length || code < kLeast[length] || code > 0x10FFFF)
        return i;
    if (code <= 0xFFFF) {
        out += static_cast<char16_t>(code);
    } else {
        out += static_cast<char16_t>(0xD800 | ((code - 0x10000) >> 10));
        out += static_cast<char16_t>(0xDC00 | ((code - 0x10000) & 0x3FF));
    }
    return i;
}

// Up to `most` digits of `base` from `text[i]` on, as one code unit; `i`
// is left after them.
char16_t TakeNumber(std::string_view text, std::size_t &i, std::size_t most, int base) {
    unsigned code = 0;
    const char *first = text.data() + i;
    const char *end =
        std::from_chars(first, first + std::min(most, text.size() - i), code, base).ptr;
    i += static_cast<std::size_t>(end - first);
    return static_cast<char16_t>(code);
}

// Wine's parse_strW: the text of `text` up to the first unescaped `close`,
// C escapes (\x with up to four hex digits, up to three octal digits) and
// UTF-8 decoded, appended to `out`; `text` is left after `close`. False
// when the line ends first: the line is malformed.
bool ParseString(std::string_view &text, char close, RegistryText &out) {
    static constexpr std::string_view kLetters = "abefnrtv";
    static constexpr char16_t kControls[] = {'\a', '\b', 0x1B, '\f', '\n', '\r', '\t', '\v'};
    std::size_t i = 0;
    while (i < text.size()) {
        char c = text[i];
        if (c == close) {
            text.remove_prefix(i + 1);
            return true;
        }
        if (c != '\\') {
            i = TakeCharacter(text, i, out);
            continue;
        }
        if (++i == text.size())
            break;
        c = text[i++];
        if (std::size_t found = kLetters.find(c); found != kLetters.npos)
            out += kControls[found];
        else if (c == 'x' && i < text.size() && IsHexDigit(text[i]))
            out += TakeNumber(text, i, 4, 16);
        else if (c >= '0' && c <= '7')
            out += TakeNumber(text, --i, 3, 8);
        else
            i = TakeCharacter(text, i - 1, out); // stands for itself, the closing byte too
    }
    return false;
}

// get_data_type for a REG_SZ string, "..." or str:"...": `text` is left
// after its opening quote. The other tags of text, str(2): and str(7):,
// and dword: hold no REG_SZ: they count as no tag at all.
bool OpensString(std::string_view &text) {
    std::size_t tag = text.starts_with("str:\"") ? 5 : text.starts_with('"') ? 1 : 0;
    text.remove_prefix(tag);
    return tag != 0;
}

// get_data_type for bytes: the type of hex: (REG_BINARY) or hex(N): data,
// N read as strtoul reads it (blanks, a sign, "0x"); `text` is left after
// the tag.
std::optional<std::uint32_t> ReadHexTag(std::string_view &text) {
    if (text.starts_with("hex:")) {
        text.remove_prefix(4);
        return 3;
    }
    if (!text.starts_with("hex("))
        return std::nullopt;
    std::string tag(text.substr(0, kMaxTag)); // NUL-terminated for strtoul
    char *end = nullptr;
    unsigned long type = std::strtoul(tag.c_str() + 4, &end, 16);
    if (!std::string_view(end).starts_with("):"))
        return std::nullopt;
    text.remove_prefix(static_cast<std::size_t>(end + 2 - tag.c_str()));
    return static_cast<std::uint32_t>(type);
}

// strtoul(text, &end, 16) at a hex digit, "0x" a prefix only when a hex
// digit follows it; `text` is left after the number. False above 0xff.
bool ScanHexByte(std::string_view &text, unsigned &byte) {
    if (text.size() > 2 && text[0] == '0' && (text[1] | 0x20) == 'x' && IsHexDigit(text[2]))
        text.remove_prefix(2);
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), byte, 16);
    text.remove_prefix(static_cast<std::size_t>(end - text.data()));
    return error == std::errc{} && byte <= 0xff;
}

// load_keys after the header line, for the lookups only.
class Loader {
  public:
    Loader(std::vector<RegistryLookup> &lookups, std::size_t limit)
        : lookups_(lookups), current_(lookups.size(), false), limit_(limit) {}

    // Takes one line; false once the rest of the file does not count.
    bool Take(std::string_view line) {
        SkipSpaces(line);
        if (hexGoesOn_)
            HexData(line);
        else if (line.starts_with('['))
            KeyLine(line.substr(1));
        else if (haveKey_ && (line.starts_with('"') || line.starts_with('@')))
            ValueLine(line);
        else if (!haveKey_ && line.starts_with("#arch="))
            return line.substr(6) == "win32" || line.substr(6) == "win64";
        return true;
    }

  private:
    // "[path] time": the key that the values after it belong to.
    void KeyLine(std::string_view text) {
        RegistryText name;
        haveKey_ = ParseString(text, ']', name);
        std::vector<RegistryText> parts = SplitKeyPath(name);
        for (std::size_t i = 0; i < lookups_.size(); ++i) {
            const std::vector<RegistryText> &key = lookups_[i].key;
            bool within = haveKey_ && parts.size() >= key.size() &&
                          std::equal(key.begin(), key.end(), parts.begin(), SameName);
            lookups_[i].keyExists = lookups_[i].keyExists || within;
            current_[i] = within && parts.size() == key.size();
        }
    }

    // "name"=data or @=data. A malformed name leaves the value as it was;
    // once the '=' is read the value exists, without data until its data
    // is read whole.
    void ValueLine(std::string_view text) {
        RegistryText name;
        bool named = text.front() == '"';
        text.remove_prefix(1);
        if (named && !ParseString(text, '"', name))
            return;
        SkipSpaces(text);
        if (!text.starts_with('='))
            return;
        text.remove_prefix(1);
        SkipSpaces(text);
        targets_.clear();
        for (std::size_t i = 0; i < lookups_.size(); ++i) {
            if (current_[i] && SameName(name, lookups_[i].valueName)) {
                lookups_[i].value.reset();
                targets_.push_back(i);
            }
        }
        units_.clear();
        lowByte_ = -1;
        if (OpensString(text)) {
            // A text that no lookup asks for changes nothing, well-formed or not.
            if (!targets_.empty() && ParseString(text, '"', units_))
                Commit();
        } else if (std::optional<std::uint32_t> type = ReadHexTag(text)) {
            isString_ = *type == kRegSz;
            HexData(text);
        }
    }

    // One line's part of hex: or hex(N): data, as parse_hex and load_value
    // take it: hex numbers of at most 0xff, each followed by blanks, one
    // optional comma and blanks; then the line ends, or a backslash (what
    // follows it does not count) continues the list on the next line.
    void HexData(std::string_view text) {
        hexGoesOn_ = false;
        while (!text.empty() && IsHexDigit(text.front())) {
            unsigned byte = 0;
            if (!ScanHexByte(text, byte))
                return;
            HexByte(byte);
            SkipSpaces(text);
            if (text.starts_with(','))
                text.remove_prefix(1);
            SkipSpaces(text);
        }
        SkipSpaces(text);
        if (text.empty() && isString_)
            Commit();
        hexGoesOn_ = text.starts_with('\\');
    }

    // REG_SZ data given as bytes: UTF-16 little-endian; a lone last byte
    // makes no code unit.
    void HexByte(unsigned byte) {
        if (lowByte_ < 0) {
            lowByte_ = static_cast<int>(byte);
            return;
        }
        if (units_.size() <= limit_)
            units_ += static_cast<char16_t>(static_cast<unsigned>(lowByte_) | byte << 8);
        lowByte_ = -1;
    }

    void Commit() {
        RegistryText value = units_.substr(0, std::min(units_.find(u'\0'), limit_ + 1));
        for (std::size_t target : targets_)
            lookups_[target].value = value;
    }

    std::vector<RegistryLookup> &lookups_;
    std::vector<bool> current_; // per lookup: the key read is its key
    std::size_t limit_;
    bool haveKey_ = false; // the last key line was well-formed

    // The value being read.
    std::vector<std::size_t> targets_; // the lookups that ask for it
    bool isString_ = false;
    RegistryText units_; // its code units, at most limit_ + 1 of them from bytes
    int lowByte_ = -1;
    bool hexGoesOn_ = false;
};

} // namespace

std::vector<RegistryText> SplitKeyPath(std::u16string_view path) {
    std::vector<RegistryText> parts;
    for (std::size_t start = 0; start <= path.size();) {
        std::size_t end = std::min(path.find(u'\\', start), path.size());
        if (end > start)
            parts.emplace_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

bool ReadRegistryFile(int fd, std::size_t limit, std::vector<RegistryLookup> &lookups) {
    Loader loader(lookups, limit);
    LineReader lines(fd, "\n");
    std::string_view line;
    bool header = false;
    while (lines.Next(line) && !lines.Cut()) {
        // fgets into a C string: a CR before the LF goes, a NUL ends the text.
        if (lines.Ended() && line.ends_with('\r'))
            line.remove_suffix(1);
        line = line.substr(0, line.find('\0'));
        if (!header) {
            if (line != kHeader)
                return false;
            header = true;
        } else if (!loader.Take(line)) {
            break;
        }
    }
    return header && !lines.Failed();
}

} // namespace dosprep::posix
