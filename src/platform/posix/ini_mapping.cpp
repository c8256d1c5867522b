#include "platform/posix/ini_mapping.h"

#include "platform/posix/context.h"
#include "platform/posix/dos_path.h"
#include "platform/posix/wine_registry.h"

#include <algorithm>
#include <vector>

namespace dosprep::posix {

namespace {

// The longest key path that RegOpenKeyExW takes (a UNICODE_STRING counts
// its bytes in 16 bits); a longer mapping names no key that can be opened.
constexpr std::size_t kMaxKeyPath = 32767;

constexpr std::u16string_view kMappingKey =
    u"Software\\Microsoft\\Windows NT\\CurrentVersion\\IniFileMapping\\win.ini";

// The caller's names, byte for byte: names that matter are ASCII.
RegistryText Widen(std::string_view text) {
    RegistryText wide;
    for (char c : text)
        wide += static_cast<char16_t>(static_cast<unsigned char>(c));
    return wide;
}

// What WideCharToMultiByte makes of the text for the Windows program, in
// an ANSI code page that follows the locale Wine started in: ASCII is the
// same in all of them, and other characters only ever fail the
// classifier's comparisons of ASCII letters. Wine converts to a
// single-byte code page a UTF-16 unit at a time, so each unit (each half
// of a surrogate pair too) is one byte, which keeps a cut value as long.
std::string Narrow(std::u16string_view text) {
    std::string narrow;
    for (char16_t unit : text)
        narrow += unit < 0x80 ? static_cast<char>(unit) : '?';
    return narrow;
}

// Answers `lookups` from the registry file `name` of the prefix.
bool ReadPrefixFile(int prefix, const char *name, std::size_t limit,
                    std::vector<RegistryLookup> &lookups) {
    struct stat info {};
    DWORD error = NO_ERROR;
    FileDescriptor fd(OpenRegularEntry(prefix, name, info, error));
    return fd.Get() >= 0 && ReadRegistryFile(fd.Get(), limit, lookups);
}

// Where the value lives, as get_mapped_section_key finds it; nullopt when
// the section and key are not mapped (or system.reg cannot be read). A
// text longer than kMaxKeyPath stands for one that was cut.
std::optional<RegistryText> FindMapping(int prefix, const RegistryText &section,
                                        const RegistryText &key) {
    std::vector<RegistryText> fileKey = SplitKeyPath(kMappingKey);
    std::vector<RegistryText> sectionKey =
        SplitKeyPath(RegistryText(kMappingKey) + u'\\' + section);
    std::vector<RegistryLookup> lookups = {
        {sectionKey, key}, {sectionKey, u""}, {fileKey, section}, {fileKey, u""}};
    if (!ReadPrefixFile(prefix, "system.reg", kMaxKeyPath, lookups))
        return std::nullopt;
    if (lookups[0].keyExists)
        return lookups[0].value ? lookups[0].value : lookups[1].value;
    if (lookups[2].value)
        return lookups[2].value;
    std::optional<RegistryText> path = lookups[3].value;
    if (path)
        *path += u'\\' + section;
    return path;
}

// open_mapped_key, then the value: the registry's answer for a mapped
// section and key. Not mapped after all when the file cannot be read.
MappedValue ReadMappedValue(int prefix, std::u16string_view path, const RegistryText &key,
                            std::size_t limit) {
    bool tooLong = path.size() > kMaxKeyPath;
    path.remove_prefix(std::min(path.find_first_not_of(u"!#@"), path.size()));
    bool user = path.starts_with(u"USR:");
    if (tooLong || (!user && !path.starts_with(u"SYS:")))
        return {true, std::nullopt}; // it names no key that Wine opens
    RegistryText keyPath = user ? u"" : u"Software\\";
    keyPath += path.substr(4);
    std::vector<RegistryLookup> lookups = {{SplitKeyPath(keyPath), key}};
    if (!ReadPrefixFile(prefix, user ? "user.reg" : "system.reg", limit, lookups))
        return {};
    if (!lookups[0].value)
        return {true, std::nullopt};
    return {true, Narrow(*lookups[0].value)};
}

} // namespace

MappedValue LookUpMappedValue(std::string_view section, std::string_view key, std::size_t limit) {
    const Context &context = RunContext();
    if (!HoldsWineRegistry(context))
        return {};
    RegistryText sectionName = Widen(section);
    RegistryText keyName = Widen(key);
    std::optional<RegistryText> path = FindMapping(context.prefix.Get(), sectionName, keyName);
    if (!path)
        return {};
    return ReadMappedValue(context.prefix.Get(), *path, keyName, limit);
}

} // namespace dosprep::posix
