// WIN.INI on a Wine prefix: the sections and keys that Wine's
// IniFileMapping sends to the registry, looked up as Wine's kernel32 does
// (dlls/kernel32/profile.c: get_mapped_section_key, open_mapped_key).
// Private to src/platform/posix.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace dosprep::posix {

struct MappedValue {
    bool mapped = false;              // the registry answers; the file does not count
    std::optional<std::string> value; // its text; nullopt: the caller's default applies
};

// Looks [section] key= of WIN.INI up in the registry of drive C's Wine
// prefix, if drive C has one. Under
// HKLM\Software\Microsoft\Windows NT\CurrentVersion\IniFileMapping\win.ini
// the mapping is, in this order: a subkey named after the section, with a
// value named after the key or else its default value; else a value named
// after the section; else the key's default value with "\section" added.
// That text names the key holding the value: "USR:path" one of
// HKEY_CURRENT_USER (user.reg), "SYS:path" one of HKEY_LOCAL_MACHINE\Software
// (system.reg); Wine ignores the modifiers '!', '#' and '@' before it. A
// mapped value is taken from the registry only: a missing key or value, one
// that is not REG_SZ, or a text of another form gives the default. It comes
// as the Windows program sees it in the ANSI code page: ASCII as it is, any
// other UTF-16 unit as '?', at most `limit` + 1 bytes. Registry files that
// cannot be read, or are no registry files, map nothing. May throw
// std::bad_alloc.
MappedValue LookUpMappedValue(std::string_view section, std::string_view key, std::size_t limit);

} // namespace dosprep::posix
