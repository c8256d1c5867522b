// GetProfileStringA: one value from WIN.INI, read the way Windows reads it,
// or on a Wine prefix, for [intl], from the registry, where Wine's default
// mapping keeps that section.
//
// Memory stays within one line of the file and one read chunk.
#include "platform/posix/ascii.h"
#include "platform/posix/context.h"
#include "platform/posix/dos_path.h"
#include "platform/posix/line_reader.h"
#include "platform/posix/wine_registry.h"
#include "platform/win32_api.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace dosprep::posix {

namespace {

// `text` without the blanks around it. ^Z is one for files last saved by
// DOS editors, which end them with one.
std::string_view TrimBlanks(std::string_view text) {
    constexpr std::string_view kBlanks = " \t\v\f\x1A";
    text.remove_prefix(std::min(text.find_first_not_of(kBlanks), text.size()));
    return text.substr(0, text.find_last_not_of(kBlanks) + 1);
}

// A name or a value of a line: read as the C string it is copied into
// (a NUL ends it), without the blanks around it.
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

// [section] key= of a WIN.INI text, read a line at a time as Windows'
// profile loader reads it (Wine's PROFILE_Load):
//   - every CR and every LF ends a line; blanks and ^Z around a line, a
//     name or a value do not count;
//   - a line that begins with '[' and holds a ']' opens a section, named
//     by what lies between the '[' and the LAST ']' of the line, as the
//     loader finds the end with memrchr ("[a]b]" names "a]b"); a line with
//     no ']' opens none (the loader takes it for a key, which no key name
//     asked for can match);
//   - only the first section of that name counts, as with Windows: a later
//     one of the same name is not consulted;
//   - in it, a line names a key up to its first '=' (its first character
//     always belongs to the name), and ';' begins a comment line; the
//     first line naming the key decides, with or without '='.
// The value comes with its quotes taken off; nullopt for a missing
// section or key, a key line without '=', or a file that cannot be read.
// A line longer than LineReader::kMaxLine is read in pieces of that size,
// each taken for a line of its own, as Wine's loader took the pieces when
// it read WIN.INI with fgets into a fixed buffer (PROFILE_MAX_LINE_LEN).
std::optional<std::string> FindValue(int fd, std::string_view section, std::string_view key) {
    LineReader lines(fd, "\r\n");
    std::string_view line;
    bool inSection = false;
    for (bool first = true; lines.Next(line); first = false) {
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
            return std::nullopt; // the key without '=': found, without a value
        return std::string(Unquoted(Field(line.substr(equals + 1))));
    }
    return std::nullopt;
}

// FindValue in WIN.INI of the Windows directory; nullopt when there is no
// such regular file.
std::optional<std::string> FindInWinIni(std::string_view section, std::string_view key) {
    std::string path = RunContext().windowsDirectory;
    if (path.back() != '\\')
        path += '\\';
    path += "win.ini";
    ResolvedPath resolved;
    if (ResolveDosPath(path, resolved) != NO_ERROR || !resolved.exists)
        return std::nullopt;
    struct stat info {};
    DWORD error = NO_ERROR;
    FileDescriptor winIni(OpenRegularForReading(resolved, info, error));
    if (winIni.Get() < 0)
        return std::nullopt;
    return FindValue(winIni.Get(), section, key);
}

// [intl] key= on a Wine prefix: from its user.reg, where Wine's default
// IniFileMapping keeps [intl], whatever WIN.INI says; nullopt when the
// registry lacks it. The names are taken as they are given, as Wine looks
// them up. False for another section, and when drive C is no Wine prefix's
// or its user.reg cannot be read: WIN.INI is read then.
bool FindInRegistry(std::string_view section, std::string_view key,
                    std::optional<std::string> &value) {
    const Context &context = RunContext();
    if (!EqualsIgnoringCase(section, "intl") || !HoldsWineRegistry(context))
        return false;
    struct stat info {};
    DWORD error = NO_ERROR;
    FileDescriptor userReg(OpenRegularEntry(context.prefix.Get(), "user.reg", info, error));
    return userReg.Get() >= 0 && ReadInternationalValue(userReg.Get(), key, value);
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
            // A value in the registry counts even when it is empty.
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
