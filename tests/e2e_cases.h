// The end-to-end cases: whole drive C trees, how the program is run on
// them, and what it must write. Shared by the native and the Windows runs.
#pragma once

#include "test_util.h"

#include <optional>
#include <string>
#include <vector>

namespace e2e {

struct EndToEndCase {
    std::string name;
    testutil::Tree before;
    testutil::Tree changed = {};            // what the run must write; every other entry stays
    std::optional<std::string> windir = {}; // DOSPREP_WINDIR; nullopt: the default
    std::vector<std::string> args = {};     // the Windows program's, which it does not read
    // The native program's own arguments, its status and what it prints on
    // stdout and stderr. "{drive}" stands for the tree's directory; when an
    // argument names it, DOSPREP_DRIVE_C names a copy of the tree, which
    // must stay as it was. Output ending in "..." need only begin so.
    std::vector<std::string> nativeArgs = {};
    int status = 0;
    std::string printed = {};
    std::string errors = {};
};

// The line by which the native program names an edit that it did not
// make: "dosprep: DOS (HOST): reason; left as it was", the host path
// below "{drive}".
std::string NotMade(const std::string &dosPath, const std::string &hostPath,
                    const std::string &reason);

std::vector<EndToEndCase> Cases();

// `tree` with the entries of `more` added or replaced.
testutil::Tree With(testutil::Tree tree, const testutil::Tree &more);

} // namespace e2e
