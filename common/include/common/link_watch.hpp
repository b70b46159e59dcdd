// The bookkeeping of a bus link that survives the loss of its device: when
// the next reopen attempt is due, and the news its owner gets. The link
// decides what a loss is and what proves the device is back; this keeps one
// loss one event, however many calls fail during it.
//
// The bus libraries do not log: a link tells its owner through the handler,
// and the owner keeps whatever records it wants. Used by one thread at a time,
// like the link; the handler runs on that thread.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <utility>

#include "common/result.hpp"

namespace common {

// A lost device is reopened at most this often.
inline constexpr std::chrono::milliseconds kReopenInterval{500};

struct LinkEvent {
    enum class Kind { Lost, Back };
    Kind kind;
    std::string reason;  // Lost: the text of the failure that lost it; Back: empty
};
using LinkEventHandler = std::function<void(const LinkEvent&)>;

class LinkWatch {
public:
    explicit LinkWatch(LinkEventHandler on_event = {}) : on_event_(std::move(on_event)) {}

    // True when a reopen attempt may be made now; the attempt after it then
    // waits kReopenInterval.
    bool reopen_due();
    // The device failed for `reason`. The next reopen attempt may be made at
    // once. Reported unless this loss was reported already.
    void lost(const std::string& reason);
    // The device answered: a loss in progress ends, and is reported as over.
    void heard_from();

private:
    LinkEventHandler on_event_;
    // From the loss until the device answers again.
    bool lost_ = false;
    std::chrono::steady_clock::time_point next_attempt_{};
};

// The one way a link runs a call on its device: `open()` gives the open
// device (reopened first when that is due) or the error that stands for the
// lost one; a failed call goes to `watch_failure`, which decides whether the
// device is lost.
template <class Open, class Call, class WatchFailure>
auto forward_to_device(Open&& open, Call&& call, WatchFailure&& watch_failure) -> decltype(call(**open())) {
    auto device = open();
    if (!device) return Err{std::move(device).error()};
    auto result = call(**device);
    if (!result) watch_failure(result.error());
    return result;
}

}  // namespace common
