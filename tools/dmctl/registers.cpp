#include "dmctl/registers.hpp"

#include "dmctl/cli.hpp"
#include "support/number_text.hpp"

namespace axiolink::dmctl {

std::string value_text(std::uint8_t number, const damiao::RegisterValue& value) {
    const auto name = register_name(number);
    const std::string unit = name && !name->unit.empty() ? " " + std::string(name->unit) : "";
    if (value.type == damiao::RegisterType::Float) {
        support::NumberBuffer buffer;
        return std::string(support::shortest_text(float_of(value), buffer)) + unit;
    }
    std::string text = std::to_string(value.payload);
    if (number == damiao::kControlModeRegister) {
        const std::string_view mode = mode_name(value.payload);
        text += " (" + std::string(mode.empty() ? "not a control mode" : mode) + ")";
    } else if (number == 7 || number == 8 || number == 13 || number == 14) {
        text += " (" + id_text(value.payload) + ")";
    }
    return text + unit;
}

std::string_view status_text(std::uint8_t error) noexcept {
    switch (error) {
        case 0x0:
            return "disabled";
        case 0x1:
            return "enabled";
        case 0x8:
            return "over-voltage";
        case 0x9:
            return "under-voltage";
        case 0xA:
            return "over-current";
        case 0xB:
            return "driver stage over-temperature";
        case 0xC:
            return "rotor over-temperature";
        case 0xD:
            return "communication lost";
        case 0xE:
            return "overload";
        default:
            return "unknown code";
    }
}

}  // namespace axiolink::dmctl
