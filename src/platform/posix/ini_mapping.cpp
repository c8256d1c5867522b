#include "platform/posix/ini_mapping.h"

#include "platform/posix/dos_path.h"
#include "platform/posix/wine_registry.h"

#include <vector>

namespace dosprep::posix {

namespace {

// The longest key path that RegOpenKeyExW takes (a UNICODE_STRING counts
// its bytes in 16 bits); a longer mapping names no key that can be opened.
constexpr std::size_t kMaxKeyPath = 32767;

const std::vector<RegistryText> &MappingKey() {
    static const std::vector<RegistryText> key = {
        u"Software", u"Microsoft", u"Windows NT", u"CurrentVersion", u"IniFileMapping", u"win.ini"};
    return key;
}

// The caller's names, byte for byte: names that matter are ASCII.
RegistryText Widen(std::string_view text) {
    RegistryText wide;
    for (char c : text)
        wide += static_cast<char16_t>(static_cast<unsigned char>(c));
    return wide;
}

// What WideCharToMultiByte makes of the text for the Windows program. Its
// ANSI code page follows the locale Wine started in, which is not known
// here; ASCII is the same in all of them, and other characters only ever
// fail the classifier's comparisons of ASCII letters, whatever bytes they
// would become. Wine converts to a single-byte code page one UTF-16 unit
// at a time, so each unit is one byte, and each half of a surrogate pair
// a '?' of its own; that keeps a cut value as long as Wine's.
std::string Narrow(std::u16string_view text) {
    std::string narrow;
    for (char16_t unit : text)
        narrow += unit < 0x80 ? static_cast<char>(unit) : '?';
    return narrow;
}

// Answers `queries` from the registry file `name` of the prefix.
bool QueryRegistryFile(int prefix, const char *name, std::vector<RegistryQuery> &queries) {
    struct stat info {};
    DWORD error = NO_ERROR;
    FileDescriptor fd(OpenRegularEntry(prefix, name, info, error));
    return fd.Get() >= 0 && ReadRegistryFile(fd.Get(), queries);
}

RegistryQuery Query(std::vector<RegistryText> key, std::vector<RegistryText> values,
                    std::size_t limit) {
    RegistryQuery query;
    query.key = std::move(key);
    query.valueNames = std::move(values);
    query.limit = limit;
    return query;
}

// Where the value lives, as get_mapped_section_key finds it; nullopt when
// the section and key are not mapped (or system.reg cannot be read).
std::optional<RegistryString> FindMapping(int prefix, const RegistryText &section,
                                          const RegistryText &key) {
    std::vector<RegistryText> sectionKey = MappingKey();
    for (RegistryText &part : SplitKeyPath(section))
        sectionKey.push_back(std::move(part));
    std::vector<RegistryQuery> queries;
    queries.push_back(Query(MappingKey(), {section, u""}, kMaxKeyPath));
    queries.push_back(Query(std::move(sectionKey), {key, u""}, kMaxKeyPath));
    if (!QueryRegistryFile(prefix, "system.reg", queries) || !queries[0].keyExists)
        return std::nullopt;
    const RegistryQuery &file = queries[0];
    const RegistryQuery &subkey = queries[1];
    if (subkey.keyExists)
        return subkey.values[0] ? subkey.values[0] : subkey.values[1];
    if (file.values[0])
        return file.values[0];
    std::optional<RegistryString> path = file.values[1];
    if (path) {
        path->text += u'\\';
        path->text += section;
    }
    return path;
}

// open_mapped_key, then the value: the registry's answer for a mapped
// section and key. Not mapped after all when the file cannot be read.
MappedValue ReadMappedValue(int prefix, const RegistryString &path, const RegistryText &key,
                            std::size_t limit) {
    std::u16string_view text = path.text;
    std::size_t start = text.find_first_not_of(u"!#@");
    if (path.cut || path.text.size() > kMaxKeyPath || start == std::u16string_view::npos)
        return {true, std::nullopt};
    text.remove_prefix(start);
    const char *file = nullptr;
    std::vector<RegistryText> keyPath;
    if (text.starts_with(u"USR:")) {
        file = "user.reg";
    } else if (text.starts_with(u"SYS:")) {
        file = "system.reg";
        keyPath.emplace_back(u"Software");
    } else {
        return {true, std::nullopt}; // a form Wine does not handle opens no key
    }
    for (RegistryText &part : SplitKeyPath(text.substr(4)))
        keyPath.push_back(std::move(part));
    std::vector<RegistryQuery> queries;
    queries.push_back(Query(std::move(keyPath), {key}, limit));
    if (!QueryRegistryFile(prefix, file, queries))
        return {};
    const std::optional<RegistryString> &value = queries[0].values[0];
    if (!queries[0].keyExists || !value)
        return {true, std::nullopt};
    return {true, Narrow(value->text)};
}

} // namespace

MappedValue LookUpMappedValue(int prefix, std::string_view section, std::string_view key,
                              std::size_t limit) {
    RegistryText sectionName = Widen(section);
    RegistryText keyName = Widen(key);
    std::optional<RegistryString> path = FindMapping(prefix, sectionName, keyName);
    if (!path)
        return {};
    return ReadMappedValue(prefix, *path, keyName, limit);
}

} // namespace dosprep::posix
