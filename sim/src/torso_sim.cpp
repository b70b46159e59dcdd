#include "torso_sim/torso_sim.hpp"

#include "clock.hpp"
#include "sim_runtime.hpp"

#include <cmath>
#include <numbers>

namespace torso_sim {

namespace {

using Lock = std::lock_guard<std::mutex>;

std::size_t neck_slot(int index) { return static_cast<std::size_t>(index); }
bool valid_neck(int index) { return index >= 0 && index < kNeckMotorCount; }

// Under the mutex, with the servo or motor brought up to now: `act` on it,
// or `read` from it (`absent` for an id or index that is not on the bus).
template <class Act>
void on_servo(SimState& state, std::uint8_t id, Act act) {
    Lock lock(state.mutex);
    if (Servo* s = state.servos.servo(id, monotonic_seconds())) act(*s);
}

template <class T, class Read>
T read_servo(SimState& state, std::uint8_t id, T absent, Read read) {
    Lock lock(state.mutex);
    const Servo* s = state.servos.servo(id, monotonic_seconds());
    return s ? read(*s) : absent;
}

template <class Act>
void on_motor(SimState& state, int index, Act act) {
    Lock lock(state.mutex);
    if (NeckMotor* m = state.neck.motor(index, monotonic_seconds())) act(*m);
}

template <class T, class Read>
T read_motor(SimState& state, int index, T absent, Read read) {
    Lock lock(state.mutex);
    const NeckMotor* m = state.neck.motor(index, monotonic_seconds());
    return m ? read(*m) : absent;
}

// Under the mutex: `act` on the injected faults of servo `id` (none for an id
// that is not on the bus).
template <class Act>
void on_servo_faults(SimState& state, std::uint8_t id, Act act) {
    Lock lock(state.mutex);
    if (auto* f = state.servos.faults(id)) act(*f);
}

}  // namespace

std::unique_ptr<TorsoSim> TorsoSim::start() { return start(Options{}); }

std::unique_ptr<TorsoSim> TorsoSim::start(const Options& options, std::string* error) {
    auto impl = std::make_unique<Impl>(options);
    std::string why;
    if (!impl->open(why)) {
        if (error) *error = why;
        return nullptr;
    }
    return std::unique_ptr<TorsoSim>(new TorsoSim(std::move(impl)));
}

TorsoSim::TorsoSim(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TorsoSim::~TorsoSim() = default;

std::string TorsoSim::serial_path() const { return impl_->pty.slave_path; }
std::string TorsoSim::can_bus() const { return "unix:" + impl_->socket_path; }
std::string TorsoSim::serial_link() const { return impl_->serial_link; }
std::string TorsoSim::can_bus_link() const { return impl_->can_link.empty() ? std::string() : "unix:" + impl_->can_link; }

// ---- servos

void TorsoSim::set_servo_silent(std::uint8_t id, bool silent) {
    on_servo_faults(impl_->state, id, [&](ServoFaults& f) { f.silent = silent; });
}

void TorsoSim::set_servo_position(std::uint8_t id, double radians) {
    on_servo(impl_->state, id, [&](Servo& s) { s.place(radians_to_steps(radians)); });
}

double TorsoSim::servo_position(std::uint8_t id) const {
    return read_servo(impl_->state, id, 0.0, [](const Servo& s) { return steps_to_radians(s.present_steps()); });
}

double TorsoSim::servo_goal(std::uint8_t id) const {
    return read_servo(impl_->state, id, 0.0, [](const Servo& s) { return steps_to_radians(s.goal_steps()); });
}

bool TorsoSim::servo_torque(std::uint8_t id) const {
    return read_servo(impl_->state, id, false, [](const Servo& s) { return s.torque_on(); });
}

void TorsoSim::set_servo_torque(std::uint8_t id, bool on) {
    const std::uint8_t value = on ? 1 : 0;
    on_servo(impl_->state, id, [&](Servo& s) { s.write(servo_register::kTorqueEnable, std::span(&value, 1), false); });
}

double TorsoSim::servo_offset(std::uint8_t id) const {
    return read_servo(impl_->state, id, 0.0, [](const Servo& s) { return s.offset_radians(); });
}

void TorsoSim::set_servo_offset(std::uint8_t id, double radians) {
    on_servo(impl_->state, id, [&](Servo& s) {
        if (s.model() == ServoModel::SM40BL) s.set_offset_radians(radians);
    });
}

std::uint8_t TorsoSim::servo_register(std::uint8_t id, std::uint8_t address) const {
    Lock lock(impl_->state.mutex);
    const double now = monotonic_seconds();
    const Servo* s = impl_->state.servos.servo(id, now);
    return s ? s->read(address, impl_->state.servos.environment(now)) : 0;
}

void TorsoSim::set_servo_register(std::uint8_t id, std::uint8_t address, std::uint8_t value) {
    on_servo(impl_->state, id, [&](Servo& s) { s.write(address, std::span(&value, 1), false); });
}

void TorsoSim::set_voltage(std::uint8_t tenths_of_volt) {
    Lock lock(impl_->state.mutex);
    impl_->state.servos.voltage = VoltageSupply{tenths_of_volt, tenths_of_volt, 0.0, 0.0};
}

void TorsoSim::set_voltage_ramp(std::uint8_t from, std::uint8_t to, std::chrono::milliseconds over) {
    Lock lock(impl_->state.mutex);
    impl_->state.servos.voltage =
        VoltageSupply{from, to, monotonic_seconds(), std::chrono::duration<double>(over).count()};
}

void TorsoSim::set_servo_speed(double radians_per_second) {
    Lock lock(impl_->state.mutex);
    const double now = monotonic_seconds();
    for (std::uint8_t id = kFirstServoId; id < kFirstServoId + kServoCount; ++id) impl_->state.servos.servo(id, now);
    const double steps = radians_per_second * kStepsPerTurn / (2.0 * std::numbers::pi);
    impl_->state.servos.speed_steps_per_s = std::isfinite(steps) && steps > 0 ? steps : 0.0;
}

void TorsoSim::set_reboot_silence(std::chrono::milliseconds silence) {
    Lock lock(impl_->state.mutex);
    impl_->state.servos.reboot_silence = std::chrono::duration<double>(silence).count();
}

std::uint32_t TorsoSim::servo_reboot_count(std::uint8_t id) const {
    Lock lock(impl_->state.mutex);
    return impl_->state.servos.reboot_count(id);
}

void TorsoSim::set_corrupt_checksum(std::uint8_t id, bool corrupt) {
    on_servo_faults(impl_->state, id, [&](ServoFaults& f) { f.corrupt_checksum = corrupt; });
}

void TorsoSim::set_reply_id_override(std::uint8_t id, std::optional<std::uint8_t> reply_as) {
    on_servo_faults(impl_->state, id, [&](ServoFaults& f) { f.reply_as = reply_as; });
}

void TorsoSim::set_garbage_before_reply(std::uint8_t id, std::size_t n_bytes) {
    on_servo_faults(impl_->state, id, [&](ServoFaults& f) { f.garbage_bytes = n_bytes; });
}

void TorsoSim::set_reply_delay(std::chrono::microseconds delay) {
    Lock lock(impl_->state.mutex);
    impl_->state.servos.reply_delay = delay;
}

void TorsoSim::set_servo_reply_delay(std::uint8_t id, std::chrono::microseconds delay) {
    on_servo_faults(impl_->state, id, [&](ServoFaults& f) { f.reply_delay = delay; });
}

// ---- neck

void TorsoSim::set_neck_silent(int index, bool silent) {
    Lock lock(impl_->state.mutex);
    if (valid_neck(index)) impl_->state.neck.silent[neck_slot(index)] = silent;
}

void TorsoSim::set_neck_position(int index, double radians) {
    on_motor(impl_->state, index, [&](NeckMotor& m) { m.place(radians); });
}

double TorsoSim::neck_position(int index) const {
    return read_motor(impl_->state, index, 0.0, [](const NeckMotor& m) { return m.position(); });
}

NeckMotorState TorsoSim::neck_state(int index) const {
    const NeckMotorState absent{false, 0, 0.0, 0.0, 0.0, 0.0f, 0.0f};
    return read_motor(impl_->state, index, absent, [](const NeckMotor& m) {
        return NeckMotorState{m.enabled(), m.ctrl_mode(), m.position(), m.velocity(), m.commanded_position(), m.kp(),
                              m.kd()};
    });
}

void TorsoSim::set_neck_ctrl_mode(int index, std::uint32_t mode) {
    on_motor(impl_->state, index, [&](NeckMotor& m) { m.set_ctrl_mode(mode); });
}

std::uint32_t TorsoSim::neck_register(int index, std::uint8_t reg) const {
    return read_motor(impl_->state, index, std::uint32_t{0},
                      [&](const NeckMotor& m) { return m.read_register(reg).value_or(0); });
}

void TorsoSim::set_neck_dynamics(bool spring_damper) {
    Lock lock(impl_->state.mutex);
    const double now = monotonic_seconds();
    for (int i = 0; i < kNeckMotorCount; ++i) impl_->state.neck.motor(i, now);
    impl_->state.neck.spring_damper = spring_damper;
}

void TorsoSim::set_mode_write_sticks(bool sticks) {
    Lock lock(impl_->state.mutex);
    impl_->state.neck.mode_write_sticks = sticks;
}

void TorsoSim::set_neck_reply_delay(std::chrono::microseconds delay) {
    Lock lock(impl_->state.mutex);
    impl_->state.neck.reply_delay = delay;
}

void TorsoSim::set_neck_motor_reply_delay(int index, std::chrono::microseconds delay) {
    Lock lock(impl_->state.mutex);
    if (valid_neck(index)) impl_->state.neck.motor_reply_delay[neck_slot(index)] = delay;
}

void TorsoSim::set_neck_answered_by(int index, std::optional<int> by) {
    Lock lock(impl_->state.mutex);
    if (valid_neck(index)) impl_->state.neck.answered_by[neck_slot(index)] = by && valid_neck(*by) ? *by : -1;
}

void TorsoSim::set_neck_register_reply_as(int index, std::optional<std::uint8_t> reg) {
    Lock lock(impl_->state.mutex);
    if (valid_neck(index)) impl_->state.neck.register_reply_as[neck_slot(index)] = reg ? int{*reg} : -1;
}

bool TorsoSim::send_can_frame(std::uint32_t id, const std::vector<std::uint8_t>& data, bool extended, bool fd) {
    can::Frame frame;
    frame.id = id;
    frame.extended = extended;
    frame.fd = fd;
    frame.data = data;
    return impl_->foreign_node->send(frame);
}

// ---- health

void TorsoSim::set_servo_temperature(std::uint8_t id, int celsius) {
    on_servo(impl_->state, id, [&](Servo& s) { s.set_temperature(celsius); });
}

void TorsoSim::set_servo_fault_bits(std::uint8_t id, std::uint8_t bits) {
    on_servo(impl_->state, id, [&](Servo& s) { s.set_fault_bits(bits); });
}

void TorsoSim::set_neck_temperatures(int index, int mos, int rotor) {
    on_motor(impl_->state, index, [&](NeckMotor& m) { m.set_temperatures(mos, rotor); });
}

void TorsoSim::set_neck_supply_voltage(double volts) {
    Lock lock(impl_->state.mutex);
    const double now = monotonic_seconds();
    for (int i = 0; i < kNeckMotorCount; ++i) impl_->state.neck.motor(i, now)->set_supply_voltage(volts);
}

void TorsoSim::set_neck_fault(int index, std::uint8_t code) {
    on_motor(impl_->state, index, [&](NeckMotor& m) { m.set_fault_code(code); });
}

std::uint8_t TorsoSim::neck_state_code(int index) const {
    return read_motor(impl_->state, index, std::uint8_t{0}, [](const NeckMotor& m) { return m.state_code(); });
}

void TorsoSim::reset_faults() {
    Lock lock(impl_->state.mutex);
    const double now = monotonic_seconds();
    for (std::uint8_t id = kFirstServoId; id < kFirstServoId + kServoCount; ++id) impl_->state.servos.servo(id, now);
    for (int i = 0; i < kNeckMotorCount; ++i) impl_->state.neck.motor(i, now);
    impl_->state.servos.reset_faults();
    impl_->state.neck.reset_faults();
}

// ---- logs

std::vector<SerialLogEntry> TorsoSim::serial_log() const {
    Lock lock(impl_->state.mutex);
    return {impl_->state.log.serial.begin(), impl_->state.log.serial.end()};
}

std::vector<CanLogEntry> TorsoSim::can_log() const {
    Lock lock(impl_->state.mutex);
    return {impl_->state.log.can.begin(), impl_->state.log.can.end()};
}

void TorsoSim::clear_logs() {
    Lock lock(impl_->state.mutex);
    impl_->state.log.serial.clear();
    impl_->state.log.can.clear();
}

// ---- set point histories

std::vector<ServoGoalEntry> TorsoSim::servo_goal_history(std::uint8_t id) const {
    Lock lock(impl_->state.mutex);
    return impl_->state.servos.goal_history(id);
}

std::vector<NeckCommandEntry> TorsoSim::neck_command_history(int index) const {
    Lock lock(impl_->state.mutex);
    return impl_->state.neck.command_history(index);
}

void TorsoSim::clear_set_point_history() {
    Lock lock(impl_->state.mutex);
    impl_->state.servos.clear_goal_history();
    impl_->state.neck.clear_command_history();
}

}  // namespace torso_sim
