// 8.3 names of the entries of a host directory, generated the way Windows
// does for long names, so that DOS-side text can name any entry. A FAT
// volume stores its own, which are read instead (fat_volume.h). Private
// to src/platform/posix.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace dosprep::posix {

// True when `name` is a valid 8.3 name as it stands: a base of 1-8 and an
// optional extension of 1-3 allowed characters (any ASCII case; bytes of
// 0x80 and above allowed), no blank, "." and ".." excluded.
bool IsShortName(std::string_view name);

// The short name of each entry of one directory. `sorted` is the whole
// listing in bytewise order; result[i] belongs to sorted[i]. A valid 8.3
// name stands for itself; any other gets BASE~N[.EXT], BASE its first
// characters upper-cased with invalid ones dropped, N the smallest number
// giving a name that no entry earlier in the listing got and that no
// valid 8.3 entry has (ASCII case ignored). May throw std::bad_alloc.
std::vector<std::string> ShortNames(const std::vector<std::string> &sorted);

} // namespace dosprep::posix
