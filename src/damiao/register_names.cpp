#include "damiao/register_names.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>

#include "support/number_parse.hpp"

namespace axiolink::damiao {
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

float float_of(const RegisterValue& value) noexcept {
    return std::bit_cast<float>(value.payload);
}

std::optional<RegisterValue> float_value(float number) noexcept {
    if (!std::isfinite(number)) {
        return std::nullopt;
    }
    return RegisterValue{RegisterType::Float, std::bit_cast<std::uint32_t>(number)};
}

std::optional<RegisterValue> parse_value(const RegisterInfo& info, std::string_view text) noexcept {
    if (info.type == RegisterType::Float) {
        float number = 0.0F;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
        if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
            return std::nullopt;
        }
        return float_value(number);
    }
    if (info.number == kControlModeRegister) {
        if (const auto mode = parse_mode(text)) {
            return RegisterValue{info.type, *mode};
        }
    }
    const auto number = support::parse_unsigned(text, 0xFFFF'FFFFU);
    if (!number) {
        return std::nullopt;
    }
    return RegisterValue{info.type, *number};
}

std::string_view value_kind(const RegisterInfo& info) noexcept {
    return info.type == RegisterType::Float ? "finite number" : "number from 0 to 0xFFFFFFFF";
}

std::optional<std::string_view> value_refusal(std::uint8_t number,
                                              const RegisterValue& value) noexcept {
    // A motor given an id beyond 11 bits, an unknown mode or a range of zero
    // or less no longer answers usefully, and only a register write of its
    // own could repair it.
    if ((number == 7 || number == 8) && value.payload > 0x7FF) {
        return "an id from 0 to 0x7FF";
    }
    if (number == kControlModeRegister && mode_name(value.payload).empty()) {
        return "one of mit, pos_vel, vel, force_pos (or 1 to 4)";
    }
    if ((number == 21 || number == 22 || number == 23) && !(float_of(value) > 0.0F)) {
        return "a positive number";
    }
    return std::nullopt;
}

}  // namespace axiolink::damiao
