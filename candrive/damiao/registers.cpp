#include "candrive/damiao/registers.hpp"

#include <algorithm>
#include <array>
#include <bit>

namespace candrive::damiao {
namespace {

constexpr RegisterType F = RegisterType::Float;
constexpr RegisterType U = RegisterType::Uint32;
constexpr bool RW = true;
constexpr bool RO = false;

// The motors' parameter table (ids 0x25-0x31, 0x39, 0x3A and 0x42-0x4F do not exist).
constexpr std::array<RegisterInfo, 53> kRegisters{{
    {"UV_Value", "Under-voltage protection value", 0x00, RW, F},
    {"KT_Value", "Torque coefficient", 0x01, RW, F},
    {"OT_Value", "Over-temperature protection", 0x02, RW, F},
    {"OC_Value", "Over-current protection", 0x03, RW, F},
    {"ACC", "Acceleration", 0x04, RW, F},
    {"DEC", "Deceleration", 0x05, RW, F},
    {"MAX_SPD", "Maximum speed", 0x06, RW, F},
    {"MST_ID", "Feedback (master) CAN id", 0x07, RW, U},
    {"ESC_ID", "Receive (motor) CAN id", 0x08, RW, U},
    {"TIMEOUT", "Timeout alarm (1 unit = 50 us)", 0x09, RW, U},
    {"CTRL_MODE", "Control mode 1=MIT 2=POS_VEL 3=VEL 4=FORCE_POS", 0x0A, RW, U},
    {"Damp", "Viscous damping coefficient", 0x0B, RO, F},
    {"Inertia", "Moment of inertia", 0x0C, RO, F},
    {"hw_ver", "Hardware version (reserved)", 0x0D, RO, U},
    {"sw_ver", "Software version", 0x0E, RO, U},
    {"SN", "Serial number (reserved)", 0x0F, RO, U},
    {"NPP", "Motor pole pairs", 0x10, RO, U},
    {"Rs", "Phase resistance", 0x11, RO, F},
    {"Ls", "Phase inductance", 0x12, RO, F},
    {"Flux", "Flux linkage", 0x13, RO, F},
    {"Gr", "Gear reduction ratio", 0x14, RO, F},
    {"PMAX", "Position mapping range", 0x15, RW, F},
    {"VMAX", "Speed mapping range", 0x16, RW, F},
    {"TMAX", "Torque mapping range", 0x17, RW, F},
    {"I_BW", "Current loop bandwidth", 0x18, RW, F},
    {"KP_ASR", "Speed loop Kp", 0x19, RW, F},
    {"KI_ASR", "Speed loop Ki", 0x1A, RW, F},
    {"KP_APR", "Position loop Kp", 0x1B, RW, F},
    {"KI_APR", "Position loop Ki", 0x1C, RW, F},
    {"OV_Value", "Over-voltage protection", 0x1D, RW, F},
    {"GREF", "Gear torque efficiency", 0x1E, RW, F},
    {"Deta", "Speed loop damping", 0x1F, RW, F},
    {"V_BW", "Speed loop filter bandwidth", 0x20, RW, F},
    {"IQ_c1", "Current loop enhancement", 0x21, RW, F},
    {"VL_c1", "Speed loop enhancement", 0x22, RW, F},
    {"can_br", "CAN baud rate code (0..4)", 0x23, RW, U},
    {"sub_ver", "Sub-version number", 0x24, RO, U},
    {"u_off", "U-phase offset", 0x32, RO, F},
    {"v_off", "V-phase offset", 0x33, RO, F},
    {"k1", "Compensation factor 1", 0x34, RO, F},
    {"k2", "Compensation factor 2", 0x35, RO, F},
    {"m_off", "Output-shaft angle offset", 0x36, RO, F},
    {"dir", "Direction", 0x37, RO, F},
    {"m_off_motor", "Motor-side angle offset", 0x38, RO, F},
    {"Imax", "Driver board max current", 0x3B, RO, F},
    {"VBus", "Power supply voltage", 0x3C, RO, F},
    {"Tpcb", "Driver board temperature", 0x3D, RO, F},
    {"Tmtr", "Motor temperature", 0x3E, RO, F},
    {"Iu_off", "U-phase current offset", 0x3F, RO, F},
    {"Iv_off", "V-phase current offset", 0x40, RO, F},
    {"Iw_off", "W-phase current offset", 0x41, RO, F},
    {"p_m", "Motor position", 0x50, RO, F},
    {"xout", "Output shaft position", 0x51, RO, F},
}};

static_assert(std::is_sorted(kRegisters.begin(), kRegisters.end(),
                             [](const RegisterInfo& a, const RegisterInfo& b) { return a.id <= b.id; }),
              "register rows must be in strictly ascending id order");

}  // namespace

std::string_view register_type_name(RegisterType type) {
    return type == RegisterType::Float ? "Float" : "Uint32";
}

RegisterValue RegisterValue::from_bits(RegisterType type, std::uint32_t bits) {
    return type == RegisterType::Float ? from_float(std::bit_cast<float>(bits)) : from_uint32(bits);
}

std::uint32_t RegisterValue::bits() const {
    return type == RegisterType::Float ? std::bit_cast<std::uint32_t>(f) : u;
}

const RegisterInfo* lookup(std::uint8_t id) {
    const auto row = std::lower_bound(kRegisters.begin(), kRegisters.end(), id,
                                      [](const RegisterInfo& info, std::uint8_t key) { return info.id < key; });
    return row != kRegisters.end() && row->id == id ? &*row : nullptr;
}

std::span<const RegisterInfo> register_table() { return kRegisters; }

}  // namespace candrive::damiao
