// The process-wide log sink. The core logs through it; whoever hosts the core
// (the Python bindings, a C++ program, a test) installs the sink that
// delivers the records. Without a sink every record is dropped.
#pragma once

#include <string>
#include <string_view>

namespace common::log {

// Ordered from least to most verbose; Off disables everything.
enum class Level : int { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

struct Record {
    Level level;
    std::string_view origin;  // module path with "::" separators
    const char* file;         // source file of the logging statement, may be null
    unsigned line;            // 0 if unknown
    std::string_view message;
};

class Sink {
public:
    virtual ~Sink() = default;
    // A cheap pre-check: false when a record at `level` from `origin` would
    // surely be dropped, so the caller need not build its message.
    virtual bool enabled(Level level, std::string_view origin) const = 0;
    // Delivers one record; may be called from any thread, never fails.
    // Not noexcept: a host may end the calling thread while it delivers
    // (an interpreter at exit ends a thread that wants its lock back by a
    // forced unwinding), and that unwinding must pass through the caller.
    virtual void write(const Record& record) = 0;
};

// Installs the sink for the rest of the process (it must outlive every
// logging thread). Returns false, changing nothing, if one is installed.
bool install_sink(Sink* sink);

// Records more verbose than this are discarded at the logging statement.
void set_max_level(Level level);
Level max_level();

// A second receiver of every record up to the maximum level, on the
// logging thread, while anyone is interested (a recording in progress):
// it sees records that the sink would drop. Must not block.
using Tap = void (*)(Level level, std::string_view origin, std::string_view message);
void set_tap(Tap tap);
void add_tap_interest(int delta);

bool enabled(Level level, std::string_view origin);
void write(Level level, std::string_view origin, const char* file, unsigned line,
           std::string_view message);

}  // namespace common::log

// Logs `message_expr` (evaluated only when the record would be delivered).
#define QMC_LOG(level, origin, message_expr)                                          \
    do {                                                                              \
        if (::common::log::enabled((level), (origin)))                                \
            ::common::log::write((level), (origin), __FILE__, __LINE__, (message_expr)); \
    } while (0)
