// libFuzzer target for GetProfileStringA: the copy must stay inside the
// caller's buffer and equal what a small line-by-line reference reader
// finds in WIN.INI.
//
// Input: byte 0 is the buffer size (0..40); byte 1 picks the section and
// key, the default and the spelling of the file name (or no file); byte 2
// at 0xE0 or above puts a comment line of nearly 64 KiB first, so that the
// rest meets the 64 KiB read-chunk boundary; the remaining bytes are the
// file.
//
// With byte 2 from 0xC0 to 0xDF, drive C is a Wine prefix's whose
// system.reg maps [intl] to HKEY_CURRENT_USER\Control Panel\International
// as Wine does, and the remaining bytes are its user.reg; WIN.INI is fixed.
// The reference there is a line-by-line reading of wineserver's loader
// (load_keys, parse_strW, get_data_type, parse_hex, with the C library's
// strtoul).
#include "fuzz_support.h"
#include "platform/win32_api.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

using fuzz::Escaped;
using fuzz::Fail;
using fuzz::WriteFile;

const char *const fuzz::kTargetName = "profile_fuzz";

namespace {

struct Query {
    const char *section;
    const char *key;
};

const Query kQueries[] = {
    {"intl", "sLanguage"},
    {"INTL", "slanguage"},
    {"windows", "load"},
};

const char *const kDefaults[] = {
    nullptr,
    "",
    "-",
    "a default longer than any buffer, cut to the buffer size",
};

// The file names to try; the last entry means no WIN.INI at all.
const char *const kFileNames[] = {"win.ini", "WIN.INI", "Win.Ini", nullptr};

constexpr std::size_t kMaxBuffer = 40;
constexpr std::size_t kGuard = 16;
constexpr char kCanary = '\xA5';
constexpr std::size_t kMaxInput = 1 << 20;

std::filesystem::path g_windows;

// Blanks around names and values: the implementation also counts \v, \f
// and Ctrl-Z (left by DOS editors) as blanks.
bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\x1A';
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

// Names and values are read as C strings: a NUL ends them.
std::string_view CutAtNul(std::string_view text) {
    return text.substr(0, text.find('\0'));
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i] >= 'a' && a[i] <= 'z' ? static_cast<char>(a[i] - 32) : a[i];
        char y = b[i] >= 'a' && b[i] <= 'z' ? static_cast<char>(b[i] - 32) : b[i];
        if (x != y)
            return false;
    }
    return true;
}

// The reference reader: the whole file split into lines at every CR and
// every LF. nullopt stands for "use the default" before the empty-value
// rule is applied.
std::optional<std::string> ModelLookup(std::string_view file, std::string_view section,
                                       std::string_view key) {
    if (file.starts_with("\xEF\xBB\xBF"))
        file.remove_prefix(3);
    bool inSection = false;
    std::size_t start = 0;
    while (start <= file.size()) {
        std::size_t end = file.find_first_of("\r\n", start);
        if (end == std::string_view::npos)
            end = file.size();
        std::string_view line = file.substr(start, end - start);
        start = end + 1;

        std::size_t first = 0;
        while (first < line.size() && IsBlank(line[first]))
            ++first;
        if (first == line.size())
            continue;
        if (line[first] == '[') {
            // The name runs to the last ']'; without one the line is no header.
            std::size_t close = line.rfind(']');
            if (close == std::string_view::npos || close < first)
                continue;
            if (inSection)
                return std::nullopt; // only the first section of that name counts
            inSection =
                SameName(Trim(CutAtNul(line.substr(first + 1, close - first - 1))), section);
            continue;
        }
        if (line[first] == ';' || !inSection)
            continue;
        // The first character always belongs to the name, even an '='.
        std::size_t equals = line.find('=', first + 1);
        std::string_view name = line.substr(
            first, equals == std::string_view::npos ? std::string_view::npos : equals - first);
        if (!SameName(Trim(CutAtNul(name)), key))
            continue;
        if (equals == std::string_view::npos)
            return std::nullopt; // the key without '=' decides: no value
        std::string_view value = Trim(CutAtNul(line.substr(equals + 1)));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        return std::string(value);
    }
    return std::nullopt;
}

// ---- The registry reference: Wine's loader, line by line. ----

constexpr std::string_view kRegistryHeader = "WINE REGISTRY Version 2";
const char *const kFixedWinIni = "[intl]\nsLanguage=fromfile\n[windows]\nload=fromfile\n";
std::filesystem::path g_prefix;

// The lines as wineserver's read_next_line gives them: LF ends a line, a
// CR before it is dropped; read as C strings, a NUL ends a line's text.
std::vector<std::string> RegistryLines(std::string_view file) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < file.size()) {
        std::size_t end = file.find('\n', start);
        bool complete = end != std::string_view::npos;
        std::string line(file.substr(start, (complete ? end : file.size()) - start));
        if (complete && !line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line.substr(0, line.find('\0')));
        start = complete ? end + 1 : file.size();
    }
    return lines;
}

bool CSpace(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool CXDigit(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

unsigned ToHex(unsigned char c) {
    return c <= '9' ? c - '0' : (c | 0x20u) - 'a' + 10;
}

// parse_strW: the index after the closing `close`, or -1 without one.
long ParseStr(const std::string &s, std::size_t from, char close, std::u16string &out) {
    static const unsigned char length[128] = {
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
        1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2, 2, 2,
        2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    static const unsigned mask[4] = {0x7f, 0x1f, 0x0f, 0x07};
    static const unsigned minimum[4] = {0, 0x80, 0x800, 0x10000};
    auto at = [&s](std::size_t i) -> unsigned char {
        return i < s.size() ? static_cast<unsigned char>(s[i]) : 0;
    };
    auto emit = [&out](unsigned unit) { out += static_cast<char16_t>(unit); };
    std::size_t p = from;
    out.clear();
    while (at(p) && at(p) != static_cast<unsigned char>(close)) {
        if (at(p) == '\\') {
            p++;
            if (!at(p))
                break;
            const char *letters = "abefnrtv";
            const unsigned codes[] = {7, 8, 0x1b, 12, 10, 13, 9, 11};
            if (const char *found = std::strchr(letters, at(p)); found && *found) {
                emit(codes[found - letters]);
                p++;
                continue;
            }
            if (at(p) == 'x') {
                p++;
                unsigned unit = 'x';
                if (CXDigit(at(p))) {
                    unit = ToHex(at(p++));
                    for (int i = 0; i < 3 && CXDigit(at(p)); ++i)
                        unit = unit * 16 + ToHex(at(p++));
                }
                emit(unit);
                continue;
            }
            if (at(p) >= '0' && at(p) <= '7') {
                unsigned unit = at(p++) - '0';
                for (int i = 0; i < 2 && at(p) >= '0' && at(p) <= '7'; ++i)
                    unit = unit * 8 + (at(p++) - '0');
                emit(unit);
                continue;
            }
        }
        unsigned char ch = at(p++);
        if (ch < 0x80) {
            emit(ch);
            continue;
        }
        unsigned n = length[ch - 0x80];
        unsigned code = ch & mask[n];
        bool valid = n > 0;
        for (unsigned i = 0; valid && i < n; ++i) {
            unsigned next = at(p) ^ 0x80u;
            valid = next < 0x40;
            if (valid) {
                code = code << 6 | next;
                p++;
            }
        }
        if (!valid || code < minimum[n] || code > 0x10ffff)
            continue;
        if (code <= 0xffff) {
            emit(code);
        } else {
            emit(0xd800 | ((code - 0x10000) >> 10));
            emit(0xdc00 | ((code - 0x10000) & 0x3ff));
        }
    }
    if (!at(p))
        return -1;
    return static_cast<long>(p + 1);
}

bool SameWide(std::u16string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i] >= 'a' && a[i] <= 'z' ? static_cast<char16_t>(a[i] - 32) : a[i];
        char y = b[i] >= 'a' && b[i] <= 'z' ? static_cast<char>(b[i] - 32) : b[i];
        if (x != static_cast<unsigned char>(y))
            return false;
    }
    return true;
}

std::vector<std::u16string> KeyParts(std::u16string_view path) {
    std::vector<std::u16string> parts;
    std::u16string part;
    for (char16_t unit : path) {
        if (unit != u'\\') {
            part += unit;
        } else if (!part.empty()) {
            parts.push_back(part);
            part.clear();
        }
    }
    if (!part.empty())
        parts.push_back(part);
    return parts;
}

struct ModelRegistry {
    bool valid = false;
    bool keyExists = false;
    std::optional<std::u16string> value; // REG_SZ, up to its first NUL
};

// parse_hex with continuation lines, as load_value reads REG_BINARY data.
// False when the data is malformed.
bool ParseHexData(const std::vector<std::string> &lines, std::size_t &index, std::size_t from,
                  std::string &bytes) {
    std::string line = lines[index];
    std::size_t p = from;
    auto at = [&line](std::size_t i) -> unsigned char {
        return i < line.size() ? static_cast<unsigned char>(line[i]) : 0;
    };
    for (;;) {
        while (CXDigit(at(p))) {
            const char *start = line.c_str() + p;
            char *end = nullptr;
            unsigned long value = std::strtoul(start, &end, 16);
            if (end == start || value > 0xff)
                return false;
            bytes += static_cast<char>(value);
            p += static_cast<std::size_t>(end - start);
            while (CSpace(at(p)))
                p++;
            if (at(p) == ',')
                p++;
            while (CSpace(at(p)))
                p++;
        }
        while (CSpace(at(p)))
            p++;
        if (!at(p))
            return true;
        if (at(p) != '\\' || index + 1 >= lines.size())
            return false;
        line = lines[++index];
        p = 0;
        while (CSpace(at(p)))
            p++;
    }
}

// load_keys for one key and one value name.
ModelRegistry ModelLoad(std::string_view file, const std::vector<std::string> &key,
                        std::string_view valueName) {
    ModelRegistry model;
    std::vector<std::string> lines = RegistryLines(file);
    if (lines.empty() || lines[0] != kRegistryHeader)
        return model;
    model.valid = true;
    bool haveKey = false, current = false;
    for (std::size_t index = 1; index < lines.size(); ++index) {
        const std::string &line = lines[index];
        std::size_t p = 0;
        while (p < line.size() && CSpace(static_cast<unsigned char>(line[p])))
            p++;
        char first = p < line.size() ? line[p] : '\0';
        if (first == '[') {
            std::u16string name;
            haveKey = ParseStr(line, p + 1, ']', name) >= 0;
            std::vector<std::u16string> parts = KeyParts(name);
            bool prefix = haveKey && parts.size() >= key.size();
            for (std::size_t i = 0; prefix && i < key.size(); ++i)
                prefix = SameWide(parts[i], key[i]);
            model.keyExists = model.keyExists || prefix;
            current = prefix && parts.size() == key.size();
        } else if (first == '#' && !haveKey) {
            std::string_view option = std::string_view(line).substr(p);
            if (option.starts_with("#arch=") && option.substr(6) != "win32" &&
                option.substr(6) != "win64")
                return model;
        } else if ((first == '@' || first == '"') && haveKey) {
            // parse_value_name
            std::u16string name;
            std::size_t q = p + 1;
            if (first == '"') {
                long r = ParseStr(line, p + 1, '"', name);
                if (r < 0)
                    continue;
                q = static_cast<std::size_t>(r);
            }
            while (q < line.size() && CSpace(static_cast<unsigned char>(line[q])))
                q++;
            if (q >= line.size() || line[q] != '=')
                continue;
            q++;
            while (q < line.size() && CSpace(static_cast<unsigned char>(line[q])))
                q++;
            bool named = current && SameWide(name, valueName);
            if (named)
                model.value.reset();
            // get_data_type
            std::string_view rest = std::string_view(line).substr(q);
            std::uint32_t type = 0;
            std::size_t tagLength = 0;
            bool hexData = false, stringData = false;
            struct Fixed {
                std::string_view tag;
                std::uint32_t type;
                bool string;
                bool hex;
            };
            const Fixed fixed[] = {{"\"", 1, true, false},        {"str:\"", 1, true, false},
                                   {"str(2):\"", 2, true, false}, {"str(7):\"", 7, true, false},
                                   {"hex:", 3, false, true},      {"dword:", 4, false, false}};
            for (const Fixed &f : fixed) {
                if (rest.starts_with(f.tag)) {
                    type = f.type, tagLength = f.tag.size();
                    stringData = f.string, hexData = f.hex;
                    break;
                }
            }
            if (tagLength == 0 && rest.starts_with("hex(")) {
                const char *start = line.c_str() + q + 4;
                char *end = nullptr;
                type = static_cast<std::uint32_t>(std::strtoul(start, &end, 16));
                if (std::string_view(end).starts_with("):")) {
                    tagLength = static_cast<std::size_t>(end + 2 - (line.c_str() + q));
                    hexData = true;
                }
            }
            // Deliberately the reader's own limit: a longer tag counts as
            // malformed (wineserver takes any length).
            if (tagLength == 0 || tagLength > 64)
                continue;
            std::size_t data = q + tagLength;
            if (stringData) {
                std::u16string text;
                if (ParseStr(line, data, '"', text) >= 0 && named && type == 1)
                    model.value = text.substr(0, text.find(u'\0'));
            } else if (hexData) {
                std::string bytes;
                bool ok = ParseHexData(lines, index, data, bytes);
                if (ok && named && type == 1) {
                    std::u16string text;
                    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
                        text +=
                            static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                                  static_cast<unsigned char>(bytes[i + 1]) << 8);
                    model.value = text.substr(0, text.find(u'\0'));
                }
            }
        }
    }
    return model;
}

// WideCharToMultiByte as the reader stands in for it: ASCII as it is,
// every other UTF-16 unit '?', as Wine converts to a single-byte code page.
std::string ModelNarrow(std::u16string_view text) {
    std::string narrow;
    for (char16_t unit : text)
        narrow += unit < 0x80 ? static_cast<char>(unit) : '?';
    return narrow;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The scratch directory is a Wine prefix when its registry files are
    // there; drive C is its drive_c.
    g_prefix = fuzz::MakeScratchDrive();
    std::filesystem::path drive = g_prefix / "drive_c";
    g_windows = drive / "WINDOWS";
    std::filesystem::create_directories(g_windows);
    setenv("DOSPREP_DRIVE_C", drive.c_str(), 1);
    WriteFile(g_prefix / "system.reg",
              "WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\Machine\n\n"
              "#arch=win32\n\n[Software\\\\Microsoft\\\\Windows NT\\\\CurrentVersion\\\\"
              "IniFileMapping\\\\win.ini] 1796777475\n#time=1dd877764cbce82\n"
              "\"intl\"=\"USR:Control Panel\\\\International\"\n");
    unsetenv("DOSPREP_WINDIR"); // the default C:\WINDOWS
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 3 || size > kMaxInput)
        return 0;
    const std::size_t bufferSize = data[0] % (kMaxBuffer + 1);
    const Query &query = kQueries[data[1] % std::size(kQueries)];
    const char *defaultValue = kDefaults[data[1] / std::size(kQueries) % std::size(kDefaults)];
    const char *fileName =
        kFileNames[data[1] / (std::size(kQueries) * std::size(kDefaults)) % std::size(kFileNames)];
    const bool registry = data[2] >= 0xC0 && data[2] < 0xE0;
    std::string file;
    if (data[2] >= 0xE0) {
        std::size_t padding = 65536 - 32 + (data[2] - 0xE0u);
        file = ";" + std::string(padding - 2, 'c') + "\n";
    }
    file.append(reinterpret_cast<const char *>(data) + 3, size - 3);

    for (const char *name : kFileNames) {
        if (name != nullptr)
            std::remove((g_windows / name).c_str());
    }
    std::remove((g_prefix / "user.reg").c_str());
    if (registry) {
        WriteFile(g_windows / "win.ini", kFixedWinIni);
        WriteFile(g_prefix / "user.reg", file);
    } else if (fileName != nullptr) {
        WriteFile(g_windows / fileName, file);
    }

    std::vector<char> buffer(bufferSize + kGuard, kCanary);
    DWORD result = GetProfileStringA(query.section, query.key, defaultValue, buffer.data(),
                                     static_cast<DWORD>(bufferSize));

    for (std::size_t i = bufferSize; i < buffer.size(); ++i) {
        if (buffer[i] != kCanary)
            Fail("wrote past the buffer");
    }
    if (bufferSize == 0) {
        if (result != 0)
            Fail("size 0 must return 0");
        return 0;
    }
    if (result > bufferSize - 1)
        Fail("result longer than size - 1");
    if (buffer[result] != '\0')
        Fail("no NUL after the result");
    if (std::strlen(buffer.data()) != result)
        Fail("NUL inside the result");

    std::optional<std::string> value;
    bool fromFile = false;
    ModelRegistry model;
    if (registry && SameName(query.section, "intl"))
        model = ModelLoad(file, {"Control Panel", "International"}, query.key);
    if (model.valid) {
        // Mapped: the registry's value, even an empty one, else the default.
        if (model.value)
            value = ModelNarrow(*model.value);
        fromFile = value.has_value();
    } else {
        if (registry)
            value = ModelLookup(kFixedWinIni, query.section, query.key);
        else if (fileName != nullptr)
            value = ModelLookup(file, query.section, query.key);
        fromFile = value && !value->empty();
    }
    std::string_view expected = fromFile                  ? std::string_view(*value)
                                : defaultValue != nullptr ? std::string_view(defaultValue)
                                                          : std::string_view();
    expected = expected.substr(0, bufferSize - 1);
    std::string_view actual(buffer.data(), result);
    if (actual != expected) {
        std::fprintf(stderr, "profile_fuzz: [%s] %s size %zu: expected \"%s\", got \"%s\"\n",
                     query.section, query.key, bufferSize, Escaped(expected).c_str(),
                     Escaped(actual).c_str());
        Fail("value differs from the reference reader");
    }
    // A value from the file is a run of its bytes, whatever the model says.
    if (fromFile && !registry && file.find(actual) == std::string::npos)
        Fail("value is not part of the file");
    return 0;
}
