#include "damiao/driver.hpp"

#include <chrono>
#include <thread>
#include <utility>

namespace axiolink::damiao {
namespace {

using transport::CanFrame;
using transport::CanId;
using transport::CanTransport;
using transport::Payload;

constexpr std::size_t kFeedbackLength = 8;
constexpr std::uint16_t kRegisterRequestId = 0x7FF;
constexpr std::uint8_t kRegisterRead = 0x33;
constexpr std::uint8_t kRegisterWrite = 0x55;

template <class Detail>
std::unexpected<Error> fail(Detail detail) {
    return std::unexpected(Error(std::move(detail)));
}

constexpr CanId standard_id(std::uint32_t value) {
    return CanId::standard(static_cast<std::uint16_t>(value & 0x7FFU));
}

constexpr std::uint8_t byte_of(std::uint32_t value, unsigned index) {
    return static_cast<std::uint8_t>(value >> (8 * index));
}

// The motor id travels as its full 16 bits here, unlike the 11-bit cut of
// command frames.
CanFrame register_request(std::uint16_t motor_id, std::uint8_t operation, std::uint8_t number,
                          std::uint32_t value) {
    const FrameBytes data{
        byte_of(motor_id, 0), byte_of(motor_id, 1), operation,         number,
        byte_of(value, 0),    byte_of(value, 1),    byte_of(value, 2), byte_of(value, 3)};
    return CanFrame{standard_id(kRegisterRequestId), Payload(data), false, false};
}

std::uint32_t little_endian_u32(const Payload& data, std::size_t offset) {
    return std::uint32_t{data[offset]} | std::uint32_t{data[offset + 1]} << 8U |
           std::uint32_t{data[offset + 2]} << 16U | std::uint32_t{data[offset + 3]} << 24U;
}

Result<std::uint32_t> read_control_mode(const Damiao& driver, CanTransport& bus) {
    const Result<RegisterValue> value = driver.read_register(bus, kControlModeRegister);
    if (!value) {
        return std::unexpected(value.error());
    }
    if (value->type != RegisterType::Uint32) {
        return fail(
            Error::RegisterTypeMismatch{kControlModeRegister, RegisterType::Uint32, value->type});
    }
    return value->payload;
}

}  // namespace

CanFrame register_read_request(std::uint16_t motor_id, std::uint8_t number) {
    return register_request(motor_id, kRegisterRead, number, 0);
}

// Neither the reply's id nor its motor id bytes are compared: matching on the
// read marker and the register alone finds the reply wherever it is sent.
bool is_register_reply(const CanFrame& frame, std::uint8_t number) noexcept {
    const Payload& data = frame.data;
    return data.size() == 8 && data[2] == kRegisterRead && data[3] == number;
}

std::uint32_t register_reply_payload(const CanFrame& frame) noexcept {
    return little_endian_u32(frame.data, 4);
}

void ThreadSleeper::sleep_for(transport::Duration duration) {
    std::this_thread::sleep_for(std::chrono::seconds(duration.seconds) +
                                std::chrono::nanoseconds(duration.nanos));
}

Result<MotorState> Damiao::cmd_at_arbitration(CanTransport& bus, std::uint32_t arbitration_id,
                                              const FrameBytes& data) const {
    const CanFrame command{standard_id(arbitration_id), Payload(data), false, false};
    const transport::TransportResult<CanFrame> reply =
        bus.request(command, standard_id(master_id_), timeout_);
    if (!reply) {
        return fail(Error::Transport{reply.error()});
    }
    if (reply->data.size() < kFeedbackLength) {
        return fail(Error::ShortFeedback{reply->data});
    }
    return decode_feedback(reply->data.bytes(), limits_);
}

Result<MotorState> Damiao::enable(CanTransport& bus) const {
    return cmd_at_arbitration(bus, motor_id_, special_command_bytes(kEnableCode));
}

Result<MotorState> Damiao::disable(CanTransport& bus) const {
    return cmd_at_arbitration(bus, motor_id_, special_command_bytes(kDisableCode));
}

Result<MotorState> Damiao::set_zero(CanTransport& bus) const {
    return cmd_at_arbitration(bus, motor_id_, special_command_bytes(kSetZeroCode));
}

Result<MotorState> Damiao::clear_error(CanTransport& bus) const {
    return cmd_at_arbitration(bus, motor_id_, special_command_bytes(kClearErrorCode));
}

Result<MotorState> Damiao::mit_control(CanTransport& bus, const MitSetpoint& setpoint) const {
    const std::expected<FrameBytes, InvalidLimit> data = encode(limits_, setpoint);
    if (!data) {
        return fail(Error::InvalidLimits{data.error()});
    }
    return cmd_at_arbitration(bus, motor_id_, *data);
}

Result<MotorState> Damiao::control(CanTransport& bus, const ControlSetpoint& setpoint) const {
    const std::expected<FrameBytes, InvalidLimit> data = encode_mode_frame(limits_, setpoint);
    if (!data) {
        return fail(Error::InvalidLimits{data.error()});
    }
    return cmd_at_arbitration(bus, std::uint32_t{motor_id_} + mode_id_offset(setpoint), *data);
}

Result<RegisterValue> Damiao::read_register(CanTransport& bus, std::uint8_t number) const {
    const std::optional<RegisterInfo> info = find_register(number);
    if (!info) {
        return fail(Error::UnknownRegister{number});
    }
    // Replies are matched by their data alone, at any identifier; every other
    // frame is dropped while the time-out runs.
    const transport::TransportResult<CanFrame> reply = bus.send_and_await(
        register_read_request(motor_id_, number), timeout_,
        [number](const CanFrame& frame) { return is_register_reply(frame, number); });
    if (!reply) {
        return fail(Error::Transport{reply.error()});
    }
    return RegisterValue{info->type, register_reply_payload(*reply)};
}

Result<void> Damiao::write_register(CanTransport& bus, std::uint8_t number,
                                    RegisterValue value) const {
    const std::optional<RegisterInfo> info = find_register(number);
    if (!info) {
        return fail(Error::UnknownRegister{number});
    }
    if (!info->writable) {
        return fail(Error::ReadOnlyRegister{number});
    }
    if (auto sent = bus.send(register_request(motor_id_, kRegisterWrite, number, value.payload));
        !sent) {
        return fail(Error::Transport{sent.error()});
    }
    return {};
}

Result<void> Damiao::ensure_control_mode(CanTransport& bus, std::uint8_t mode,
                                         Sleeper& sleeper) const {
    const Result<std::uint32_t> current = read_control_mode(*this, bus);
    if (!current) {
        return std::unexpected(current.error());
    }
    if (*current == mode) {
        return {};
    }
    if (auto written = write_register(bus, kControlModeRegister, {RegisterType::Uint32, mode});
        !written) {
        return written;
    }
    sleeper.sleep_for(kModeSettlingDelay);
    const Result<std::uint32_t> reported = read_control_mode(*this, bus);
    if (!reported) {
        return std::unexpected(reported.error());
    }
    if (*reported != mode) {
        return fail(Error::ModeVerificationFailed{mode, static_cast<std::uint8_t>(*reported)});
    }
    return {};
}

Result<void> Damiao::ensure_control_mode(CanTransport& bus, std::uint8_t mode) const {
    ThreadSleeper sleeper;
    return ensure_control_mode(bus, mode, sleeper);
}

}  // namespace axiolink::damiao
