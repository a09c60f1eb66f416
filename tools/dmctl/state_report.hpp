#pragma once
// How dmctl shows one decoded feedback: a text line or a JSON object.

#include <string>

#include "damiao/mit.hpp"
#include "dmctl/json.hpp"

namespace axiolink::dmctl {

// "enabled (error 1), position +0.1234 rad, velocity ..., t_rotor 25 °C"
std::string state_text(const damiao::MotorState& state);
// {"motor_id":1,"error":1,"status":"enabled","position":...}
void state_json(Json& json, const damiao::MotorState& state);

}  // namespace axiolink::dmctl
