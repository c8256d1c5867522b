// libFuzzer target for GetProfileStringA: the copy must stay inside the
// caller's buffer and equal what a small line-by-line reference reader
// finds in WIN.INI.
//
// Input: byte 0 is the buffer size (0..40); byte 1 picks the section and
// key, the default and the spelling of the file name (or no file); byte 2
// at 0xE0 or above puts a comment line of nearly 64 KiB first, so that the
// rest meets the 64 KiB read-chunk boundary; the remaining bytes are the
// file.
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

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    g_windows = fuzz::MakeScratchDrive() / "WINDOWS";
    std::filesystem::create_directory(g_windows);
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
    if (fileName != nullptr)
        WriteFile(g_windows / fileName, file);

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
    if (fileName != nullptr)
        value = ModelLookup(file, query.section, query.key);
    bool fromFile = value && !value->empty();
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
    if (fromFile && file.find(actual) == std::string::npos)
        Fail("value is not part of the file");
    return 0;
}
