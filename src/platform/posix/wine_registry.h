// Wine's text registry files (system.reg for HKEY_LOCAL_MACHINE, user.reg
// for HKEY_CURRENT_USER), read the way wineserver loads them, for a few
// keys and values only. Private to src/platform/posix.
//
// Names of keys and values match whatever the ASCII case of their letters
// (Wine folds the case of every letter; the names asked for are ASCII).
//
// The format: a "WINE REGISTRY Version 2" line; "[key\\path] timestamp"
// lines opening a key; then its values, "name"=data or @=data for the
// default value, where data is "string", str:"string", str(2):"..." and
// str(7):"..." (REG_EXPAND_SZ, REG_MULTI_SZ), dword:hex, hex:bytes or
// hex(type):bytes, bytes running on over lines that end in a backslash.
// Strings use C escapes, \x with up to four hex digits, octal escapes and
// UTF-8. Lines starting with ';' are comments and '#' lines are options.
//
// The file is streamed: memory stays within what the queries keep.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dosprep::posix {

// Registry names and data are UTF-16.
using RegistryText = std::u16string;

// A key path split at its backslashes, empty parts dropped, as Wine splits
// the paths it opens: "a\b" and "\a\\b\" are both {a, b}.
std::vector<RegistryText> SplitKeyPath(std::u16string_view path);

// A REG_SZ value as RegGetValueW and lstrcpynW give it: up to its first
// NUL, at most the query's `limit` code units.
struct RegistryString {
    RegistryText text;
    bool cut = false; // more code units followed before a NUL or the end
};

// One question about a registry file, and its answers.
struct RegistryQuery {
    std::vector<RegistryText> key;        // components; empty: the file's root key
    std::vector<RegistryText> valueNames; // "" names the default value
    std::size_t limit = 0;                // code units kept of each value

    // The key exists: it, or a key below it, is in the file.
    bool keyExists = false;
    // Per value name: its data when the key has it as REG_SZ; nullopt when
    // it is missing or of another type, or its line is malformed.
    std::vector<std::optional<RegistryString>> values;
};

// Answers queries from a registry file fed to it in pieces of any size.
// Lines are read as wineserver reads them: a CR before the LF is dropped,
// a NUL byte ends the line's text, a later definition of a value replaces
// an earlier one, and a malformed line is skipped (a malformed key line
// leaves its values without a key, ignored). An "#arch=" line before the
// first key that names neither win32 nor win64 ends the file there.
class RegistryReader {
  public:
    explicit RegistryReader(std::vector<RegistryQuery> &queries);

    void Feed(std::string_view bytes);
    // The file ended. Returns false when its first line is not Wine's
    // header: it is no registry file, and the answers mean nothing.
    bool Finish();

  private:
    enum class Line {
        Header,
        Start,
        Skip,
        KeyName,
        ValueName,
        AfterName,
        AfterEquals,
        Tag,
        String,
        Hex,
        Option,
        Stopped
    };
    enum class Escape { Plain, Backslash, Hex, Octal, Utf8 };
    enum class HexState { Start, Zero, ZeroX, Token, Separator, AfterComma, End, Continue, Failed };

    // Wine's escaped text (parse_strW), one byte at a time. Returns true
    // once the closing byte has been taken.
    bool TakeEscaped(unsigned char c);
    void TakeEscape(unsigned char c);
    void TakeCharacter(unsigned char c);
    void Emit(std::uint32_t unit);

    void TakeByte(unsigned char c);
    void TakeLineByte(unsigned char c);
    void EndLine();
    void StartLine(unsigned char c);
    void StartKey();
    void KeyUnit(char16_t unit);
    void EndKeyComponent();
    void EndKey(bool wellFormed);
    void NameUnit(char16_t unit);
    void NameComplete();
    void TakeTag(unsigned char c);
    void TakeHex(unsigned char c);
    void HexByte(unsigned v);
    void DataUnit(char16_t unit);
    void CommitValue();
    void EndOption();

    std::vector<RegistryQuery> &queries_;

    // The line as a whole.
    Line line_ = Line::Header;
    bool lineHasBytes_ = false;
    bool pendingCr_ = false;
    bool cutAtNul_ = false;
    bool valid_ = false;
    std::size_t headerMatched_ = 0;
    bool headerFailed_ = false;
    bool haveKey_ = false;
    std::string option_;

    // The escaped text being decoded.
    Escape escape_ = Escape::Plain;
    char close_ = '"';
    unsigned digits_ = 0;
    std::uint32_t code_ = 0;
    int utf8Left_ = 0;
    int utf8Length_ = 0;
    enum class Target { Key, Name, Data } target_ = Target::Key;

    // The key line: how far it matches each query's key.
    struct KeyMatch {
        std::size_t depth = 0; // components matched
        std::size_t unit = 0;  // code units matched of the next one
        bool failed = false;
        bool deeper = false; // the line names a key below the query's
        bool current = false;
    };
    std::vector<KeyMatch> keyMatch_;
    std::size_t componentLength_ = 0;

    // The value line: which (query, value) pairs its name matches.
    struct NameMatch {
        std::size_t matched = 0;
        bool failed = false;
    };
    std::vector<std::vector<NameMatch>> nameMatch_;
    bool anyNameMatched_ = false;

    // The value's data.
    std::string tag_;
    std::uint32_t type_ = 0;
    HexState hex_ = HexState::Start;
    unsigned hexValue_ = 0;
    bool hexLineStart_ = false;
    int lowByte_ = -1;
    RegistryText data_;
    bool dataEnded_ = false; // a NUL was seen: the rest does not count
    bool dataCut_ = false;
    std::size_t dataLimit_ = 0;
};

// Reads a registry file from `fd` to its end, answering every query.
// Returns false when the file cannot be read or is no registry file.
bool ReadRegistryFile(int fd, std::vector<RegistryQuery> &queries);

} // namespace dosprep::posix
