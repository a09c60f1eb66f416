#include "damiao/register_names.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <span>

#include "support/number_parse.hpp"
#include "support/number_text.hpp"

namespace axiolink::damiao {
namespace {

constexpr std::array<std::string_view, 4> kModeNames{"MIT", "POS_VEL", "VEL", "FORCE_POS"};
constexpr std::string_view kModeChoice = "one of mit, pos_vel, vel, force_pos (or 1 to 4)";

bool same_ignoring_case(std::string_view a, std::string_view b) noexcept {
    return std::ranges::equal(a, b, [](char x, char y) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        return lower(x) == lower(y);
    });
}

// "0x011", as the other messages about ids on the bus show them.
std::string id_text(std::uint32_t id) {
    std::array<char, 8> buffer{};
    std::snprintf(buffer.data(), buffer.size(), "0x%03X", static_cast<unsigned>(id));
    return buffer.data();
}

// "0x002, 0x102, 0x202, 0x302"
std::string id_list(std::span<const std::uint16_t> ids) {
    std::string text;
    for (const std::uint16_t id : ids) {
        text += (text.empty() ? "" : ", ") + id_text(id);
    }
    return text;
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
    if (info.type == RegisterType::Float) {
        return "a finite number";
    }
    return info.number == kControlModeRegister ? kModeChoice : "a number from 0 to 0xFFFFFFFF";
}

std::string register_name_list() {
    std::string names;
    for (const RegisterName& entry : kRegisterNames) {
        names += (names.empty() ? "" : ", ") + std::string(entry.name);
    }
    return names;
}

std::string ValueRefusal::text(std::string_view shown, std::uint8_t number) const {
    return "value " + std::string(shown) + " is not " + must_be + " for register " +
           std::to_string(number) + "; " + reason;
}

std::optional<ValueRefusal> value_refusal(const MotorIds& motor, std::uint8_t number,
                                          const RegisterValue& value) {
    constexpr std::string_view kCannotTake = "the motor cannot take it";
    // A motor given an id beyond 11 bits, an unknown mode or a range of zero
    // or less no longer answers usefully, and only a register write of its
    // own could repair it.
    if ((number == kMasterIdRegister || number == kMotorIdRegister) && value.payload > 0x7FF) {
        return ValueRefusal{"an id from 0 to 0x7FF", std::string(kCannotTake)};
    }
    if (number == kControlModeRegister && mode_name(value.payload).empty()) {
        return ValueRefusal{std::string(kModeChoice), std::string(kCannotTake)};
    }
    // The motor obeys every frame at its command ids and answers every
    // command at its master id, from whatever sender: ids that meet there, or
    // at the register id every motor listens to, turn answers into commands.
    constexpr std::string_view kOwnAnswers = "the motor would take its own answers for commands";
    if (number == kMasterIdRegister) {
        const auto own = command_ids(motor.motor_id);
        if (value.payload == kRegisterRequestId) {
            return ValueRefusal{"a master id other than 0x7FF",
                                "register requests go to 0x7FF, so every motor would read the "
                                "motor's answers as requests"};
        }
        if (std::ranges::find(own, value.payload) != own.end()) {
            return ValueRefusal{"a master id other than the motor's command ids " + id_list(own),
                                std::string(kOwnAnswers)};
        }
    }
    if (number == kMotorIdRegister) {
        const auto wanted = command_ids(value.payload);
        if (value.payload == 0) {
            return ValueRefusal{"a motor id from 1 to 0x7FF",
                                "at id 0 the motor would take the answers of every motor with "
                                "master id 0 for commands"};
        }
        if (std::ranges::find(wanted, kRegisterRequestId) != wanted.end()) {
            return ValueRefusal{
                "a motor id whose command ids (" + id_list(wanted) + ") leave out 0x7FF",
                "register requests go to 0x7FF, so every motor would read the "
                "motor's commands as requests"};
        }
        if (motor.master_id) {
            const std::uint16_t master = *motor.master_id & 0x7FFU;
            if (std::ranges::find(wanted, master) != wanted.end()) {
                return ValueRefusal{"a motor id whose command ids (" + id_list(wanted) +
                                        ") leave out its master id " + id_text(master),
                                    std::string(kOwnAnswers)};
            }
        }
    }
    const std::optional<float> bound = number == 21   ? std::optional(kPMaxBound)
                                       : number == 22 ? std::optional(kVMaxBound)
                                       : number == 23 ? std::optional(kTMaxBound)
                                                      : std::nullopt;
    if (bound) {
        const float range = float_of(value);
        if (!(range > 0.0F)) {
            return ValueRefusal{"a positive number", std::string(kCannotTake)};
        }
        if (range > *bound) {
            support::NumberBuffer buffer;
            return ValueRefusal{
                "a number up to " + std::string(support::shortest_text(*bound, buffer)),
                "no model's range is more than half that, and MIT values scaled to a wider "
                "range lose their precision"};
        }
    }
    return std::nullopt;
}

}  // namespace axiolink::damiao
