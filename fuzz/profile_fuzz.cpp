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
// With byte 2 from 0xC0 to 0xDF, drive C is a Wine prefix's, and the
// remaining bytes are its user.reg, where Wine's default mapping keeps
// [intl]; WIN.INI is fixed. The reference there reads user.reg the way
// Wine writes it.
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

// ---- The registry reference: user.reg as Wine writes it. ----

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

// The text from line[i] up to the first `close` that no backslash escapes,
// each escaped byte as it is; `i` is left after `close`. nullopt without one.
std::optional<std::string> Unescape(const std::string &line, std::size_t &i, char close) {
    std::string text;
    while (i < line.size()) {
        char c = line[i++];
        if (c == close)
            return text;
        if (c == '\\') {
            if (i == line.size())
                break;
            c = line[i++];
        }
        text += c;
    }
    return std::nullopt;
}

struct ModelRegistry {
    bool valid = false;               // the file begins with Wine's header line
    std::optional<std::string> value; // the last line of the value, when it is a string
};

// [Control Panel\International] `valueName`: "[key] time" lines open a
// key, "name"="text" and "name"=str:"text" lines give a string, any other
// data after "name"= gives no string; every other line counts for nothing.
ModelRegistry ModelLoad(std::string_view file, std::string_view valueName) {
    ModelRegistry model;
    std::vector<std::string> lines = RegistryLines(file);
    if (lines.empty() || lines[0] != kRegistryHeader)
        return model;
    model.valid = true;
    bool inKey = false;
    for (std::size_t index = 1; index < lines.size(); ++index) {
        const std::string &line = lines[index];
        std::size_t p = 1;
        if (line.starts_with('[')) {
            std::optional<std::string> key = Unescape(line, p, ']');
            inKey = key && SameName(*key, "Control Panel\\International");
            continue;
        }
        if (!inKey || !line.starts_with('"'))
            continue;
        std::optional<std::string> name = Unescape(line, p, '"');
        std::string_view data = std::string_view(line).substr(p);
        if (!name || !SameName(*name, valueName) || !data.starts_with('='))
            continue;
        data.remove_prefix(data.starts_with("=str:\"") ? 5 : 1);
        model.value.reset();
        if (data.starts_with('"')) {
            std::size_t i = 1;
            model.value = Unescape(std::string(data), i, '"');
        }
    }
    return model;
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
    WriteFile(g_prefix / "system.reg", "WINE REGISTRY Version 2\n");
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
        model = ModelLoad(file, query.key);
    if (model.valid) {
        // The registry's value, even an empty one, else the default.
        value = model.value;
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
