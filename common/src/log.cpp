#include "common/log.hpp"

#include <atomic>

namespace common::log {
namespace {
std::atomic<Sink*> installed_sink{nullptr};
std::atomic<int> max_level_value{static_cast<int>(Level::Trace)};
std::atomic<Tap> installed_tap{nullptr};
std::atomic<int> tap_interest{0};

Tap active_tap() { return tap_interest.load(std::memory_order_relaxed) > 0 ? installed_tap.load() : nullptr; }
}  // namespace

bool install_sink(Sink* sink) {
    Sink* expected = nullptr;
    return installed_sink.compare_exchange_strong(expected, sink);
}

void set_max_level(Level level) { max_level_value.store(static_cast<int>(level)); }

void set_tap(Tap tap) { installed_tap.store(tap); }

void add_tap_interest(int delta) { tap_interest.fetch_add(delta); }

Level max_level() { return static_cast<Level>(max_level_value.load(std::memory_order_relaxed)); }

bool enabled(Level level, std::string_view origin) {
    if (static_cast<int>(level) > max_level_value.load(std::memory_order_relaxed)) return false;
    if (active_tap() != nullptr) return true;
    Sink* sink = installed_sink.load(std::memory_order_acquire);
    return sink != nullptr && sink->enabled(level, origin);
}

void write(Level level, std::string_view origin, const char* file, unsigned line,
           std::string_view message) {
    if (static_cast<int>(level) > max_level_value.load(std::memory_order_relaxed)) return;
    const Tap tap = active_tap();
    if (tap != nullptr) tap(level, origin, message);
    Sink* sink = installed_sink.load(std::memory_order_acquire);
    if (sink == nullptr) return;
    // The tap let through a record that the sink may not want.
    if (tap != nullptr && !sink->enabled(level, origin)) return;
    sink->write(Record{level, origin, file, line, message});
}

}  // namespace common::log
