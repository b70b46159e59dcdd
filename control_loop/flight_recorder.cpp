#include "control_loop/flight_recorder.hpp"

#include <time.h>

#include <algorithm>
#include <bit>
#include <type_traits>
#include <utility>
#include <variant>

#include "common/log.hpp"
#include "control_loop/log_origin.hpp"
#include "controller/quorvel_motor_controller.hpp"

namespace quorvel {
namespace {

std::int64_t wall_ns() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

double seconds(std::chrono::nanoseconds d) { return std::chrono::duration<double>(d).count(); }

FlightRecord make(RecordKind kind, std::uint8_t detail = 0) {
    FlightRecord record;
    record.kind = kind;
    record.detail = detail;
    record.stamp_ns = wall_ns();
    return record;
}

FlightRecord event(EventKind kind, std::uint8_t level = 0) {
    FlightRecord record = make(RecordKind::Event, static_cast<std::uint8_t>(kind));
    record.level = level;
    return record;
}

void append_joints(FlightRecord& record, MotionJoints joints) {
    bool first = true;
    for (std::size_t j = 0; j < kMotionJoints; ++j) {
        if (!joints[j]) continue;
        if (!first) record.append_text(", ");
        record.append_text(motion_joint_name(j));
        first = false;
    }
}

// Recorders that are recording, for log records of threads other than the
// loop threads. Never taken by a loop thread.
std::mutex recording_mutex;
std::vector<FlightRecorder*>& recording() {
    static auto* recorders = new std::vector<FlightRecorder*>();  // lives as long as the process
    return *recorders;
}

thread_local FlightRecorder* loop_thread_recorder = nullptr;

}  // namespace

FlightRecorder::~FlightRecorder() { stop(); }

void FlightRecorder::start(std::size_t capacity) {
    if (on()) return;
    if (ring_owner_ == nullptr) {
        ring_owner_ = std::make_unique<RecordRing>(std::bit_ceil(std::max<std::size_t>(capacity, 16)));
        ring_.store(ring_owner_.get(), std::memory_order_release);
    }
    ring_owner_->skip_all();
    {
        std::lock_guard lock(side_mutex_);
        side_.clear();
        side_dropped_ = 0;
    }
    dropped_at_start_ = ring_owner_->dropped();
    {
        std::lock_guard lock(recording_mutex);
        recording().push_back(this);
    }
    common::log::set_tap(&FlightRecorder::log_tap);
    common::log::add_tap_interest(1);
    on_.store(true, std::memory_order_release);
}

void FlightRecorder::stop() {
    if (!on()) return;
    on_.store(false, std::memory_order_release);
    common::log::add_tap_interest(-1);
    std::lock_guard lock(recording_mutex);
    std::erase(recording(), this);
}

std::size_t FlightRecorder::take(FlightRecord* out, std::size_t max) {
    std::size_t n = ring_owner_ != nullptr ? ring_owner_->pop(out, max) : 0;
    std::lock_guard lock(side_mutex_);
    while (n < max && !side_.empty()) {
        out[n++] = side_.front();
        side_.pop_front();
    }
    return n;
}

std::uint64_t FlightRecorder::dropped() {
    const std::uint64_t ring = ring_owner_ != nullptr ? ring_owner_->dropped() - dropped_at_start_ : 0;
    std::lock_guard lock(side_mutex_);
    return ring + side_dropped_;
}

FlightRecorder::LoopThreadMark::LoopThreadMark(FlightRecorder& recorder) { loop_thread_recorder = &recorder; }
FlightRecorder::LoopThreadMark::~LoopThreadMark() { loop_thread_recorder = nullptr; }

void FlightRecorder::tick_on_loop_thread(Clock::time_point due, Clock::time_point start, Clock::time_point read_end,
                                         Clock::time_point write_end, std::chrono::nanoseconds period,
                                         const common::Result<QuorvelTorsoPosition, MotorError>& reading,
                                         const MotionRunner& runner, const MotionSnapshot& motion) {
    const MotionJoints ended = active_ & ~motion.active;
    active_ = motion.active;
    const auto previous_start = std::exchange(last_start_, start);
    const std::uint64_t index = ticks_++;
    if (!on()) return;

    // Every record of a tick carries the reading's time (the clock's when
    // the read failed): one stamp a tick also compresses best.
    const std::int64_t stamp =
        reading ? static_cast<std::int64_t>(reading.value().timestamp * 1e9) : wall_ns();
    auto make_stamped = [stamp](RecordKind kind) {
        FlightRecord record;
        record.kind = kind;
        record.stamp_ns = stamp;
        return record;
    };
    // Late: started more than half a period after it was due.
    const auto lateness = std::max(start - due, Clock::duration::zero());
    FlightRecord tick = make_stamped(RecordKind::Tick);
    tick.detail = lateness * 2 > period ? 1 : 0;
    tick.values[0] = static_cast<double>(index);
    tick.values[1] = index == 0 ? 0.0 : seconds(start - previous_start);
    tick.values[2] = seconds(read_end - start);
    tick.values[3] = seconds(write_end - read_end);
    tick.values[4] = seconds(lateness);
    push(tick);

    FlightRecord read = make_stamped(RecordKind::Reading);
    if (reading) {
        const auto positions = motion_joint_positions(reading.value());
        std::copy(positions.begin(), positions.end(), read.values.begin());
        push(read);
    } else {
        read.detail = 1;
        FlightRecord failure = event(EventKind::ReadFailure, static_cast<std::uint8_t>(common::log::Level::Warn));
        failure.append_text("read failed:");
        for (const MotorAtFault& motor : reading.error().motors_at_fault()) {
            if (const auto j = motion_joint_index(motor.joint)) read.joints |= static_cast<std::uint16_t>(1U << *j);
            failure.append_text(" ");
            failure.append_text(motor.joint.empty() ? std::string_view("motor") : motor.joint);
            failure.append_text(motor.answered ? " answered badly;" : " did not answer;");
        }
        if (reading.error().motors_at_fault().empty()) failure.append_text(" the port or the interface failed");
        push(read);
        push(failure);
    }

    if (const MotionJoints sent = runner.sampled(); sent.any()) {
        FlightRecord set_points = make_stamped(RecordKind::SetPoint);
        set_points.joints = static_cast<std::uint16_t>(sent.to_ulong());
        for (std::size_t j = 0; j < kMotionJoints; ++j)
            if (sent[j]) set_points.values[j] = runner.sampled_position(j);
        push(set_points);
    }
    if (ended.any()) {
        FlightRecord finished = event(EventKind::Motion);
        finished.append_text("motion finished: ");
        append_joints(finished, ended);
        push(finished);
    }
}

void FlightRecorder::command_on_loop_thread(const MotorCmd& command) {
    if (!on()) return;
    FlightRecord goal = make(RecordKind::Command);
    auto set = [&](std::size_t first, const auto& values) {
        for (std::size_t i = 0; i < values.size(); ++i) {
            goal.values[first + i] = values[i];
            goal.joints |= static_cast<std::uint16_t>(1U << (first + i));
        }
    };
    auto motion_event = [&](std::string_view what, MotionJoints joints) {
        FlightRecord e = event(EventKind::Motion);
        e.append_text(what);
        append_joints(e, joints);
        if ((joints & active_).any()) {
            e.append_text(" (replaces ");
            append_joints(e, joints & active_);
            e.append_text(")");
        }
        push(e);
    };
    std::visit(
        [&](const auto& c) {
            using C = std::decay_t<decltype(c)>;
            if constexpr (std::is_same_v<C, motor_cmd::SetAllGoalPositions>) {
                set(0, c.positions.servos());
            } else if constexpr (std::is_same_v<C, motor_cmd::SetLeftArmPosition>) {
                set(0, c.position);
            } else if constexpr (std::is_same_v<C, motor_cmd::SetRightArmPosition>) {
                set(2, c.position);
            } else if constexpr (std::is_same_v<C, motor_cmd::SetArmsPosition>) {
                set(0, c.position);
            } else if constexpr (std::is_same_v<C, motor_cmd::SetNosePosition>) {
                set(4, c.position);
            } else if constexpr (std::is_same_v<C, motor_cmd::SetNeckPosition>) {
                std::array<double, 3> clamped{};
                for (std::size_t i = 0; i < 3; ++i)
                    clamped[i] = QuorvelMotorController::clamp_neck_position(i, c.position[i]);
                set(kFirstNeckJoint, clamped);
            } else if constexpr (std::is_same_v<C, motor_cmd::SetNeckJointPosition>) {
                if (c.joint < 3)
                    set(kFirstNeckJoint + c.joint,
                        std::array<double, 1>{QuorvelMotorController::clamp_neck_position(c.joint, c.position)});
            } else if constexpr (std::is_same_v<C, motor_cmd::MoveTo>) {
                motion_event("move_to: ", c.joints);
            } else if constexpr (std::is_same_v<C, motor_cmd::FollowTrajectory>) {
                MotionJoints joints;
                for (const std::size_t j : c.trajectory.joints)
                    if (j < kMotionJoints) joints.set(j);
                motion_event("follow_trajectory: ", joints);
            } else if constexpr (std::is_same_v<C, motor_cmd::StopMotion>) {
                motion_event("stop_motion: ", active_);
            }
        },
        command);
    if (goal.joints != 0) push(goal);
}

namespace {

// A text longer than one record goes in parts, each but the last flagged.
constexpr std::size_t kMaxTextParts = 4;

template <class Push>
void push_text(const FlightRecord& head, std::string_view text, Push&& push) {
    std::size_t parts = 0;
    do {
        FlightRecord part = head;
        const std::size_t n = std::min(text.size(), FlightRecord::kTextBytes);
        part.append_text(text.substr(0, n));
        text.remove_prefix(n);
        if (!text.empty() && ++parts < kMaxTextParts) part.reserved[1] |= FlightRecord::kMoreText;
        push(part);
    } while (!text.empty() && parts < kMaxTextParts);
}

}  // namespace

void FlightRecorder::push_side(const FlightRecord& head, std::string_view text) {
    std::lock_guard lock(side_mutex_);
    push_text(head, text, [&](FlightRecord part) {
        if (side_.size() >= kSideCapacity) {
            side_.pop_front();  // the oldest goes
            ++side_dropped_;
        }
        part.reserved[1] |= FlightRecord::kFromCaller;
        side_.push_back(part);
    });
}

void FlightRecorder::note_from_caller(EventKind kind, std::uint8_t level, std::string_view text) {
    if (on()) push_side(event(kind, level), text);
}

void FlightRecorder::note_status(std::string_view text) {
    if (on()) push_side(make(RecordKind::Status), text);
}

void FlightRecorder::log_tap(common::log::Level level, std::string_view origin, std::string_view message) {
    FlightRecord e = event(EventKind::Log, static_cast<std::uint8_t>(level));
    e.reserved[0] = origin == kControllerLogOrigin ? 1 : origin == kControlLoopLogOrigin ? 2 : 0;
    if (FlightRecorder* own = loop_thread_recorder) {
        if (own->on()) push_text(e, message, [own](const FlightRecord& part) { own->push(part); });
        return;
    }
    std::lock_guard lock(recording_mutex);
    for (FlightRecorder* recorder : recording()) recorder->push_side(e, message);
}

}  // namespace quorvel
