#include "dmctl/registers.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>

#include "dmctl/cli.hpp"
#include "support/number_parse.hpp"
#include "support/number_text.hpp"

namespace axiolink::dmctl {
namespace {

constexpr std::array<std::string_view, 4> kModeNames{"MIT", "POS_VEL", "VEL", "FORCE_POS"};

bool same_ignoring_case(std::string_view a, std::string_view b) noexcept {
    return std::ranges::equal(a, b, [](char x, char y) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        return lower(x) == lower(y);
    });
}

}  // namespace

std::optional<RegisterName> register_name(std::uint8_t number) noexcept {
    const auto* it = std::ranges::find(kRegisterNames, number, &RegisterName::number);
    if (it == kRegisterNames.end()) {
        return std::nullopt;
    }
    return *it;
}

std::optional<std::uint8_t> parse_register(std::string_view text) noexcept {
    for (const RegisterName& entry : kRegisterNames) {
        if (same_ignoring_case(entry.name, text)) {
            return entry.number;
        }
    }
    const auto number = support::parse_unsigned(text, 0xFF);
    if (!number) {
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(*number);
}

std::string_view mode_name(std::uint32_t mode) noexcept {
    return mode >= 1 && mode <= kModeNames.size() ? kModeNames[mode - 1] : std::string_view{};
}

std::optional<std::uint8_t> parse_mode(std::string_view text) noexcept {
    for (std::size_t i = 0; i < kModeNames.size(); ++i) {
        if (same_ignoring_case(kModeNames[i], text)) {
            return static_cast<std::uint8_t>(i + 1);
        }
    }
    const auto number = support::parse_unsigned(text, 4);
    if (!number || *number == 0) {
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(*number);
}

float float_of(const damiao::RegisterValue& value) noexcept {
    return std::bit_cast<float>(value.payload);
}

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

std::optional<damiao::RegisterValue> parse_value(const damiao::RegisterInfo& info,
                                                 std::string_view text) noexcept {
    if (info.type == damiao::RegisterType::Float) {
        float number = 0.0F;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
        if (text.empty() || error != std::errc{} || end != text.data() + text.size() ||
            !std::isfinite(number)) {
            return std::nullopt;
        }
        return damiao::RegisterValue{info.type, std::bit_cast<std::uint32_t>(number)};
    }
    if (info.number == damiao::kControlModeRegister) {
        if (const auto mode = parse_mode(text)) {
            return damiao::RegisterValue{info.type, *mode};
        }
    }
    const auto number = support::parse_unsigned(text, 0xFFFF'FFFFU);
    if (!number) {
        return std::nullopt;
    }
    return damiao::RegisterValue{info.type, *number};
}

std::optional<std::string_view> value_refusal(std::uint8_t number,
                                              const damiao::RegisterValue& value) noexcept {
    // A motor given an id beyond 11 bits, an unknown mode or a range of zero
    // or less no longer answers usefully, and only a register write of its
    // own could repair it.
    if ((number == 7 || number == 8) && value.payload > 0x7FF) {
        return "an id from 0 to 0x7FF";
    }
    if (number == damiao::kControlModeRegister && mode_name(value.payload).empty()) {
        return "one of mit, pos_vel, vel, force_pos (or 1 to 4)";
    }
    if ((number == 21 || number == 22 || number == 23) && !(float_of(value) > 0.0F)) {
        return "a positive number";
    }
    return std::nullopt;
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
