#include "candrive/damiao/state.hpp"

namespace candrive::damiao {

std::optional<std::string_view> state_fault_name(std::uint8_t code) {
    switch (static_cast<StateCode>(code)) {
        case StateCode::Disabled:
        case StateCode::Enabled: return std::nullopt;
        case StateCode::OverVoltage: return "overvoltage";
        case StateCode::UnderVoltage: return "undervoltage";
        case StateCode::OverCurrent: return "overcurrent";
        case StateCode::MosOverTemperature: return "mos_overheat";
        case StateCode::RotorOverTemperature: return "rotor_overheat";
        case StateCode::LostCommunication: return "lost_communication";
        case StateCode::Overload: return "overload";
    }
    static constexpr std::string_view kUnlisted[] = {"state_2", "state_3", "state_4", "state_5", "state_6",
                                                     "state_7", "state_15"};
    if (code >= 2 && code <= 7) return kUnlisted[code - 2];
    if (code == 15) return kUnlisted[6];
    return "state_unknown";
}

}  // namespace candrive::damiao
