#include "dmctl/state_report.hpp"

#include "dmctl/registers.hpp"
#include "support/number_text.hpp"

namespace axiolink::dmctl {
namespace {

std::string signed_four(float value) {
    support::NumberBuffer buffer;
    const std::string_view text = support::four_decimal_text(value, buffer);
    return (text.starts_with('-') ? "" : "+") + std::string(text);
}

}  // namespace

std::string state_text(const damiao::MotorState& state) {
    return std::string(status_text(state.error)) + " (error " + std::to_string(state.error) +
           "), position " + signed_four(state.position) + " rad, velocity " +
           signed_four(state.velocity) + " rad/s, torque " + signed_four(state.torque) +
           " N·m, t_mos " + std::to_string(state.t_mos) + " °C, t_rotor " +
           std::to_string(state.t_rotor) + " °C";
}

void state_json(Json& json, const damiao::MotorState& state) {
    json.begin_object()
        .field("motor_id", state.motor_id)
        .field("error", state.error)
        .field("status", status_text(state.error))
        .field("position", state.position)
        .field("velocity", state.velocity)
        .field("torque", state.torque)
        .field("t_mos", state.t_mos)
        .field("t_rotor", state.t_rotor)
        .end_object();
}

}  // namespace axiolink::dmctl
