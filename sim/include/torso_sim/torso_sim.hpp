// A virtual Quorvel torso: seven Feetech servos behind a pseudo-terminal and
// three Damiao neck motors on a virtual CAN bus, answering from their own
// native threads.
//
// The simulator is written from the hardware's side of the protocols and
// shares no code with the controller library, so that a coding mistake cannot
// cancel out on both ends of a test.
//
//   auto sim = torso_sim::TorsoSim::start();
//   open sim->serial_path() as the servo port, sim->can_bus() as the CAN bus,
//   inject faults and inspect the traffic with the methods below.
//
// Every method is thread-safe and may be called while the bus threads run.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "torso_sim/wire_timing.hpp"

namespace torso_sim {

// One packet (or one chunk of bytes that did not parse as a packet) that the
// host sent on the serial line. `time` is CLOCK_MONOTONIC in seconds (the same
// clock as Python's time.monotonic()).
struct SerialLogEntry {
    double time;
    std::vector<std::uint8_t> bytes;
    bool parsed;
};

// One CAN frame that a connected node sent on the virtual bus.
struct CanLogEntry {
    double time;
    std::uint32_t id;    // 11 or 29 bit value, flags stripped
    bool extended;
    bool fd;
    std::vector<std::uint8_t> data;
};

// One goal position that reached a servo: a write or sync write whose range
// covers the goal register (42-43), even in part. `time` is when the servo
// took it, on the log's clock (the time stamp of the packet's log entry).
struct ServoGoalEntry {
    double time;
    double goal;          // rad, as servo_goal() reports it
    std::int16_t steps;   // the goal register as the servo reads it (2048 = 0 rad)
};

// One MIT command a neck motor acted on (enabled and in MIT mode), decoded by
// the motor. `time` is when the motor took it, on the log's clock (with wire
// time: when the frame's last bit crossed the bus, a little after its log entry).
struct NeckCommandEntry {
    double time;
    double position;   // rad
    double velocity;   // rad/s, the velocity set point
    double kp, kd;
    double torque;     // N m, the feed-forward torque
};

// What a neck motor is doing, as seen from inside the motor.
struct NeckMotorState {
    bool enabled;
    std::uint32_t ctrl_mode;
    double position;             // rad, multi-turn
    double velocity;             // rad/s
    double commanded_position;   // last position set-point received (rad)
    float kp, kd;                // gains of the last MIT frame
};

// Settings fixed at start; everything else is changed at run time.
struct Options {
    std::uint32_t neck_ctrl_mode = 1;                  // CTRL_MODE the motors power up in
    std::array<double, 3> neck_positions{0.0, 0.0, 0.0};  // rad, yaw/pitch/roll
    std::chrono::milliseconds reboot_silence{20};
    // Wire time on both buses; off by default (every answer is instant).
    WireTiming wire{};
    // When set, stable names for a person or a script to use across runs:
    // `<dir>/serial` links to the pseudo-terminal and `<dir>/can` to the bus
    // socket (the directory is created if missing; a link left by an earlier
    // run is replaced). They are removed on stop unless another simulator has
    // replaced them meanwhile.
    std::string link_directory;
};

class TorsoSim {
public:
    // Creates the pseudo-terminal and the bus socket in a fresh temporary
    // directory and starts the threads. Returns null if the system refuses
    // (the reason goes to `error` when given).
    static std::unique_ptr<TorsoSim> start();
    static std::unique_ptr<TorsoSim> start(const Options& options, std::string* error = nullptr);

    // Stops the threads, closes the pseudo-terminal and the bus, removes the
    // temporary directory.
    ~TorsoSim();
    TorsoSim(const TorsoSim&) = delete;
    TorsoSim& operator=(const TorsoSim&) = delete;

    std::string serial_path() const;   // slave side of the pty, e.g. /dev/pts/5
    std::string can_bus() const;       // "unix:<tempdir>/can.sock"
    // With Options::link_directory: "<dir>/serial" and "unix:<dir>/can"
    // (absolute); empty without it.
    std::string serial_link() const;
    std::string can_bus_link() const;

    // ---- servos, ids 1..7 (1-4 SM40BL, 5-7 STS3025BL); other ids are ignored
    void set_servo_silent(std::uint8_t id, bool silent);
    // The reported present position becomes `radians` (wrapped into one turn
    // as the servo would report it); the goal follows, so nothing moves.
    void set_servo_position(std::uint8_t id, double radians);
    double servo_position(std::uint8_t id) const;   // present position as reported, rad
    double servo_goal(std::uint8_t id) const;       // goal register, rad
    bool servo_torque(std::uint8_t id) const;
    void set_servo_torque(std::uint8_t id, bool on);
    double servo_offset(std::uint8_t id) const;     // SM40BL offset register in rad (0 for nose)
    // Rewrites the offset as the servo itself would (ignores the EEPROM lock):
    // the shaft stays where it is and the reported position shifts.
    void set_servo_offset(std::uint8_t id, double radians);
    // Register table access. Reading gives what the bus would read. Writing
    // acts like a bus write except that the EEPROM lock is ignored; the
    // computed registers (present position 56-57, voltage 62) cannot be set.
    std::uint8_t servo_register(std::uint8_t id, std::uint8_t address) const;
    void set_servo_register(std::uint8_t id, std::uint8_t address, std::uint8_t value);
    void set_voltage(std::uint8_t tenths_of_volt);   // all servos, fixed (default 120)
    // Voltage moves linearly from `from` to `to` over `over`, starting now,
    // then stays at `to`.
    void set_voltage_ramp(std::uint8_t from, std::uint8_t to, std::chrono::milliseconds over);
    void set_servo_speed(double radians_per_second);   // 0 = goal reached at once (default)
    void set_reboot_silence(std::chrono::milliseconds silence);   // default 20 ms
    std::uint32_t servo_reboot_count(std::uint8_t id) const;
    // Faults on the replies of one servo id.
    void set_corrupt_checksum(std::uint8_t id, bool corrupt);
    void set_reply_id_override(std::uint8_t id, std::optional<std::uint8_t> reply_as);
    void set_garbage_before_reply(std::uint8_t id, std::size_t n_bytes);   // never 0xFF bytes
    // Delay between receiving a packet and the first byte of its reply(ies).
    void set_reply_delay(std::chrono::microseconds delay);
    // One servo answers this much later still (a sync read's later replies wait for it).
    void set_servo_reply_delay(std::uint8_t id, std::chrono::microseconds delay);

    // ---- neck, index 0..2 = CAN ids 1..3 (yaw, pitch, roll); other indexes are ignored
    void set_neck_silent(int index, bool silent);
    void set_neck_position(int index, double radians);   // the motor stays there (velocity 0)
    double neck_position(int index) const;
    NeckMotorState neck_state(int index) const;
    void set_neck_ctrl_mode(int index, std::uint32_t mode);
    // Raw 32-bit contents of a motor register (a float's bits for float rows);
    // 0 for ids that are not in the table.
    std::uint32_t neck_register(int index, std::uint8_t reg) const;
    // false (default): position = commanded position at once;
    // true: MIT frames drive a spring-damper with the frame's kp and kd.
    void set_neck_dynamics(bool spring_damper);
    void set_mode_write_sticks(bool sticks);   // default true; false: CTRL_MODE writes are echoed but ignored
    void set_neck_reply_delay(std::chrono::microseconds delay);
    // One motor answers this much later still.
    void set_neck_motor_reply_delay(int index, std::chrono::microseconds delay);
    // Requests to motor `index` are answered by motor `by` (its identity and
    // state) instead; nullopt: by itself again.
    void set_neck_answered_by(int index, std::optional<int> by);
    // Register replies of motor `index` name register `reg` instead of the one asked.
    void set_neck_register_reply_as(int index, std::optional<std::uint8_t> reg);

    // ---- another program on the CAN bus
    // Puts one data frame on the bus as another node would: the motors and
    // every connected node receive it. False if the bus cannot be reached.
    bool send_can_frame(std::uint32_t id, const std::vector<std::uint8_t>& data, bool extended = false,
                        bool fd = false);

    // ---- health: temperatures, supplies and fault codes ------------------------
    // Servo temperature in deg C (default 32). At or above the servo's limit
    // (register 13, 70 deg C) its status register and the error byte of its
    // replies carry the overheat bit. A supply below register 15 (9.5 V) or
    // above register 14 (14.0 V) sets the voltage bit.
    void set_servo_temperature(std::uint8_t id, int celsius);
    // Extra status bits the servo reports (bit 0 voltage, 1 angle, 2 overheat,
    // 3 overcurrent, 5 overload), on top of those it derives itself.
    void set_servo_fault_bits(std::uint8_t id, std::uint8_t bits);
    // Neck motor temperatures in deg C (defaults 30 and 32). At or above its
    // OT_Value register (80) the motor reports MOS (0xB) or rotor (0xC)
    // over-temperature and switches itself off.
    void set_neck_temperatures(int index, int mos, int rotor);
    // Supply of all neck motors in V (default 24). Below UV_Value (10) the
    // motors report under-voltage (0x9), above OV_Value (60) over-voltage (0x8).
    void set_neck_supply_voltage(double volts);
    // A state code motor `index` reports (8 to 14: a fault; it switches off
    // and cannot be enabled while the code stands); 0 clears it.
    void set_neck_fault(int index, std::uint8_t code);
    // The state code of the motor's next feedback frame.
    std::uint8_t neck_state_code(int index) const;

    // Restores every injected fault to its default (no silence, no corruption,
    // no delays, fixed 12.0 V, immediate servo moves, direct neck dynamics,
    // mode writes stick, idle temperatures and supplies, no fault codes).
    // Positions and registers are left alone.
    void reset_faults();

    // ---- traffic logs (each keeps its most recent 100 000 entries)
    std::vector<SerialLogEntry> serial_log() const;
    std::vector<CanLogEntry> can_log() const;
    void clear_logs();

    // ---- set point histories (each keeps its most recent 100 000 entries per
    // servo or motor: 200 s of set points at a 2 ms period), oldest first.
    // Writes a servo does not take (a bad checksum, a silent servo) and MIT
    // frames a motor ignores are not in them. Empty for other ids and indexes.
    std::vector<ServoGoalEntry> servo_goal_history(std::uint8_t id) const;
    std::vector<NeckCommandEntry> neck_command_history(int index) const;
    void clear_set_point_history();

    class Impl;

private:
    explicit TorsoSim(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace torso_sim
