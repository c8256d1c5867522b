#include "platform/posix/short_names.h"

#include "platform/posix/ascii.h"

#include <algorithm>
#include <iterator>
#include <map>
#include <set>

namespace dosprep::posix {

namespace {

// Characters an 8.3 name may hold besides ASCII letters and digits.
constexpr std::string_view kShortPunctuation = "!#$%&'()-@^_`{}~";

bool IsShortChar(char c) {
    auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80 || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
        return true;
    return kShortPunctuation.find(c) != std::string_view::npos;
}

// Upper case, with everything an 8.3 name cannot hold dropped (blanks,
// dots, control characters, "*+,/:;<=>?[\]| and the double quote).
std::string AliasCharacters(std::string_view text) {
    std::string kept;
    std::ranges::copy_if(text, std::back_inserter(kept), IsShortChar);
    return UpperCased(kept);
}

struct AliasBasis {
    std::string base;
    std::string ext;
};

AliasBasis BasisOf(std::string_view name) {
    // Leading dots would make the whole name an extension (".profile").
    name.remove_prefix(std::min(name.find_first_not_of('.'), name.size()));
    std::size_t dot = name.rfind('.');
    AliasBasis basis{AliasCharacters(name.substr(0, dot)), ""};
    if (dot != std::string_view::npos)
        basis.ext = AliasCharacters(name.substr(dot + 1)).substr(0, 3);
    // Nothing usable left of the name: "_" keeps the alias a valid name.
    if (basis.base.empty())
        basis.base = "_";
    return basis;
}

// BASE~N[.EXT], BASE cut so that BASE~N has at most 8 characters.
std::string AliasFor(const AliasBasis &basis, unsigned long number) {
    std::string tail = "~" + std::to_string(number);
    std::size_t keep = tail.size() < 8 ? std::min<std::size_t>(6, 8 - tail.size()) : 0;
    std::string alias = basis.base.substr(0, keep) + tail;
    return basis.ext.empty() ? alias : alias + "." + basis.ext;
}

} // namespace

bool IsShortName(std::string_view name) {
    std::size_t dot = name.find('.');
    std::string_view base = name.substr(0, dot);
    std::string_view ext = dot == std::string_view::npos ? "" : name.substr(dot + 1);
    bool sizesFit = !base.empty() && base.size() <= 8 &&
                    (dot == std::string_view::npos || (!ext.empty() && ext.size() <= 3));
    return sizesFit && std::ranges::all_of(base, IsShortChar) &&
           std::ranges::all_of(ext, IsShortChar);
}

std::vector<std::string> ShortNames(const std::vector<std::string> &sorted) {
    std::vector<std::string> result(sorted.size());
    std::set<std::string> taken; // upper case, since 8.3 names ignore case
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        if (IsShortName(sorted[i])) {
            result[i] = sorted[i];
            taken.insert(UpperCased(sorted[i]));
        }
    }
    // Numbers below the last one given to the same basis are all taken
    // already: start there, so a crowded directory stays linear.
    std::map<std::string, unsigned long> nextNumber;
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        if (!result[i].empty())
            continue;
        AliasBasis basis = BasisOf(sorted[i]);
        unsigned long &number = nextNumber[basis.base + "." + basis.ext];
        number = std::max(number, 1UL);
        while (!taken.insert(AliasFor(basis, number)).second)
            ++number;
        result[i] = AliasFor(basis, number);
    }
    return result;
}

} // namespace dosprep::posix
