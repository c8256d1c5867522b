#include "platform/posix/short_names.h"

#include "platform/posix/ascii.h"

#include <map>
#include <set>

namespace dosprep::posix {

namespace {

// Characters an 8.3 name may hold besides ASCII letters and digits.
constexpr std::string_view kShortPunctuation = "!#$%&'()-@^_`{}~";

bool IsShortChar(unsigned char c) {
    if (c >= 0x80)
        return true;
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
        return true;
    return kShortPunctuation.find(static_cast<char>(c)) != std::string_view::npos;
}

// Upper case, with everything an 8.3 name cannot hold dropped (blanks,
// dots, control characters, "*+,/:;<=>?[\]| and the double quote).
std::string AliasCharacters(std::string_view text) {
    std::string kept;
    for (char c : text) {
        if (IsShortChar(static_cast<unsigned char>(c)))
            kept += c;
    }
    return UpperCased(kept);
}

struct AliasBasis {
    std::string base;
    std::string ext;
};

AliasBasis BasisOf(std::string_view name) {
    // Leading dots would make the whole name an extension (".profile").
    std::size_t start = name.find_first_not_of('.');
    name.remove_prefix(start == std::string_view::npos ? name.size() : start);
    AliasBasis basis;
    std::size_t dot = name.rfind('.');
    basis.base = AliasCharacters(name.substr(0, dot));
    if (dot != std::string_view::npos)
        basis.ext = AliasCharacters(name.substr(dot + 1)).substr(0, 3);
    // Nothing usable left of the name: "_" keeps the alias a valid name.
    if (basis.base.empty())
        basis.base = "_";
    return basis;
}

std::string AliasFor(const AliasBasis &basis, unsigned long number) {
    std::string tail = "~" + std::to_string(number);
    std::size_t keep = tail.size() >= 8 ? 0 : 8 - tail.size();
    std::string alias = basis.base.substr(0, keep < 6 ? keep : 6) + tail;
    if (!basis.ext.empty())
        alias += "." + basis.ext;
    return alias;
}

} // namespace

bool IsShortName(std::string_view name) {
    std::size_t dot = name.find('.');
    std::string_view base = name.substr(0, dot);
    std::string_view ext;
    if (dot != std::string_view::npos) {
        ext = name.substr(dot + 1);
        if (ext.empty() || ext.size() > 3)
            return false;
    }
    if (base.empty() || base.size() > 8)
        return false;
    for (char c : base) {
        if (!IsShortChar(static_cast<unsigned char>(c)))
            return false;
    }
    for (char c : ext) {
        if (!IsShortChar(static_cast<unsigned char>(c)))
            return false;
    }
    return true;
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
        for (number = number == 0 ? 1 : number;; ++number) {
            std::string alias = AliasFor(basis, number);
            if (taken.insert(alias).second) {
                result[i] = std::move(alias);
                break;
            }
        }
    }
    return result;
}

} // namespace dosprep::posix
