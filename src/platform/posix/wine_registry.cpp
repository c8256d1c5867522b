#include "platform/posix/wine_registry.h"

#include "platform/posix/dos_path.h"

#include <algorithm>
#include <cerrno>
#include <memory>

#include <unistd.h>

namespace dosprep::posix {

namespace {

constexpr std::string_view kHeader = "WINE REGISTRY Version 2";

// Registry value types.
constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegExpandSz = 2;
constexpr std::uint32_t kRegBinary = 3;
constexpr std::uint32_t kRegDword = 4;
constexpr std::uint32_t kRegMultiSz = 7;

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
bool IsSpace(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsHexDigit(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

unsigned HexValue(unsigned char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    return (c | 0x20u) - 'a' + 10;
}

char16_t FoldCase(char16_t unit) {
    return unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - (u'a' - u'A')) : unit;
}

enum class TagKind { NeedMore, Invalid, String, Dword, Hex };

struct Tag {
    TagKind kind;
    std::uint32_t type = 0;
};

// strtoul(text, &end, 16) for the number in "hex(N):". Returns false when
// `text` may go on with more of the number; `end` stays 0 when there is no
// number at all.
bool ScanHexNumber(std::string_view text, std::size_t &end, std::uint64_t &value) {
    std::size_t i = 0;
    while (i < text.size() && IsSpace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    // "0x" counts as a prefix only when a digit follows it.
    if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] | 0x20) == 'x') {
        if (i + 2 >= text.size())
            return false;
        if (IsHexDigit(static_cast<unsigned char>(text[i + 2])))
            i += 2;
    }
    std::size_t digits = i;
    bool overflow = false;
    value = 0;
    while (i < text.size() && IsHexDigit(static_cast<unsigned char>(text[i]))) {
        overflow = overflow || value > (UINT64_MAX >> 4);
        value = value << 4 | HexValue(static_cast<unsigned char>(text[i++]));
    }
    if (i == text.size())
        return false;
    end = i > digits ? i : 0;
    if (overflow)
        value = UINT64_MAX;
    else if (negative)
        value = ~value + 1;
    return true;
}

// The data type tag that begins a value's data, as Wine tells it.
Tag ClassifyTag(std::string_view tag) {
    struct Fixed {
        std::string_view text;
        TagKind kind;
        std::uint32_t type;
    };
    static constexpr Fixed kFixed[] = {
        {"\"", TagKind::String, kRegSz},
        {"str:\"", TagKind::String, kRegSz},
        {"str(2):\"", TagKind::String, kRegExpandSz},
        {"str(7):\"", TagKind::String, kRegMultiSz},
        {"hex:", TagKind::Hex, kRegBinary},
        {"dword:", TagKind::Dword, kRegDword},
    };
    bool possible = false;
    for (const Fixed &fixed : kFixed) {
        if (tag.starts_with(fixed.text))
            return {fixed.kind, fixed.type};
        possible = possible || fixed.text.starts_with(tag);
    }
    if (tag.starts_with("hex(")) {
        std::string_view rest = tag.substr(4);
        std::size_t end = 0;
        std::uint64_t type = 0;
        if (!ScanHexNumber(rest, end, type))
            return {TagKind::NeedMore};
        std::string_view after = rest.substr(end);
        if (after.starts_with("):"))
            return {TagKind::Hex, static_cast<std::uint32_t>(type)};
        return {std::string_view("):").starts_with(after) ? TagKind::NeedMore : TagKind::Invalid};
    }
    possible = possible || std::string_view("hex(").starts_with(tag);
    return {possible ? TagKind::NeedMore : TagKind::Invalid};
}

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

RegistryReader::RegistryReader(std::vector<RegistryQuery> &queries)
    : queries_(queries), keyMatch_(queries.size()), nameMatch_(queries.size()) {
    for (std::size_t q = 0; q < queries_.size(); ++q) {
        queries_[q].keyExists = false;
        queries_[q].values.assign(queries_[q].valueNames.size(), std::nullopt);
        nameMatch_[q].resize(queries_[q].valueNames.size());
    }
}

void RegistryReader::Feed(std::string_view bytes) {
    std::size_t i = 0;
    while (i < bytes.size() && line_ != Line::Stopped) {
        // Nothing more of this line counts: straight on to its end.
        if (line_ == Line::Skip) {
            i = bytes.find('\n', i);
            if (i == std::string_view::npos)
                return;
            pendingCr_ = false;
        }
        TakeByte(static_cast<unsigned char>(bytes[i++]));
    }
}

bool RegistryReader::Finish() {
    if (line_ != Line::Stopped) {
        // A last line without a line end keeps a CR at its end.
        if (pendingCr_) {
            pendingCr_ = false;
            TakeLineByte('\r');
        }
        if (lineHasBytes_)
            EndLine();
        // A value that the end of the file leaves going on is malformed.
        if (line_ == Line::Hex && hex_ == HexState::Start)
            line_ = Line::Start;
    }
    return valid_;
}

// Splits the stream into lines as fgets and wineserver's line reader do.
void RegistryReader::TakeByte(unsigned char c) {
    if (pendingCr_) {
        pendingCr_ = false;
        if (c == '\n') {
            EndLine();
            return;
        }
        TakeLineByte('\r');
    }
    if (c == '\n') {
        EndLine();
    } else if (c == '\r') {
        pendingCr_ = true;
        lineHasBytes_ = true;
    } else {
        lineHasBytes_ = true;
        if (c == '\0')
            cutAtNul_ = true; // the line is read as a C string
        if (!cutAtNul_)
            TakeLineByte(c);
    }
}

void RegistryReader::TakeLineByte(unsigned char c) {
    if (cutAtNul_)
        return;
    switch (line_) {
    case Line::Header:
        if (headerMatched_ < kHeader.size() && c == kHeader[headerMatched_])
            ++headerMatched_;
        else
            headerFailed_ = true;
        break;
    case Line::Start:
        if (!IsSpace(c))
            StartLine(c);
        break;
    case Line::Skip:
    case Line::Stopped:
        break;
    case Line::KeyName:
        if (TakeEscaped(c)) {
            EndKey(true);
            line_ = Line::Skip; // the modification time
        }
        break;
    case Line::ValueName:
        if (TakeEscaped(c))
            line_ = Line::AfterName;
        break;
    case Line::AfterName:
        if (c == '=') {
            NameComplete();
            line_ = Line::AfterEquals;
        } else if (!IsSpace(c)) {
            line_ = Line::Skip; // malformed: the value is left as it was
        }
        break;
    case Line::AfterEquals:
        if (!IsSpace(c)) {
            line_ = Line::Tag;
            TakeTag(c);
        }
        break;
    case Line::Tag:
        TakeTag(c);
        break;
    case Line::String:
        if (TakeEscaped(c)) {
            if (type_ == kRegSz)
                CommitValue();
            line_ = Line::Skip;
        }
        break;
    case Line::Hex:
        TakeHex(c);
        break;
    case Line::Option:
        if (option_.size() < 16)
            option_ += static_cast<char>(c);
        break;
    }
}

void RegistryReader::StartLine(unsigned char c) {
    line_ = Line::Skip;
    if (c == '[') {
        StartKey();
        line_ = Line::KeyName;
    } else if ((c == '"' || c == '@') && haveKey_) {
        for (auto &matches : nameMatch_)
            std::fill(matches.begin(), matches.end(), NameMatch{});
        target_ = Target::Name;
        if (c == '@') {
            line_ = Line::AfterName; // the default value: an empty name
        } else {
            escape_ = Escape::Plain;
            close_ = '"';
            line_ = Line::ValueName;
        }
    } else if (c == '#' && !haveKey_) {
        option_.assign(1, '#');
        line_ = Line::Option;
    }
}

void RegistryReader::EndLine() {
    switch (line_) {
    case Line::Header:
        valid_ = !headerFailed_ && headerMatched_ == kHeader.size();
        line_ = valid_ ? Line::Start : Line::Stopped;
        break;
    case Line::KeyName:
        EndKey(false);
        line_ = Line::Start;
        break;
    case Line::Tag:
    case Line::String:
        line_ = Line::Start; // malformed: the value stays without data
        break;
    case Line::Hex:
        TakeHex('\n');
        if (hex_ == HexState::Continue) {
            hex_ = HexState::Start;
            hexLineStart_ = true;
        } else {
            if (hex_ != HexState::Failed && type_ == kRegSz)
                CommitValue();
            line_ = Line::Start;
        }
        break;
    case Line::Option:
        EndOption();
        break;
    case Line::Stopped:
        break;
    default:
        line_ = Line::Start;
        break;
    }
    lineHasBytes_ = false;
    cutAtNul_ = false;
}

void RegistryReader::EndOption() {
    line_ = Line::Start;
    if (!option_.starts_with("#arch="))
        return;
    std::string_view arch = std::string_view(option_).substr(6);
    if (arch != "win32" && arch != "win64")
        line_ = Line::Stopped; // wineserver stops loading the file here
}

bool RegistryReader::TakeEscaped(unsigned char c) {
    for (;;) {
        switch (escape_) {
        case Escape::Hex:
            if (IsHexDigit(c)) {
                code_ = code_ * 16 + HexValue(c);
                if (++digits_ == 4) {
                    Emit(code_);
                    escape_ = Escape::Plain;
                }
                return false;
            }
            Emit(digits_ == 0 ? 'x' : code_);
            escape_ = Escape::Plain;
            continue; // the byte after the escape, read again
        case Escape::Octal:
            if (c >= '0' && c <= '7') {
                code_ = code_ * 8 + (c - '0');
                if (++digits_ == 3) {
                    Emit(code_);
                    escape_ = Escape::Plain;
                }
                return false;
            }
            Emit(code_);
            escape_ = Escape::Plain;
            continue;
        case Escape::Utf8:
            // A byte that cannot continue the sequence drops it, and is
            // read again by itself.
            if ((c ^ 0x80u) >= 0x40u) {
                escape_ = Escape::Plain;
                continue;
            }
            code_ = code_ << 6 | (c ^ 0x80u);
            if (--utf8Left_ > 0)
                return false;
            escape_ = Escape::Plain;
            if (code_ >= kUtf8Minimum[utf8Length_] && code_ <= 0x10FFFF) {
                if (code_ <= 0xFFFF) {
                    Emit(code_);
                } else {
                    Emit(0xD800 | ((code_ - 0x10000) >> 10));
                    Emit(0xDC00 | ((code_ - 0x10000) & 0x3FF));
                }
            }
            return false;
        case Escape::Backslash:
            escape_ = Escape::Plain;
            TakeEscape(c);
            return false;
        case Escape::Plain:
            if (c == static_cast<unsigned char>(close_))
                return true;
            if (c == '\\')
                escape_ = Escape::Backslash;
            else
                TakeCharacter(c);
            return false;
        }
    }
}

// The byte after a backslash.
void RegistryReader::TakeEscape(unsigned char c) {
    static constexpr std::string_view kLetters = "abefnrtv";
    static constexpr char16_t kControls[] = {'\a', '\b', 0x1B, '\f', '\n', '\r', '\t', '\v'};
    if (std::size_t found = kLetters.find(static_cast<char>(c)); found != kLetters.npos) {
        Emit(kControls[found]);
    } else if (c == 'x') {
        escape_ = Escape::Hex;
        digits_ = 0;
        code_ = 0;
    } else if (c >= '0' && c <= '7') {
        escape_ = Escape::Octal;
        digits_ = 1;
        code_ = c - '0';
    } else {
        TakeCharacter(c); // any other byte stands for itself, the closing one too
    }
}

void RegistryReader::TakeCharacter(unsigned char c) {
    if (c < 0x80) {
        Emit(c);
        return;
    }
    utf8Length_ = kUtf8Length[c - 0x80];
    if (utf8Length_ == 0)
        return; // not a lead byte: dropped
    code_ = c & kUtf8Mask[utf8Length_];
    utf8Left_ = utf8Length_;
    escape_ = Escape::Utf8;
}

void RegistryReader::Emit(std::uint32_t unit) {
    auto u = static_cast<char16_t>(unit);
    switch (target_) {
    case Target::Key:
        KeyUnit(u);
        break;
    case Target::Name:
        NameUnit(u);
        break;
    case Target::Data:
        DataUnit(u);
        break;
    }
}

void RegistryReader::StartKey() {
    std::fill(keyMatch_.begin(), keyMatch_.end(), KeyMatch{});
    componentLength_ = 0;
    target_ = Target::Key;
    escape_ = Escape::Plain;
    close_ = ']';
}

void RegistryReader::KeyUnit(char16_t unit) {
    if (unit == u'\\') {
        EndKeyComponent();
        return;
    }
    ++componentLength_;
    for (std::size_t q = 0; q < queries_.size(); ++q) {
        KeyMatch &match = keyMatch_[q];
        const std::vector<RegistryText> &key = queries_[q].key;
        if (match.failed)
            continue;
        if (match.depth == key.size()) {
            match.deeper = true;
        } else if (match.unit < key[match.depth].size() &&
                   FoldCase(key[match.depth][match.unit]) == FoldCase(unit)) {
            ++match.unit;
        } else {
            match.failed = true;
        }
    }
}

void RegistryReader::EndKeyComponent() {
    if (componentLength_ == 0)
        return; // repeated backslashes: no empty component
    componentLength_ = 0;
    for (std::size_t q = 0; q < queries_.size(); ++q) {
        KeyMatch &match = keyMatch_[q];
        const std::vector<RegistryText> &key = queries_[q].key;
        if (match.failed || match.depth == key.size())
            continue;
        if (match.unit == key[match.depth].size()) {
            ++match.depth;
            match.unit = 0;
        } else {
            match.failed = true;
        }
    }
}

void RegistryReader::EndKey(bool wellFormed) {
    haveKey_ = wellFormed;
    if (!wellFormed) {
        for (KeyMatch &match : keyMatch_)
            match.current = false;
        return;
    }
    EndKeyComponent();
    for (std::size_t q = 0; q < queries_.size(); ++q) {
        KeyMatch &match = keyMatch_[q];
        bool found = !match.failed && match.depth == queries_[q].key.size();
        queries_[q].keyExists = queries_[q].keyExists || found;
        match.current = found && !match.deeper;
    }
}

void RegistryReader::NameUnit(char16_t unit) {
    for (std::size_t q = 0; q < queries_.size(); ++q) {
        if (!keyMatch_[q].current)
            continue;
        for (std::size_t v = 0; v < nameMatch_[q].size(); ++v) {
            NameMatch &match = nameMatch_[q][v];
            const RegistryText &name = queries_[q].valueNames[v];
            if (!match.failed && match.matched < name.size() &&
                FoldCase(name[match.matched]) == FoldCase(unit))
                ++match.matched;
            else
                match.failed = true;
        }
    }
}

// The name and its '=' were read: from here on the value exists, without
// data until its data is read whole.
void RegistryReader::NameComplete() {
    anyNameMatched_ = false;
    dataLimit_ = 0;
    for (std::size_t q = 0; q < queries_.size(); ++q) {
        for (std::size_t v = 0; v < nameMatch_[q].size(); ++v) {
            NameMatch &match = nameMatch_[q][v];
            bool named = keyMatch_[q].current && !match.failed &&
                         match.matched == queries_[q].valueNames[v].size();
            match.failed = !named;
            if (named) {
                queries_[q].values[v] = std::nullopt;
                anyNameMatched_ = true;
                dataLimit_ = std::max(dataLimit_, queries_[q].limit);
            }
        }
    }
    tag_.clear();
    data_.clear();
    dataEnded_ = false;
    dataCut_ = false;
    lowByte_ = -1;
    target_ = Target::Data;
}

void RegistryReader::TakeTag(unsigned char c) {
    tag_ += static_cast<char>(c);
    Tag tag = ClassifyTag(tag_);
    if (tag.kind == TagKind::NeedMore && tag_.size() < kMaxTag)
        return;
    type_ = tag.type;
    switch (tag.kind) {
    case TagKind::String:
        // A text no query asks for changes nothing, well-formed or not.
        if (!anyNameMatched_) {
            line_ = Line::Skip;
            break;
        }
        escape_ = Escape::Plain;
        close_ = '"';
        line_ = Line::String;
        break;
    case TagKind::Hex:
        hex_ = HexState::Start;
        hexLineStart_ = false;
        line_ = Line::Hex;
        break;
    default: // dword: never REG_SZ; or malformed
        line_ = Line::Skip;
        break;
    }
}

// The bytes of hex: and hex(N): data, as Wine's parse_hex and load_value
// take them: a list of hex numbers of at most 0xff, each followed by
// blanks, one optional comma and blanks; a backslash after the list
// continues it on the next line.
void RegistryReader::TakeHex(unsigned char c) {
    if (hexLineStart_) {
        if (IsSpace(c) && c != '\n')
            return;
        hexLineStart_ = false;
    }
    bool end = c == '\n';
    for (;;) {
        switch (hex_) {
        case HexState::Start:
        case HexState::Separator:
        case HexState::AfterComma:
            if (IsHexDigit(c)) {
                hexValue_ = HexValue(c);
                hex_ = c == '0' ? HexState::Zero : HexState::Token;
                return;
            }
            if (hex_ == HexState::Separator && c == ',') {
                hex_ = HexState::AfterComma;
                return;
            }
            if (hex_ != HexState::Start && IsSpace(c) && !end)
                return;
            hex_ = HexState::End;
            continue;
        case HexState::Zero:
            if ((c | 0x20) == 'x' && !end) {
                hex_ = HexState::ZeroX;
                return;
            }
            hex_ = HexState::Token;
            continue;
        case HexState::ZeroX:
            if (IsHexDigit(c)) {
                hexValue_ = HexValue(c);
                hex_ = HexState::Token;
                return;
            }
            hex_ = HexState::Failed; // the "0" ends before an 'x' that is no list
            return;
        case HexState::Token:
            if (IsHexDigit(c)) {
                hexValue_ = std::min(hexValue_ * 16 + HexValue(c), 0x100u);
                return;
            }
            if (hexValue_ > 0xff) {
                hex_ = HexState::Failed;
                return;
            }
            HexByte(hexValue_);
            hex_ = HexState::Separator;
            continue;
        case HexState::End:
            if (end)
                return;
            if (c == '\\')
                hex_ = HexState::Continue;
            else if (!IsSpace(c))
                hex_ = HexState::Failed;
            return;
        case HexState::Continue:
        case HexState::Failed:
            return;
        }
    }
}

void RegistryReader::HexByte(unsigned v) {
    if (type_ != kRegSz || !anyNameMatched_)
        return;
    // REG_SZ data given as bytes: UTF-16 little-endian; a lone last byte
    // makes no code unit.
    if (lowByte_ < 0) {
        lowByte_ = static_cast<int>(v);
        return;
    }
    DataUnit(static_cast<char16_t>(static_cast<unsigned>(lowByte_) | v << 8));
    lowByte_ = -1;
}

void RegistryReader::DataUnit(char16_t unit) {
    if (!anyNameMatched_ || dataEnded_)
        return;
    if (unit == u'\0') {
        dataEnded_ = true;
        return;
    }
    if (data_.size() < dataLimit_)
        data_ += unit;
    else
        dataCut_ = true;
}

void RegistryReader::CommitValue() {
    if (!anyNameMatched_)
        return;
    for (std::size_t q = 0; q < queries_.size(); ++q) {
        for (std::size_t v = 0; v < nameMatch_[q].size(); ++v) {
            if (nameMatch_[q][v].failed)
                continue;
            std::size_t limit = queries_[q].limit;
            queries_[q].values[v] =
                RegistryString{data_.substr(0, limit), dataCut_ || data_.size() > limit};
        }
    }
}

bool ReadRegistryFile(int fd, std::vector<RegistryQuery> &queries) {
    constexpr std::size_t kChunk = 64 * 1024;
    auto chunk = std::make_unique<char[]>(kChunk);
    RegistryReader reader(queries);
    for (;;) {
        ssize_t got = ReadRetrying(fd, chunk.get(), kChunk);
        if (got < 0)
            return false;
        if (got == 0)
            break;
        reader.Feed(std::string_view(chunk.get(), static_cast<std::size_t>(got)));
    }
    return reader.Finish();
}

} // namespace dosprep::posix
