#pragma once
// What dmctl knows about the registers of the driver's table beyond their
// shared names and value parsing: how a value reads to a person.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "damiao/driver.hpp"
#include "damiao/register_names.hpp"

namespace axiolink::dmctl {

using damiao::float_of;
using damiao::kRegisterNames;
using damiao::mode_name;
using damiao::parse_mode;
using damiao::parse_register;
using damiao::parse_value;
using damiao::register_name;
using damiao::RegisterName;
using damiao::value_refusal;

// The value as a person reads it: "17 (0x11)", "3 (VEL)", "12.5 rad".
std::string value_text(std::uint8_t number, const damiao::RegisterValue& value);

// The meaning of a feedback error code: "disabled", "enabled",
// "over-voltage", ...; "unknown code" for codes the firmware does not define.
std::string_view status_text(std::uint8_t error) noexcept;

}  // namespace axiolink::dmctl
