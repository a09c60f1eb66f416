#include "dmctl/registers.hpp"

#include <algorithm>

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

namespace {

// "MIT", "POS_VEL", ...: the frames at command id k carry mode k + 1.
std::string_view mode_of_command_id(std::size_t k) {
    return k == 0 ? "MIT" : mode_name(static_cast<std::uint32_t>(k + 1));
}

std::string motor_text(const BusMotor& motor) {
    return "motor " + id_text(motor.motor_id) + " (master id " + id_text(motor.master_id) + ")";
}

}  // namespace

std::vector<std::uint16_t> clash_candidates(std::uint8_t number, std::uint32_t value) {
    std::vector<std::uint16_t> ids;
    const auto add = [&](std::uint32_t id) {
        const auto cut = static_cast<std::uint16_t>(id & 0x7FFU);
        if (std::ranges::find(ids, cut) == ids.end()) {
            ids.push_back(cut);
        }
    };
    // Command ids lie 0x100 apart: a motor commanded at `value` has an id up
    // to 0x300 below it, and two motors share a command id when their ids
    // are up to 0x300 apart in steps of 0x100 (all in 11 bits).
    for (std::uint32_t step = 0; step <= 0x300; step += 0x100) {
        add(value - step);
        if (number == damiao::kMotorIdRegister) {
            add(value + step);
        }
    }
    return ids;
}

std::optional<std::string> id_clash(std::uint16_t motor_id, std::uint8_t number,
                                    std::uint32_t value, const BusMotor& other) {
    const auto theirs = damiao::command_ids(other.motor_id);
    const std::uint16_t their_master = other.master_id & 0x7FFU;
    const std::string self = "motor " + id_text(motor_id);
    // "the VEL command id of motor 0x01 (master id 0x11)" when `id` is one.
    const auto their_command = [&](std::uint16_t id) -> std::optional<std::string> {
        const auto* found = std::ranges::find(theirs, id);
        if (found == theirs.end()) {
            return std::nullopt;
        }
        return "the " + std::string(mode_of_command_id(std::size_t(found - theirs.begin()))) +
               " command id of " + motor_text(other);
    };
    if (number == damiao::kMasterIdRegister) {
        const std::string head = "master id " + id_text(value) + " is ";
        if (const auto command = their_command(static_cast<std::uint16_t>(value))) {
            return head + *command + ", so " + self + "'s answers would be commands to it";
        }
        if (their_master == value) {
            return head + "where " + motor_text(other) +
                   " answers, so the answers of the two motors could not be told apart";
        }
        return std::nullopt;
    }
    if (number == damiao::kMotorIdRegister) {
        const auto mine = damiao::command_ids(value);
        for (std::size_t k = 0; k < mine.size(); ++k) {
            const std::string head = "motor id " + id_text(value) + "'s " +
                                     std::string(mode_of_command_id(k)) + " command id " +
                                     id_text(mine[k]) + " is ";
            if (const auto command = their_command(mine[k])) {
                return head + *command + ", so both motors would obey the frames sent there";
            }
            if (mine[k] == their_master) {
                return head + "where " + motor_text(other) +
                       " answers, so its answers would be commands to " + self;
            }
        }
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
