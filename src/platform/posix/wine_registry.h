// Wine's text registry files (system.reg for HKEY_LOCAL_MACHINE, user.reg
// for HKEY_CURRENT_USER), read the way wineserver loads them, for a few
// values only. Private to src/platform/posix.
//
// The format: a "WINE REGISTRY Version 2" line; "[key\\path] timestamp"
// lines opening a key; then its values, "name"=data or @=data for the
// default value, where data is "string", str:"string", str(2):"..." and
// str(7):"..." (REG_EXPAND_SZ, REG_MULTI_SZ), dword:hex, hex:bytes or
// hex(type):bytes, bytes running on over lines that end in a backslash.
// Lines starting with ';' are comments and '#' lines are options.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace dosprep::posix {

// Registry names and data are UTF-16.
using RegistryText = std::u16string;

// A key path split at its backslashes, empty parts dropped, as Wine splits
// the paths it opens: "a\b" and "\a\\b\" are both {a, b}.
std::vector<RegistryText> SplitKeyPath(std::u16string_view path);

// One value asked of a registry file, and the answers. Names match
// whatever the ASCII case of their letters, as Wine folds them.
struct RegistryLookup {
    RegistryLookup(std::vector<RegistryText> keyPath, RegistryText name)
        : key(std::move(keyPath)), valueName(std::move(name)) {}

    std::vector<RegistryText> key; // its components; empty: the file's root key
    RegistryText valueName;        // "" names the default value

    // The key exists: it, or a key below it, is in the file.
    bool keyExists = false;
    // The value's data when the key has it as REG_SZ, up to its first NUL
    // as RegGetValueW gives it; nullopt when it is missing or of another
    // type, or its line is malformed.
    std::optional<RegistryText> value;
};

// Reads a registry file from `fd` to its end, a line at a time as
// wineserver's loader reads it (load_keys), answering every lookup with at
// most `limit` + 1 code units of its value (so that a longer one shows): a
// CR before the LF is dropped, a NUL byte ends the line's text, a later
// definition of a value replaces an earlier one, a malformed line is
// skipped (after a malformed key line, values belong to no key). The file
// ends at an "#arch=" line before the first key naming neither win32 nor
// win64, and at a line longer than LineReader::kMaxLine, where
// wineserver's line buffer cannot grow. Memory stays within one line and
// the values kept. False when the file cannot be read or does not begin
// with Wine's header line (it is no registry file).
bool ReadRegistryFile(int fd, std::size_t limit, std::vector<RegistryLookup> &lookups);

} // namespace dosprep::posix
