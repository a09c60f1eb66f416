// MIT packing and feedback decoding.
//
// encode refuses exactly the limits that are negative or NaN (the first in
// field order); otherwise every field is monotonic in its value, clamps at
// the ends of its range and packs NaN as 0. decode_feedback then encode of
// the decoded values lands within one step of the raw values decoded, for
// every limit where the single-precision steps are meaningful.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "damiao/mit.hpp"
#include "fuzz_input.hpp"

namespace {

using axiolink::damiao::decode_feedback;
using axiolink::damiao::encode;
using axiolink::damiao::FrameBytes;
using axiolink::damiao::LimitField;
using axiolink::damiao::MitLimits;
using axiolink::damiao::MitSetpoint;
using axiolink::fuzzing::FuzzInput;

constexpr std::uint32_t kPositionScale = 0xFFFF;
constexpr std::uint32_t kFieldScale = 0xFFF;

// The five raw fields of a command frame: q, dq, kp, kd, tau.
std::array<std::uint32_t, 5> command_fields(const FrameBytes& b) {
    return {std::uint32_t{b[0]} << 8 | b[1], std::uint32_t{b[2]} << 4 | b[3] >> 4,
            (std::uint32_t{b[3]} & 0xF) << 8 | b[4], std::uint32_t{b[5]} << 4 | b[6] >> 4,
            (std::uint32_t{b[6]} & 0xF) << 8 | b[7]};
}

bool is_refused(float limit) {
    return std::isnan(limit) || limit < 0.0F;
}

// Limits where a step of the packing is well above the float resolution and
// no intermediate overflows.
bool is_moderate(float limit) {
    return limit >= 1e-30F && limit <= 1e30F;
}

void check_refusal(const MitLimits& limits) {
    const std::array<float, 5> in_order{limits.p_max, limits.v_max, limits.kp_max, limits.kd_max,
                                        limits.t_max};
    const auto* first = std::ranges::find_if(in_order, is_refused);
    const auto encoded = encode(limits, MitSetpoint{});
    if (first == in_order.end()) {
        FUZZ_CHECK(encoded.has_value());
        return;
    }
    FUZZ_CHECK(!encoded.has_value());
    FUZZ_CHECK(encoded.error().field == static_cast<LimitField>(first - in_order.begin()));
    FUZZ_CHECK(std::memcmp(&encoded.error().value, first, sizeof(float)) == 0);
}

// Field `index` of the command frame for the values `a` and `b` of `field`,
// everything else as in `base`: NaN packs as 0, order is kept, and values
// past either end of the range pack as that end.
void check_field_order(const MitLimits& limits, MitSetpoint base, float MitSetpoint::*field,
                       std::size_t index, float max, bool symmetric, float a, float b) {
    const std::uint32_t scale = index == 0 ? kPositionScale : kFieldScale;
    const auto raw_of = [&](float value) {
        MitSetpoint setpoint = base;
        setpoint.*field = value;
        return command_fields(encode(limits, setpoint).value())[index];
    };
    if (std::isnan(a) || std::isnan(b)) {
        FUZZ_CHECK(raw_of(std::isnan(a) ? a : b) == 0);
        return;
    }
    FUZZ_CHECK(raw_of(std::min(a, b)) <= raw_of(std::max(a, b)));
    if (is_moderate(max)) {
        // The top of the range can round to one below full scale; above it,
        // every value packs as the limit itself.
        FUZZ_CHECK(raw_of(max) >= scale - 1 && raw_of(std::max(a, max)) == raw_of(max));
        const float low = symmetric ? -max : 0.0F;
        FUZZ_CHECK(raw_of(low) == 0 && raw_of(std::min(a, low)) == 0);
    }
}

void check_round_trip(const MitLimits& limits, const std::array<std::uint8_t, 8>& feedback) {
    const auto state = decode_feedback(feedback, limits);
    FUZZ_CHECK(state.motor_id == (feedback[0] & 0xF) && state.error == feedback[0] >> 4);
    FUZZ_CHECK(state.t_mos == feedback[6] && state.t_rotor == feedback[7]);
    if (!is_moderate(limits.p_max) || !is_moderate(limits.v_max) || !is_moderate(limits.t_max)) {
        return;
    }
    const std::array<std::uint32_t, 3> raw{std::uint32_t{feedback[1]} << 8 | feedback[2],
                                           std::uint32_t{feedback[3]} << 4 | feedback[4] >> 4,
                                           (std::uint32_t{feedback[4]} & 0xF) << 8 | feedback[5]};
    const auto command =
        encode(limits, MitSetpoint{state.position, state.velocity, 0.0F, 0.0F, state.torque});
    const auto fields = command_fields(command.value());
    const std::array<std::uint32_t, 3> repacked{fields[0], fields[1], fields[4]};
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const std::uint32_t difference =
            raw[i] > repacked[i] ? raw[i] - repacked[i] : repacked[i] - raw[i];
        FUZZ_CHECK(difference <= 1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    MitLimits limits{input.take_float(), input.take_float(), input.take_float(), input.take_float(),
                     input.take_float()};
    check_refusal(limits);
    // The rest needs limits encode accepts: take their magnitudes.
    for (float* limit :
         {&limits.p_max, &limits.v_max, &limits.kp_max, &limits.kd_max, &limits.t_max}) {
        *limit = std::isnan(*limit) ? 1.0F : std::fabs(*limit);
    }
    const MitSetpoint base{input.take_float(), input.take_float(), input.take_float(),
                           input.take_float(), input.take_float()};
    const float a = input.take_float();
    const float b = input.take_float();
    check_field_order(limits, base, &MitSetpoint::q, 0, limits.p_max, true, a, b);
    check_field_order(limits, base, &MitSetpoint::dq, 1, limits.v_max, true, a, b);
    check_field_order(limits, base, &MitSetpoint::kp, 2, limits.kp_max, false, a, b);
    check_field_order(limits, base, &MitSetpoint::kd, 3, limits.kd_max, false, a, b);
    check_field_order(limits, base, &MitSetpoint::tau, 4, limits.t_max, true, a, b);

    std::array<std::uint8_t, 8> feedback{};
    const auto bytes = input.take_bytes(feedback.size());
    std::ranges::copy(bytes, feedback.begin());
    check_round_trip(limits, feedback);
    return 0;
}
