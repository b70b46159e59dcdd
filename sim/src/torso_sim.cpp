#include "torso_sim/torso_sim.hpp"

#include "can_bus.hpp"
#include "clock.hpp"
#include "foreign_node.hpp"
#include "serial_line.hpp"
#include "sim_state.hpp"
#include "unique_fd.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <system_error>
#include <thread>

namespace torso_sim {

// SCHED_FIFO priority of the bus threads where the system allows it.
constexpr int kBusThreadPriority = 10;

class TorsoSim::Impl {
public:
    explicit Impl(const Options& options) : state(options) {}

    ~Impl() {
        if (::getpid() != owner_pid) {
            forget_in_forked_child();
            return;
        }
        if (wake_write) {
            const char byte = 1;
            while (::write(wake_write.get(), &byte, 1) < 0 && errno == EINTR) {
            }
        }
        if (serial_thread.joinable()) serial_thread.join();
        if (can_thread.joinable()) can_thread.join();
        listener.reset();
        if (!socket_path.empty()) ::unlink(socket_path.c_str());
        if (!directory.empty()) ::rmdir(directory.c_str());
    }

    bool open(std::string& error) {
        const char* tmp = std::getenv("TMPDIR");
        std::string base = (tmp && *tmp && std::strlen(tmp) < 60) ? tmp : "/tmp";
        std::string pattern = base + "/torso_sim.XXXXXX";
        if (!mkdtemp(pattern.data())) return error = std::string("mkdtemp: ") + std::strerror(errno), false;
        directory = pattern;

        auto opened_pty = open_pseudo_terminal(error);
        if (!opened_pty) return false;
        pty = std::move(*opened_pty);

        socket_path = directory + "/can.sock";
        auto opened_bus = listen_can_bus(socket_path, error);
        if (!opened_bus) {
            socket_path.clear();
            return false;
        }
        listener = std::move(*opened_bus);
        foreign_node.emplace(socket_path);

        int pipe_fds[2];
        if (pipe2(pipe_fds, O_CLOEXEC) != 0) return error = std::string("pipe2: ") + std::strerror(errno), false;
        wake_read.reset(pipe_fds[0]);
        wake_write.reset(pipe_fds[1]);

        // The bus threads take no signals: the host program's handlers run elsewhere.
        sigset_t all, previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        // Keeping wire time needs wake-ups on time, not the default 50 us late.
        const bool precise = state.wire.enabled;
        const auto timed = [precise](auto serve, int fd, int wake, SimState& shared) {
            if (precise) (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
            serve(fd, wake, shared);
        };
        try {
            serial_thread = std::thread(timed, serve_serial_line, pty.master.get(), wake_read.get(), std::ref(state));
            can_thread = std::thread(timed, serve_can_bus, listener.get(), wake_read.get(), std::ref(state));
        } catch (const std::system_error& e) {
            error = std::string("cannot start thread: ") + e.what();
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        // Real servos and motors answer whatever the host is doing. Where the
        // process may (root or CAP_SYS_NICE), the bus threads run ahead of
        // ordinary threads and of a real-time hog at the lowest priority;
        // elsewhere they stay ordinary threads. They only ever wait for I/O.
        const sched_param bus_priority{kBusThreadPriority};
        for (std::thread* bus_thread : {&serial_thread, &can_thread})
            if (bus_thread->joinable()) pthread_setschedparam(bus_thread->native_handle(), SCHED_FIFO, &bus_priority);
        return serial_thread.joinable() && can_thread.joinable();
    }

    // A forked child holds copies of the descriptors but none of the bus
    // threads, and shares the socket file and the wake pipe with the parent:
    // it must neither wake, join nor remove anything. It only closes its own
    // copies of the descriptors; the thread handles, which name threads that
    // do not exist here, are left behind unjoined.
    void forget_in_forked_child() {
        for (std::thread* handle : {&serial_thread, &can_thread})
            if (handle->joinable()) new std::thread(std::move(*handle));  // never destroyed: a leak in the child only
    }

    pid_t owner_pid = ::getpid();   // the process that started the threads
    SimState state;
    std::string directory;
    std::string socket_path;
    PseudoTerminal pty;
    UniqueFd listener;
    UniqueFd wake_read, wake_write;
    std::thread serial_thread, can_thread;
    std::optional<ForeignNode> foreign_node;  // a test's second node on the bus
};

namespace {

using Lock = std::lock_guard<std::mutex>;

std::size_t neck_slot(int index) { return static_cast<std::size_t>(index); }
bool valid_neck(int index) { return index >= 0 && index < kNeckMotorCount; }

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

// ---- servos

void TorsoSim::set_servo_silent(std::uint8_t id, bool silent) {
    Lock lock(impl_->state.mutex);
    if (auto* f = impl_->state.servos.faults(id)) f->silent = silent;
}

void TorsoSim::set_servo_position(std::uint8_t id, double radians) {
    Lock lock(impl_->state.mutex);
    if (Servo* s = impl_->state.servos.servo(id, monotonic_seconds())) s->place(radians_to_steps(radians));
}

double TorsoSim::servo_position(std::uint8_t id) const {
    Lock lock(impl_->state.mutex);
    const Servo* s = impl_->state.servos.servo(id, monotonic_seconds());
    return s ? steps_to_radians(s->present_steps()) : 0.0;
}

double TorsoSim::servo_goal(std::uint8_t id) const {
    Lock lock(impl_->state.mutex);
    const Servo* s = impl_->state.servos.servo(id, monotonic_seconds());
    return s ? steps_to_radians(s->goal_steps()) : 0.0;
}

bool TorsoSim::servo_torque(std::uint8_t id) const {
    Lock lock(impl_->state.mutex);
    const Servo* s = impl_->state.servos.servo(id, monotonic_seconds());
    return s && s->torque_on();
}

void TorsoSim::set_servo_torque(std::uint8_t id, bool on) {
    Lock lock(impl_->state.mutex);
    const std::uint8_t value = on ? 1 : 0;
    if (Servo* s = impl_->state.servos.servo(id, monotonic_seconds()))
        s->write(servo_register::kTorqueEnable, std::span(&value, 1), false);
}

double TorsoSim::servo_offset(std::uint8_t id) const {
    Lock lock(impl_->state.mutex);
    const Servo* s = impl_->state.servos.servo(id, monotonic_seconds());
    return s ? s->offset_radians() : 0.0;
}

void TorsoSim::set_servo_offset(std::uint8_t id, double radians) {
    Lock lock(impl_->state.mutex);
    Servo* s = impl_->state.servos.servo(id, monotonic_seconds());
    if (s && s->model() == ServoModel::SM40BL) s->set_offset_radians(radians);
}

std::uint8_t TorsoSim::servo_register(std::uint8_t id, std::uint8_t address) const {
    Lock lock(impl_->state.mutex);
    const double now = monotonic_seconds();
    const Servo* s = impl_->state.servos.servo(id, now);
    return s ? s->read(address, impl_->state.servos.environment(now)) : 0;
}

void TorsoSim::set_servo_register(std::uint8_t id, std::uint8_t address, std::uint8_t value) {
    Lock lock(impl_->state.mutex);
    if (Servo* s = impl_->state.servos.servo(id, monotonic_seconds())) s->write(address, std::span(&value, 1), false);
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
    Lock lock(impl_->state.mutex);
    if (auto* f = impl_->state.servos.faults(id)) f->corrupt_checksum = corrupt;
}

void TorsoSim::set_reply_id_override(std::uint8_t id, std::optional<std::uint8_t> reply_as) {
    Lock lock(impl_->state.mutex);
    if (auto* f = impl_->state.servos.faults(id)) f->reply_as = reply_as;
}

void TorsoSim::set_garbage_before_reply(std::uint8_t id, std::size_t n_bytes) {
    Lock lock(impl_->state.mutex);
    if (auto* f = impl_->state.servos.faults(id)) f->garbage_bytes = n_bytes;
}

void TorsoSim::set_reply_delay(std::chrono::microseconds delay) {
    Lock lock(impl_->state.mutex);
    impl_->state.servos.reply_delay = delay;
}

void TorsoSim::set_servo_reply_delay(std::uint8_t id, std::chrono::microseconds delay) {
    Lock lock(impl_->state.mutex);
    if (auto* f = impl_->state.servos.faults(id)) f->reply_delay = delay;
}

// ---- neck

void TorsoSim::set_neck_silent(int index, bool silent) {
    Lock lock(impl_->state.mutex);
    if (valid_neck(index)) impl_->state.neck.silent[neck_slot(index)] = silent;
}

void TorsoSim::set_neck_position(int index, double radians) {
    Lock lock(impl_->state.mutex);
    if (NeckMotor* m = impl_->state.neck.motor(index, monotonic_seconds())) m->place(radians);
}

double TorsoSim::neck_position(int index) const {
    Lock lock(impl_->state.mutex);
    const NeckMotor* m = impl_->state.neck.motor(index, monotonic_seconds());
    return m ? m->position() : 0.0;
}

NeckMotorState TorsoSim::neck_state(int index) const {
    Lock lock(impl_->state.mutex);
    const NeckMotor* m = impl_->state.neck.motor(index, monotonic_seconds());
    if (!m) return NeckMotorState{false, 0, 0.0, 0.0, 0.0, 0.0f, 0.0f};
    return NeckMotorState{m->enabled(), m->ctrl_mode(), m->position(), m->velocity(), m->commanded_position(),
                          m->kp(), m->kd()};
}

void TorsoSim::set_neck_ctrl_mode(int index, std::uint32_t mode) {
    Lock lock(impl_->state.mutex);
    if (NeckMotor* m = impl_->state.neck.motor(index, monotonic_seconds())) m->set_ctrl_mode(mode);
}

std::uint32_t TorsoSim::neck_register(int index, std::uint8_t reg) const {
    Lock lock(impl_->state.mutex);
    const NeckMotor* m = impl_->state.neck.motor(index, monotonic_seconds());
    return m ? m->read_register(reg).value_or(0) : 0;
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
    Lock lock(impl_->state.mutex);
    if (Servo* s = impl_->state.servos.servo(id, monotonic_seconds())) s->set_temperature(celsius);
}

void TorsoSim::set_servo_fault_bits(std::uint8_t id, std::uint8_t bits) {
    Lock lock(impl_->state.mutex);
    if (Servo* s = impl_->state.servos.servo(id, monotonic_seconds())) s->set_fault_bits(bits);
}

void TorsoSim::set_neck_temperatures(int index, int mos, int rotor) {
    Lock lock(impl_->state.mutex);
    if (NeckMotor* m = impl_->state.neck.motor(index, monotonic_seconds())) m->set_temperatures(mos, rotor);
}

void TorsoSim::set_neck_supply_voltage(double volts) {
    Lock lock(impl_->state.mutex);
    const double now = monotonic_seconds();
    for (int i = 0; i < kNeckMotorCount; ++i) impl_->state.neck.motor(i, now)->set_supply_voltage(volts);
}

void TorsoSim::set_neck_fault(int index, std::uint8_t code) {
    Lock lock(impl_->state.mutex);
    if (NeckMotor* m = impl_->state.neck.motor(index, monotonic_seconds())) m->set_fault_code(code);
}

std::uint8_t TorsoSim::neck_state_code(int index) const {
    Lock lock(impl_->state.mutex);
    const NeckMotor* m = impl_->state.neck.motor(index, monotonic_seconds());
    return m ? m->state_code() : 0;
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

}  // namespace torso_sim
