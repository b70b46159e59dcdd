// Collects the log records of the whole test binary (the sink can be
// installed only once per process).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/log.hpp"

namespace test_support {

struct CapturedRecord {
    common::log::Level level;
    std::string origin;
    std::string message;
};

// Installs the capturing sink on first use.
std::vector<CapturedRecord> captured_records();
void clear_captured_records();
// Records whose message begins with `prefix`.
std::vector<CapturedRecord> records_starting_with(std::string_view prefix);

}  // namespace test_support
