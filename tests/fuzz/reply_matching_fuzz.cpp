// Reply matching of the driver's exchanges over a scripted bus whose reads
// bring arbitrary frames, errors and delays.
//
// The outcome is checked against the documented rules, replayed here step
// by step: every read is given exactly what is left of the time-out counted
// from the completed send; a read that brings nothing in time, or an error,
// ends the wait; the first frame taken ends it with that frame. A command
// takes the first frame at the Standard master id (fewer than 8 bytes: a
// short-feedback error); a register read takes the first 8-byte frame with
// the read marker and the register, at any identifier. An interruption check,
// when the input sets one, either lets an interrupted read end the wait or
// has the wait read on, and may end the wait between reads.

#include <cerrno>
#include <cstring>
#include <optional>
#include <variant>

#include "core/scripted_transport.hpp"
#include "damiao/driver.hpp"
#include "fuzz_input.hpp"

namespace {

using axiolink::damiao::Damiao;
using axiolink::damiao::decode_feedback;
using axiolink::damiao::Error;
using axiolink::damiao::kRegisterTable;
using axiolink::damiao::MitSetpoint;
using axiolink::damiao::RegisterValue;
using axiolink::fuzzing::FuzzInput;
using axiolink::testing::ScriptedTransport;
using axiolink::testing::to_nanos;
using axiolink::transport::CanFrame;
using axiolink::transport::CanId;
using axiolink::transport::Duration;
using axiolink::transport::Payload;
using axiolink::transport::TransportError;

constexpr std::size_t kMaxReads = 24;

// Frames mostly near the ids in play, so that matches and near misses are
// both common.
CanFrame take_frame(FuzzInput& input) {
    const std::uint8_t shape = input.take<std::uint8_t>();
    const std::uint32_t value = input.take<std::uint16_t>() & ((shape & 1U) != 0 ? 0x1FU : 0x7FFU);
    const CanId id = (shape & 2U) != 0 ? CanId::extended(value)
                                       : CanId::standard(static_cast<std::uint16_t>(value));
    const std::size_t length = (shape >> 2U) % 10U;  // 0..9: short, exact and long replies
    std::uint8_t bytes[9]{};
    const auto given = input.take_bytes(length);
    std::memcpy(bytes, given.data(), given.size());
    if ((shape & 0x80U) != 0 && length >= 4) {
        bytes[2] = 0x33;  // a register-read reply, possibly for another register
    }
    return CanFrame{id, Payload(std::span(bytes, length))};
}

ScriptedTransport::Read take_read(FuzzInput& input) {
    const std::uint8_t kind = input.take<std::uint8_t>();
    const std::uint64_t takes_ns = input.take<std::uint16_t>() * 1'000ULL;
    if (kind < 16) {
        return {TransportError::backend(kind + 1), takes_ns};
    }
    return {take_frame(input), takes_ns, kind >= 224};
}

// The interruption check of one input: whether one is set, what it says
// after an interrupted read, and at which check between reads (counted from
// 1; 0 never) it ends the wait.
struct CheckPolicy {
    bool set = false;
    bool end_interrupted = true;
    unsigned stop_between_at = 0;
};
CheckPolicy g_policy;
unsigned g_between_checks = 0;

bool scripted_check(bool read_interrupted) noexcept {
    if (read_interrupted) {
        return g_policy.end_interrupted;
    }
    return ++g_between_checks == g_policy.stop_between_at;
}

// What the exchange must end with, replayed from the script: the frame
// taken, or the transport error. Also checks each read's time-out.
template <class Accept>
std::variant<CanFrame, TransportError> replay(const std::vector<ScriptedTransport::Read>& script,
                                              const ScriptedTransport& bus,
                                              std::uint64_t timeout_ns, Accept accept) {
    std::uint64_t elapsed = 0;
    unsigned between_checks = 0;
    for (std::size_t i = 0;; ++i) {
        if (elapsed > timeout_ns) {
            return TransportError::timeout();
        }
        const std::uint64_t left = timeout_ns - elapsed;
        FUZZ_CHECK(i < bus.read_timeouts.size() && to_nanos(bus.read_timeouts[i]) == left);
        if (i == script.size() || (script[i].takes_ns > left && !script[i].late)) {
            return TransportError::timeout();
        }
        elapsed += script[i].takes_ns;
        if (const auto* error = std::get_if<TransportError>(&script[i].result)) {
            const bool read_on = g_policy.set && !g_policy.end_interrupted &&
                                 *error == TransportError::backend(EINTR);
            if (!read_on) {
                return *error;
            }
            continue;
        }
        if (accept(std::get<CanFrame>(script[i].result))) {
            return std::get<CanFrame>(script[i].result);
        }
        if (g_policy.set && ++between_checks == g_policy.stop_between_at) {
            return TransportError::backend(EINTR);
        }
    }
}

std::optional<TransportError> transport_error_of(const Error& error) {
    if (const auto* transport = std::get_if<Error::Transport>(&error.detail())) {
        return transport->error;
    }
    return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    const std::uint16_t motor_id = input.take<std::uint8_t>() & 0x1FU;
    const std::uint16_t master_id = input.take<std::uint8_t>() & 0x1FU;
    const std::uint64_t timeout_ns = input.take<std::uint16_t>() * 1'000ULL;
    const Damiao driver(motor_id, master_id, {},
                        Duration{0, static_cast<std::uint32_t>(timeout_ns)});
    const bool register_read = input.take_bool();
    const auto& register_info = kRegisterTable[input.take<std::uint8_t>() % kRegisterTable.size()];

    const std::uint8_t check = input.take<std::uint8_t>();
    g_policy = {(check & 1U) != 0, (check & 2U) != 0, (check >> 2U) % 8U};
    g_between_checks = 0;

    ScriptedTransport bus;
    if (g_policy.set) {
        bus.set_interruption_check(scripted_check);
    }
    std::vector<ScriptedTransport::Read> script;
    while (!input.empty() && script.size() < kMaxReads) {
        script.push_back(take_read(input));
        bus.reads.push_back(script.back());
    }

    if (register_read) {
        const auto result = driver.read_register(bus, register_info.number);
        const auto expected =
            replay(script, bus, timeout_ns, [&register_info](const CanFrame& frame) {
                return frame.data.size() == 8 && frame.data[2] == 0x33 &&
                       frame.data[3] == register_info.number;
            });
        if (const auto* frame = std::get_if<CanFrame>(&expected)) {
            std::uint32_t payload = 0;
            std::memcpy(&payload, frame->data.data() + 4, sizeof payload);  // little-endian host
            FUZZ_CHECK(result && *result == (RegisterValue{register_info.type, payload}));
        } else {
            FUZZ_CHECK(!result &&
                       transport_error_of(result.error()) == std::get<TransportError>(expected));
        }
        return 0;
    }

    const auto result = driver.mit_control(bus, MitSetpoint{});
    const auto expected = replay(script, bus, timeout_ns, [master_id](const CanFrame& frame) {
        return frame.id == CanId::standard(master_id);
    });
    FUZZ_CHECK(bus.sent.size() == 1 && bus.sent[0].id == CanId::standard(motor_id));
    if (const auto* frame = std::get_if<CanFrame>(&expected)) {
        if (frame->data.size() < 8) {
            FUZZ_CHECK(!result &&
                       std::holds_alternative<Error::ShortFeedback>(result.error().detail()));
            FUZZ_CHECK(std::get<Error::ShortFeedback>(result.error().detail()).data == frame->data);
        } else {
            const auto decoded = decode_feedback(frame->data.bytes(), driver.limits());
            FUZZ_CHECK(result && result->motor_id == decoded.motor_id &&
                       result->error == decoded.error && result->position == decoded.position &&
                       result->velocity == decoded.velocity && result->torque == decoded.torque &&
                       result->t_mos == decoded.t_mos && result->t_rotor == decoded.t_rotor);
        }
    } else {
        FUZZ_CHECK(!result &&
                   transport_error_of(result.error()) == std::get<TransportError>(expected));
    }
    return 0;
}
