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
    testutil::Tree changed;            // what the run must write; every other entry stays
    std::optional<std::string> windir; // DOSPREP_WINDIR; nullopt: the default
    std::vector<std::string> args;
};

std::vector<EndToEndCase> Cases();

// `tree` with the entries of `more` added or replaced.
testutil::Tree With(testutil::Tree tree, const testutil::Tree &more);

} // namespace e2e
