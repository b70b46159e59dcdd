// The Damiao motors' parameter registers.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace candrive::damiao {

// How a register's four value bytes are read.
enum class RegisterType { Float, Uint32 };

// "Float" or "Uint32".
std::string_view register_type_name(RegisterType type);

// A register value: an IEEE-754 float or an unsigned integer, as tagged.
struct RegisterValue {
    RegisterType type;
    float f = 0.0F;         // Float only
    std::uint32_t u = 0;    // Uint32 only

    static RegisterValue from_float(float value) { return RegisterValue{RegisterType::Float, value, 0}; }
    static RegisterValue from_uint32(std::uint32_t value) { return RegisterValue{RegisterType::Uint32, 0.0F, value}; }
    // The value of type `type` whose four bytes (little-endian on the wire) are `bits`.
    static RegisterValue from_bits(RegisterType type, std::uint32_t bits);
    // The four value bytes as an integer.
    std::uint32_t bits() const;
};

struct RegisterInfo {
    std::string_view name, description;
    std::uint8_t id;
    bool writable;
    RegisterType kind;
};

// Register ids used by the driver itself.
inline constexpr std::uint8_t kCtrlModeRegister = 0x0A;

// The row of register `id`, or null when the motors have no such register.
const RegisterInfo* lookup(std::uint8_t id);

// Every row, in ascending id order.
std::span<const RegisterInfo> register_table();

}  // namespace candrive::damiao
