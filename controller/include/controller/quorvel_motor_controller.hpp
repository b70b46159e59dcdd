// QuorvelMotorController: the one object that owns the torso's motor buses
// (the optional serial servo bus and the CAN bus of the neck) and performs
// every operation on its joints.
//
// Not safe for concurrent use: it holds no lock of its own. Give it to one
// thread or guard it with a mutex; every operation needs exclusive use for
// its whole duration. No operation retries.
//
// A lost device (a serial adapter reset, a CAN socket whose bus went away)
// fails the calls that need it until it is back: its bus link reopens the
// same path or interface at most every 500 ms, on the first call after that,
// and the controller logs one warning per loss and one info record per return.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "candrive/damiao/driver.hpp"
#include "common/result.hpp"
#include "common/stop_source.hpp"
#include "controller/controller_error.hpp"
#include "controller/motor_status.hpp"
#include "controller/motor_tables.hpp"
#include "smartbus/error.hpp"

namespace quorvel {

// Time budgets of the serial bus. The defaults are what the servos need at
// 1 Mbaud: a status packet is due well within 10 ms, and a raw packet's reply
// is whatever arrives within 10 ms. A program (or a test) that values an
// answer over a prompt time-out may widen them: on a busy host a
// pseudo-terminal or USB adapter can hold a reply for several milliseconds.
struct SerialTimings {
    std::chrono::milliseconds reply_timeout{10};
    std::chrono::milliseconds raw_reply_window{10};
};

// How read_all_positions reads the seven present positions. Behind a USB
// adapter every serial round trip also waits for the adapter's latency timer
// (1 ms at best, 16 ms by default), so the number of round trips, not the
// bytes, sets the time a reading takes.
enum class PositionRead {
    ArmsThenNose,  // one sync read of the arms (SM40BL), then one of the nose (STS3025BL)
    OneSyncRead,   // one sync read of ids 1-7: one round trip; any failure fails the whole read
};

// A neck joint's set point of a generated motion.
struct NeckSetPoint {
    double position;  // rad
    double velocity;  // rad/s, the MIT command's velocity feed-forward
};

class QuorvelMotorController {
public:
    // Opens the serial port (absent: a neck-only controller) and then the CAN
    // interface (a "unix:<path>" name connects to a virtual bus). Sends
    // nothing on either bus. A serial failure is the port's error unchanged
    // (nothing else is opened); a CAN failure closes the serial port again
    // and reads "failed to open CAN bus '<name>': <CAN error>".
    static ControllerResult<QuorvelMotorController> create(const std::optional<std::string>& serialport,
                                                           const std::string& can_bus,
                                                           SerialTimings timings = {},
                                                           PositionRead position_read = PositionRead::ArmsThenNose);

    QuorvelMotorController(QuorvelMotorController&&) noexcept;
    QuorvelMotorController& operator=(QuorvelMotorController&&) noexcept;
    ~QuorvelMotorController();  // closes the serial port and the CAN socket

    // ---- Start-up operations ------------------------------------------------

    // Joint name -> servo id for the seven servo joints.
    static std::unordered_map<std::string, std::uint8_t> get_motor_name_id();
    bool has_serial_port() const;
    // Servo ids (1 to 7, in order) that did not answer a ping; empty on a
    // neck-only controller. Never fails. Stops pinging once `stop` asks (the
    // list is then incomplete).
    std::vector<std::uint8_t> check_missing_ids(common::StopSource* stop = nullptr);
    // Names of the neck joints whose motor did not answer a feedback request.
    std::vector<std::string> check_missing_neck_motors();
    // Present voltage bytes (tenths of a volt) in servo joint order.
    ControllerResult<std::array<std::uint8_t, 7>> read_all_voltages();
    // Reboots the seven servos, then pings them every 100 ms until all answer
    // or `timeout` has passed. Succeeds at once on a neck-only controller.
    // Between pings and in its pauses it looks at `stop` ("reboot: interrupted").
    ControllerResult<void> reboot(std::chrono::nanoseconds timeout, common::StopSource* stop = nullptr);

    // ---- Checks made before any bus traffic -----------------------------------
    // Each operation below makes its check first, and the control loop makes
    // the same check before it queues a command, so a refused command is
    // refused at the call, with nothing sent. A NaN or infinite position is an
    // invalid argument: "<operation>(<joint>): position must be finite, got <value>".

    static ControllerResult<void> check_all_goal_positions(const std::array<double, 7>& positions);
    static ControllerResult<void> check_arms_position(const std::array<double, 4>& positions);
    static ControllerResult<void> check_left_arm_position(const std::array<double, 2>& positions);
    static ControllerResult<void> check_right_arm_position(const std::array<double, 2>& positions);
    static ControllerResult<void> check_nose_position(const std::array<double, 3>& positions);
    static ControllerResult<void> check_neck_position(const std::array<double, 3>& positions);
    // "set_<joint>_position: position must be finite, got <value>"; index < 3.
    static ControllerResult<void> check_single_neck_joint(std::size_t index, double position);
    // The refusal that one of the torque writes of set_torque_on_ids would
    // meet (too many ids for one packet), as an ordinary error; both writes
    // are checked before the first is sent.
    static ControllerResult<void> check_torque_on_ids(std::span<const std::uint8_t> ids);

    // ---- Arm and nose (serial bus) -----------------------------------------
    // Each fails with kNeckOnlyMessage on a neck-only controller. Operations
    // on both arms and nose do the arm transaction first and stop on its error.

    // Values, order, errors and texts are the same in either PositionRead.
    ControllerResult<std::array<double, 7>> read_all_positions();
    // True only if all seven servos report torque on.
    ControllerResult<bool> is_torque_enabled();
    ControllerResult<void> enable_torque();
    ControllerResult<void> disable_torque();
    ControllerResult<void> enable_arms(bool enable);
    ControllerResult<void> enable_nose(bool enable);
    // Ids 1-4 go to one arm write, 5-7 to one nose write (order kept); other
    // ids are ignored. Succeeds without a port when no torso id is listed.
    ControllerResult<void> set_torque_on_ids(std::span<const std::uint8_t> ids, bool enable);
    ControllerResult<void> set_all_goal_positions(const std::array<double, 7>& positions);
    ControllerResult<void> set_arms_position(const std::array<double, 4>& positions);
    ControllerResult<void> set_left_arm_position(const std::array<double, 2>& positions);
    ControllerResult<void> set_right_arm_position(const std::array<double, 2>& positions);
    ControllerResult<void> set_nose_position(const std::array<double, 3>& positions);
    // One sync write of goal positions to the servos `ids` (one per id, of
    // one group: arm ids or nose ids), as a generated motion streams them. A
    // NaN or infinite position is refused before anything is sent, as are
    // lengths that differ ("write_goal_positions: ...").
    ControllerResult<void> write_goal_positions(std::span<const std::uint8_t> ids, std::span<const double> positions);
    // Waits, as before any packet, until the serial line is fit to send: at
    // once on healthy traffic, after a quiet line once a transaction failed.
    // Sends nothing. Neck-only: the neck-only error.
    ControllerResult<void> settle_serial_line();
    // Writes the bytes as they are and returns what arrives within about
    // 10 ms (possibly nothing). Neck-only: an Unsupported I/O error.
    common::Result<std::vector<std::uint8_t>, smartbus::IoError> write_raw_packet(std::span<const std::uint8_t> data);
    // Makes the present arm pose the new zero by rewriting the four SM40BL
    // offsets in EEPROM, then verifies that the arms read within `verify_tol`
    // of 0. Leaves the arms torque-off. Returns the four verification readings.
    // An infinite `verify_tol` is an invalid argument (nothing is sent).
    ControllerResult<std::array<double, 4>> set_arm_home(double verify_tol);
    // One protocol-handler read of `length` bytes at `address` of servo `id`.
    ControllerResult<std::vector<std::uint8_t>> read_raw_bytes(std::uint8_t id, std::uint8_t address,
                                                               std::uint8_t length);
    // One protocol-handler write of `data` at `address` of servo `id`.
    ControllerResult<void> write_raw_bytes(std::uint8_t id, std::uint8_t address,
                                           std::span<const std::uint8_t> data);

    // ---- Neck (CAN bus) -------------------------------------------------------
    // Every neck setter refuses a non-finite position (ControllerError with
    // is_invalid_argument()) before anything is sent.

    // `position` limited to the joint's safety bounds; a clamp logs a warn
    // record. Precondition: index < 3 (other indexes return `position`).
    static double clamp_neck_position(std::size_t index, double position);
    // Enable: MIT mode then enable, per joint; disable: disable per joint.
    // Stops at the first failing joint; the flag changes only on full success.
    ControllerResult<void> enable_neck(bool enable);
    // Stores the gains for the joint's next command; sends nothing. A NaN or
    // infinite gain is an invalid argument.
    ControllerResult<void> set_neck_gains(std::size_t index, float kp, float kd);
    // Commands the three positions as given (no clamping), yaw first; errors
    // read "<label>(<joint>): <driver error>". Returns the observed positions.
    ControllerResult<std::array<double, 3>> command_neck_mit(const std::array<double, 3>& positions,
                                                             std::string_view label);
    // Clamps, then command_neck_mit with the label "set_neck_position".
    ControllerResult<std::array<double, 3>> set_neck_position(const std::array<double, 3>& positions);
    // Clamps and commands one joint; returns its observed position.
    ControllerResult<double> set_single_neck_joint(std::size_t index, double position);
    // The three feedback requests go out back to back and the answers are
    // collected by motor; an error names the first failing joint in joint
    // order, "read_neck_positions(<joint>): <driver error>".
    ControllerResult<std::array<double, 3>> read_neck_positions();
    // read_neck_positions in two halves, so that other bus work (the servo
    // reads of a periodic tick) can run while the answers travel: start sends
    // the three requests and returns at once; finish collects the answers.
    // Nothing may use the CAN bus in between.
    candrive::damiao::PendingFeedback start_neck_feedback();
    ControllerResult<std::array<double, 3>> finish_neck_feedback(candrive::damiao::PendingFeedback&& pending);
    // start_neck_feedback, except that each joint with a set point gets its
    // MIT command instead of the feedback request: the set point's position
    // and velocity feed-forward with the joint's present gains. The reply to
    // that command is the joint's reading, collected by finish_neck_feedback:
    // one exchange per motor. A joint whose set point is not finite is only
    // asked for feedback. The record of the last commanded position follows.
    candrive::damiao::PendingFeedback start_neck_exchange(const std::array<std::optional<NeckSetPoint>, 3>& set_points);
    // Ramps every joint at `speed` rad/s to the multiple of 2 pi nearest to
    // where it is, enabling the neck first if needed; returns the observed
    // positions once all are within `tolerance` of their goals. An infinite
    // speed or tolerance, a NaN or infinite gain, a speed beyond the neck
    // motors' velocity range and one too slow to travel half a turn within
    // an hour are invalid arguments.
    // Looks at `stop` before enabling and on every cycle; stopped, it returns
    // "neck_home: interrupted" and leaves the neck enabled at its last command.
    ControllerResult<std::array<double, 3>> neck_home(double speed, double tolerance, std::optional<float> kp,
                                                      std::optional<float> kd, common::StopSource* stop = nullptr);
    static std::array<std::pair<double, double>, 3> neck_position_limits();
    // Last successfully commanded neck enable state (motors have no readable one).
    bool is_neck_torque_enabled() const;

    // ---- Health readings (read-only: nothing moves, no register is written) --

    // The seven servos' status registers, in servo joint order: one sync read
    // of the arm group, then one of the nose group. Neck-only: kNeckOnlyMessage.
    ControllerResult<std::array<ServoStatus, 7>> read_servo_status();
    // One feedback request per neck motor, yaw first; errors read
    // "read_neck_status(<joint>): <driver error>".
    ControllerResult<std::array<NeckStatus, 3>> read_neck_status();
    // One servo of the torso (id 1 to 7) on its own: a read of its model
    // number, then a read of its status registers.
    ControllerResult<ServoProbe> probe_servo(std::uint8_t id);
    // One neck motor (index 0 to 2) on its own: a feedback request, then a
    // read of its CTRL_MODE register.
    ControllerResult<NeckProbe> probe_neck_motor(std::size_t index);

    // ---- Devices ---------------------------------------------------------------

    // The devices it was opened with: the serial path (empty when neck-only)
    // and the CAN interface name, for messages that say where a motor hangs.
    std::string_view serial_device() const;
    std::string_view can_interface() const;

private:
    struct State;
    explicit QuorvelMotorController(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace quorvel
