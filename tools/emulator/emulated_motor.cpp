#include "emulator/emulated_motor.hpp"

#include <bit>
#include <span>

namespace axiolink::emulator {
namespace {

using transport::CanFrame;
using transport::CanId;
using transport::IdKind;
using transport::MonotonicTime;
using transport::Payload;

constexpr std::uint32_t kStandardMask = 0x7FF;
constexpr std::uint32_t kRegisterId = 0x7FF;
constexpr std::uint32_t kModeIdStep = 0x100;
constexpr std::uint8_t kNoiseFill = 0xEE;
constexpr std::uint64_t kNanosPerMilli = 1'000'000;

// The k-th (from 1) noise id: the ids above the master id, wrapping within
// 11 bits and skipping the register id, so never the master id itself.
std::uint16_t noise_id(std::uint32_t master, std::uint32_t k) noexcept {
    std::uint32_t id = master & kStandardMask;
    for (std::uint32_t i = 0; i < k; ++i) {
        id = (id + 1) & kStandardMask;
        if (id == kRegisterId) {
            id = 0;
        }
    }
    return static_cast<std::uint16_t>(id);
}

Payload payload_of(std::span<const std::uint8_t> bytes) noexcept {
    return Payload(bytes);
}

std::size_t table_index(std::uint8_t number) noexcept {
    const auto* it =
        std::ranges::find(damiao::kRegisterTable, number, &damiao::RegisterInfo::number);
    return static_cast<std::size_t>(it - damiao::kRegisterTable.begin());
}

// The power-on contents of the register table for one configured motor.
std::array<std::uint32_t, damiao::kRegisterTable.size()> initial_registers(
    const MotorConfig& config) noexcept {
    std::array<std::uint32_t, damiao::kRegisterTable.size()> values{};
    const auto set = [&](std::uint8_t number, std::uint32_t value) {
        values[table_index(number)] = value;
    };
    set(7, config.master_id);
    set(8, config.motor_id);
    set(9, 0);  // no command time-out, as shipped
    set(13, EmulatedMotor::kHardwareVersion);
    set(14, EmulatedMotor::kFirmwareVersion);
    set(21, std::bit_cast<std::uint32_t>(config.limits.p_max));
    set(22, std::bit_cast<std::uint32_t>(config.limits.v_max));
    set(23, std::bit_cast<std::uint32_t>(config.limits.t_max));
    return values;
}

}  // namespace

void Outbox::push(const Outgoing& outgoing) noexcept {
    if (frames_.size() >= capacity_) {
        ++dropped_;
        return;
    }
    frames_.push_back(outgoing);
}

EmulatedMotor::EmulatedMotor(const MotorConfig& config, MonotonicTime start) noexcept
    : config_(config),
      dynamics_(config.limits, start),
      control_mode_(config.control_mode),
      registers_(initial_registers(config)) {}

std::optional<std::uint32_t> EmulatedMotor::register_value(std::uint8_t number) const noexcept {
    if (number == kControlModeRegister) {
        return config_.faults.report_mode.value_or(control_mode_);
    }
    if (!damiao::find_register(number)) {
        return std::nullopt;
    }
    return registers_[table_index(number)];
}

void EmulatedMotor::on_frame(const CanFrame& frame, MonotonicTime now, Outbox& out) {
    if (frame.fd || frame.id.kind != IdKind::Standard) {
        return;
    }
    if (frame.id.value == kRegisterId) {
        const auto request = parse_register_request(frame.data.bytes());
        if (request && request->motor_id == config_.motor_id) {
            on_register_request(*request, now, out);
        }
        return;
    }
    on_command(frame, now, out);
}

void EmulatedMotor::on_command(const CanFrame& frame, MonotonicTime now, Outbox& out) {
    const std::uint32_t offset = (frame.id.value - config_.motor_id) & kStandardMask;
    if (offset % kModeIdStep != 0 || offset / kModeIdStep > 3 || frame.data.size() != 8) {
        return;
    }
    const FrameView data = frame.data.bytes().first<8>();
    const std::uint32_t frame_mode = offset / kModeIdStep + 1;
    const auto special = frame_mode == 1 ? special_command(data) : std::nullopt;
    if (!special && frame_mode != control_mode_) {
        return;
    }
    dynamics_.advance_to(now);
    if (const auto after = config_.faults.overheat_after_ms;
        after && first_enabled_ && dynamics_.enabled() &&
        now.nanos - first_enabled_->nanos >= std::uint64_t{*after} * kNanosPerMilli) {
        dynamics_.latch_fault(MotorDynamics::kOverheat);
    }
    if (special) {
        switch (*special) {
            case SpecialCommand::Enable:
                dynamics_.enable();
                if (!first_enabled_) {
                    first_enabled_ = now;
                }
                break;
            case SpecialCommand::Disable:
                dynamics_.disable();
                break;
            case SpecialCommand::SetZero:
                dynamics_.set_zero();
                break;
            case SpecialCommand::ClearError:
                dynamics_.clear_error();
                break;
        }
    } else if (const auto setpoint = decode_mode_frame(frame_mode, data, config_.limits)) {
        dynamics_.command(*setpoint);
    }
    const auto state = dynamics_.state(static_cast<std::uint8_t>(config_.motor_id & 0x0FU));
    answer(AnswerKind::Feedback, encode_feedback(state, config_.limits), now, out);
}

void EmulatedMotor::on_register_request(const RegisterRequest& request, MonotonicTime now,
                                        Outbox& out) {
    const std::optional<damiao::RegisterInfo> info = damiao::find_register(request.reg);
    if (!info) {
        return;
    }
    const std::uint16_t reply_motor_id =
        config_.faults.register_reply_motor_id.value_or(config_.motor_id);
    if (request.op == RegisterOp::Read) {
        answer(AnswerKind::RegisterRead,
               register_reply(reply_motor_id, RegisterOp::Read, request.reg,
                              *register_value(request.reg)),
               now, out);
        return;
    }
    if (!info->writable) {
        return;
    }
    if (!config_.faults.ignore_writes) {
        if (request.reg != kControlModeRegister) {
            registers_[table_index(request.reg)] = request.value;
        } else if (request.value != control_mode_) {
            control_mode_ = request.value;
            dynamics_.drop_command();
        }
    }
    answer(AnswerKind::RegisterWrite,
           register_reply(reply_motor_id, RegisterOp::Write, request.reg, request.value), now, out);
}

void EmulatedMotor::answer(AnswerKind kind, const FrameBytes& data, MonotonicTime now,
                           Outbox& out) const {
    const Faults& faults = config_.faults;
    if (faults.silent) {
        return;
    }
    const MonotonicTime due{now.nanos + faults.delay_ms * kNanosPerMilli};
    const std::uint32_t master = config_.master_id & kStandardMask;
    std::uint32_t reply_value = master;
    if (kind != AnswerKind::Feedback && faults.register_reply_id) {
        reply_value = *faults.register_reply_id & kStandardMask;
    }
    const CanId reply_id{faults.extended_reply ? IdKind::Extended : IdKind::Standard, reply_value};

    std::array<std::uint8_t, 8> noise{};
    noise.fill(kNoiseFill);
    for (std::uint32_t k = 1; k <= std::min(faults.noise, Faults::kMaxNoise); ++k) {
        noise[7] = static_cast<std::uint8_t>(k);
        out.push({CanFrame{CanId::standard(noise_id(master, k)), payload_of(noise)}, due});
    }
    if (kind == AnswerKind::RegisterRead && faults.register_junk) {
        // Both junk frames carry the complement of the true value, so a reader
        // that takes either one reports a visibly wrong value.
        FrameBytes junk = data;
        for (std::size_t i = 4; i < 8; ++i) {
            junk[i] = static_cast<std::uint8_t>(~junk[i]);
        }
        out.push({CanFrame{reply_id, payload_of(std::span(junk).first(7))}, due});
        junk[2] = static_cast<std::uint8_t>(RegisterOp::Write);
        out.push({CanFrame{reply_id, payload_of(junk)}, due});
    }
    const std::size_t length = faults.short_reply.value_or(8);
    out.push(
        {CanFrame{reply_id, payload_of(std::span(data).first(std::min<std::size_t>(length, 8)))},
         due});
}

}  // namespace axiolink::emulator
