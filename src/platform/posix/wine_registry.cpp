#include "platform/posix/wine_registry.h"

#include "platform/posix/ascii.h"
#include "platform/posix/line_reader.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace dosprep::posix {

namespace {

constexpr std::string_view kHeader = "WINE REGISTRY Version 2";

constexpr std::uint32_t kRegSz = 1;

// A type tag longer than this is taken for a malformed one.
constexpr std::size_t kMaxTag = 64;

// Continuation bytes after a UTF-8 lead byte from 0x80 on (0: not a lead
// byte), the lead byte's own bits, and the least code point of each
// length: what Wine decodes.
constexpr unsigned char kUtf8Length[128] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
constexpr unsigned char kUtf8Mask[4] = {0x7f, 0x1f, 0x0f, 0x07};
constexpr std::uint32_t kUtf8Minimum[4] = {0x0, 0x80, 0x800, 0x10000};

// isspace in the C locale.
bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

unsigned HexValue(char c) {
    return c <= '9' ? static_cast<unsigned>(c - '0')
                    : (static_cast<unsigned>(c) | 0x20u) - 'a' + 10;
}

void SkipSpaces(std::string_view &text) {
    while (!text.empty() && IsSpace(text.front()))
        text.remove_prefix(1);
}

// One character of a string from `text[i]` on, a byte or a UTF-8
// sequence, appended to `out`; returns where the next begins. A byte that
// is no lead byte is dropped, and so is a sequence cut short (the byte
// that cut it is read again by itself), overlong or beyond U+10FFFF.
std::size_t TakeCharacter(std::string_view text, std::size_t i, RegistryText &out) {
    auto lead = static_cast<unsigned char>(text[i++]);
    if (lead < 0x80) {
        out += static_cast<char16_t>(lead);
        return i;
    }
    unsigned length = kUtf8Length[lead - 0x80];
    std::uint32_t code = lead & kUtf8Mask[length];
    unsigned taken = 0;
    for (; taken < length && i < text.size(); ++taken, ++i) {
        unsigned bits = static_cast<unsigned char>(text[i]) ^ 0x80u;
        if (bits >= 0x40)
            break;
        code = code << 6 | bits;
    }
    if (length == 0 || taken < length || code < kUtf8Minimum[length] || code > 0x10FFFF)
        return i;
    if (code <= 0xFFFF) {
        out += static_cast<char16_t>(code);
    } else {
        out += static_cast<char16_t>(0xD800 | ((code - 0x10000) >> 10));
        out += static_cast<char16_t>(0xDC00 | ((code - 0x10000) & 0x3FF));
    }
    return i;
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
        if (std::size_t found = kLetters.find(c); found != kLetters.npos) {
            out += kControls[found];
        } else if (c == 'x') {
            unsigned code = 0, digits = 0;
            for (; digits < 4 && i < text.size() && IsHexDigit(text[i]); ++digits)
                code = code * 16 + HexValue(text[i++]);
            out += digits == 0 ? u'x' : static_cast<char16_t>(code);
        } else if (c >= '0' && c <= '7') {
            auto code = static_cast<unsigned>(c - '0');
            for (int digits = 1; digits < 3 && i < text.size() && text[i] >= '0' && text[i] <= '7';
                 ++digits)
                code = code * 8 + static_cast<unsigned>(text[i++] - '0');
            out += static_cast<char16_t>(code);
        } else {
            i = TakeCharacter(text, i - 1, out); // stands for itself, the closing byte too
        }
    }
    return false;
}

enum class DataKind { String, Dword, Hex };

struct DataTag {
    DataKind kind;
    std::uint32_t type;
    std::size_t length;
};

// get_data_type: the tag that begins a value's data. "hex(N):" takes N as
// strtoul does (blanks, a sign, "0x").
std::optional<DataTag> ReadDataTag(std::string_view text) {
    struct Fixed {
        std::string_view tag;
        DataKind kind;
        std::uint32_t type;
    };
    static constexpr Fixed kFixed[] = {
        {"\"", DataKind::String, kRegSz},   {"str:\"", DataKind::String, kRegSz},
        {"str(2):\"", DataKind::String, 2}, {"str(7):\"", DataKind::String, 7},
        {"hex:", DataKind::Hex, 3},         {"dword:", DataKind::Dword, 4},
    };
    for (const Fixed &fixed : kFixed) {
        if (text.starts_with(fixed.tag))
            return DataTag{fixed.kind, fixed.type, fixed.tag.size()};
    }
    if (!text.starts_with("hex("))
        return std::nullopt;
    std::string tag(text.substr(0, kMaxTag)); // NUL-terminated for strtoul
    char *end = nullptr;
    unsigned long type = std::strtoul(tag.c_str() + 4, &end, 16);
    if (!std::string_view(end).starts_with("):"))
        return std::nullopt;
    return DataTag{DataKind::Hex, static_cast<std::uint32_t>(type),
                   static_cast<std::size_t>(end + 2 - tag.c_str())};
}

// strtoul(text, &end, 16) at a hex digit, "0x" a prefix only when a hex
// digit follows it; `text` is left after the number. False above 0xff.
bool ScanHexByte(std::string_view &text, unsigned &byte) {
    std::size_t i = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] | 0x20) == 'x' && IsHexDigit(text[2]))
        i = 2;
    byte = 0;
    for (; i < text.size() && IsHexDigit(text[i]); ++i)
        byte = std::min(byte * 16 + HexValue(text[i]), 0x100u);
    text.remove_prefix(i);
    return byte <= 0xff;
}

// A REG_SZ value's code units as they come: those before the first NUL,
// at most `limit` of them kept.
class StringData {
  public:
    explicit StringData(std::size_t limit = 0) : limit_(limit) {}

    void Add(char16_t unit) {
        if (ended_)
            return;
        if (unit == u'\0')
            ended_ = true;
        else if (text_.size() < limit_)
            text_ += unit;
        else
            cut_ = true;
    }

    RegistryString Value(std::size_t limit) const {
        return {text_.substr(0, limit), cut_ || text_.size() > limit};
    }

  private:
    std::size_t limit_;
    RegistryText text_;
    bool ended_ = false;
    bool cut_ = false;
};

// load_keys after the header line, for the queries only.
class Loader {
  public:
    explicit Loader(std::vector<RegistryQuery> &queries)
        : queries_(queries), current_(queries.size(), false) {
        for (RegistryQuery &query : queries_) {
            query.keyExists = false;
            query.values.assign(query.valueNames.size(), std::nullopt);
        }
    }

    // Takes one line; false once the rest of the file does not count.
    bool Take(std::string_view line) {
        if (hexGoesOn_) {
            SkipSpaces(line);
            HexData(line);
            return true;
        }
        SkipSpaces(line);
        if (line.starts_with('['))
            KeyLine(line.substr(1));
        else if (haveKey_ && (line.starts_with('"') || line.starts_with('@')))
            ValueLine(line);
        else if (!haveKey_ && line.starts_with("#arch="))
            return line.substr(6) == "win32" || line.substr(6) == "win64";
        return true;
    }

  private:
    struct Target {
        std::size_t query, value;
    };

    // "[path] time": the key that the values after it belong to.
    void KeyLine(std::string_view text) {
        RegistryText name;
        haveKey_ = ParseString(text, ']', name);
        std::vector<RegistryText> parts = SplitKeyPath(name);
        for (std::size_t q = 0; q < queries_.size(); ++q) {
            const std::vector<RegistryText> &key = queries_[q].key;
            bool within = haveKey_ && parts.size() >= key.size() &&
                          std::equal(key.begin(), key.end(), parts.begin(),
                                     [](const RegistryText &a, const RegistryText &b) {
                                         return EqualsIgnoringCase(a, b);
                                     });
            queries_[q].keyExists = queries_[q].keyExists || within;
            current_[q] = within && parts.size() == key.size();
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
        std::size_t limit = 0;
        for (std::size_t q = 0; q < queries_.size(); ++q) {
            for (std::size_t v = 0; current_[q] && v < queries_[q].valueNames.size(); ++v) {
                if (!EqualsIgnoringCase(name, queries_[q].valueNames[v]))
                    continue;
                queries_[q].values[v].reset();
                targets_.push_back({q, v});
                limit = std::max(limit, queries_[q].limit);
            }
        }
        std::optional<DataTag> tag = ReadDataTag(text);
        if (!tag)
            return;
        text.remove_prefix(tag->length);
        isString_ = tag->type == kRegSz;
        data_ = StringData(limit);
        lowByte_ = -1;
        // A text that no query asks for changes nothing, well-formed or not.
        RegistryText units;
        if (tag->kind == DataKind::String && !targets_.empty() && ParseString(text, '"', units) &&
            isString_) {
            for (char16_t unit : units)
                data_.Add(unit);
            Commit();
        } else if (tag->kind == DataKind::Hex) {
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
        if (!isString_ || targets_.empty())
            return;
        if (lowByte_ < 0) {
            lowByte_ = static_cast<int>(byte);
            return;
        }
        data_.Add(static_cast<char16_t>(static_cast<unsigned>(lowByte_) | byte << 8));
        lowByte_ = -1;
    }

    void Commit() {
        for (const Target &target : targets_)
            queries_[target.query].values[target.value] = data_.Value(queries_[target.query].limit);
    }

    std::vector<RegistryQuery> &queries_;
    std::vector<bool> current_; // per query: the key read is the one asked for
    bool haveKey_ = false;      // the last key line was well-formed

    // The value being read.
    std::vector<Target> targets_;
    bool isString_ = false;
    StringData data_;
    int lowByte_ = -1;
    bool hexGoesOn_ = false;
};

} // namespace

std::vector<RegistryText> SplitKeyPath(std::u16string_view path) {
    std::vector<RegistryText> parts;
    std::size_t position = 0;
    while (position <= path.size()) {
        std::size_t end = std::min(path.find(u'\\', position), path.size());
        if (end > position)
            parts.emplace_back(path.substr(position, end - position));
        position = end + 1;
    }
    return parts;
}

bool ReadRegistryFile(int fd, std::vector<RegistryQuery> &queries) {
    Loader loader(queries);
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
