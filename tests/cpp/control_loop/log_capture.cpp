#include "log_capture.hpp"

#include <mutex>

namespace test_support {
namespace {

class CaptureSink final : public common::log::Sink {
public:
    bool enabled(common::log::Level, std::string_view) const override { return true; }
    void write(const common::log::Record& record) noexcept override {
        std::lock_guard lock(mutex);
        records.push_back({record.level, std::string(record.origin), std::string(record.message)});
    }
    std::mutex mutex;
    std::vector<CapturedRecord> records;
};

CaptureSink& sink() {
    static CaptureSink* installed = [] {
        static CaptureSink capture;
        common::log::install_sink(&capture);
        return &capture;
    }();
    return *installed;
}

// Installed before any test runs, so no record is missed.
[[maybe_unused]] const bool installed_at_start = (sink(), true);

}  // namespace

std::vector<CapturedRecord> captured_records() {
    auto& s = sink();
    std::lock_guard lock(s.mutex);
    return s.records;
}

void clear_captured_records() {
    auto& s = sink();
    std::lock_guard lock(s.mutex);
    s.records.clear();
}

std::vector<CapturedRecord> records_starting_with(std::string_view prefix) {
    std::vector<CapturedRecord> found;
    for (auto& record : captured_records())
        if (std::string_view(record.message).substr(0, prefix.size()) == prefix) found.push_back(record);
    return found;
}

}  // namespace test_support
