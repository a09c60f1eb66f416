#pragma once
// The per-motor Damiao driver: command exchanges, register access and
// control-mode switching.
//
// A `Damiao` is an immutable plain value (ids, limits, reply timeout). It
// owns no transport: every operation borrows one for the duration of the call
// and needs exclusive use of it for that whole time; the caller serialises.
// Reading a `Damiao` from several threads at once is safe.

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>

#include "damiao/error.hpp"
#include "damiao/mit.hpp"
#include "damiao/modes.hpp"
#include "transport/can.hpp"

namespace axiolink::damiao {

// A typed 32-bit register value; for Uint32 the payload is the number itself.
struct RegisterValue {
    RegisterType type = RegisterType::Uint32;
    std::uint32_t payload = 0;
    friend constexpr bool operator==(const RegisterValue&, const RegisterValue&) = default;
};

struct RegisterInfo {
    std::uint8_t number;
    RegisterType type;
    bool writable;
};

// The registers the driver agrees to touch. Only the control mode is used by
// the system itself; the rest are listed so that general register access
// refuses the right things.
inline constexpr std::uint8_t kControlModeRegister = 10;
inline constexpr std::array<RegisterInfo, 9> kRegisterTable{{
    {7, RegisterType::Uint32, true},                     // master id (feedback id)
    {8, RegisterType::Uint32, true},                     // the motor's own CAN id
    {9, RegisterType::Uint32, true},                     // command timeout
    {kControlModeRegister, RegisterType::Uint32, true},  // control mode, 1 to 4
    {13, RegisterType::Uint32, false},                   // hardware version, informational
    {14, RegisterType::Uint32, false},                   // firmware version, informational
    {21, RegisterType::Float, true},                     // p_max of MIT packing
    {22, RegisterType::Float, true},                     // v_max
    {23, RegisterType::Float, true},                     // t_max
}};

constexpr std::optional<RegisterInfo> find_register(std::uint8_t number) noexcept {
    const auto* it = std::ranges::find(kRegisterTable, number, &RegisterInfo::number);
    if (it == kRegisterTable.end()) {
        return std::nullopt;
    }
    return *it;
}

// Blocks the calling thread. Mode switching pauses through this so that tests
// can observe the pause and fake its passing.
class Sleeper {
public:
    virtual void sleep_for(transport::Duration duration) = 0;

protected:
    ~Sleeper() = default;
};

// std::this_thread::sleep_for.
class ThreadSleeper final : public Sleeper {
public:
    void sleep_for(transport::Duration duration) override;
};

// The special commands: seven bytes 0xFF, then the command's code, at the
// motor id.
inline constexpr std::uint8_t kEnableCode = 0xFC;
inline constexpr std::uint8_t kDisableCode = 0xFD;
inline constexpr std::uint8_t kSetZeroCode = 0xFE;
inline constexpr std::uint8_t kClearErrorCode = 0xFB;
constexpr FrameBytes special_command_bytes(std::uint8_t code) noexcept {
    return {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, code};
}

// A register read request of `motor_id` (at 0x7FF), and whether `frame` is
// the answer to a read of register `number`: matched by its data alone (8
// bytes, 0x33, the register), at any id, as motors answer at various ids.
transport::CanFrame register_read_request(std::uint16_t motor_id, std::uint8_t number);
bool is_register_reply(const transport::CanFrame& frame, std::uint8_t number) noexcept;
// The 32-bit value such an answer carries (little-endian, bytes 4 to 7).
std::uint32_t register_reply_payload(const transport::CanFrame& frame) noexcept;

// Time the motor gets to apply a control-mode write before it is read back.
inline constexpr transport::Duration kModeSettlingDelay = transport::Duration::from_millis(100);

class Damiao {
public:
    // Ids are not range-checked: they are cut to 11 bits only when a frame is
    // built or matched.
    constexpr Damiao(std::uint16_t motor_id, std::uint16_t master_id, MitLimits limits = {},
                     transport::Duration timeout = transport::Duration::from_millis(20)) noexcept
        : motor_id_(motor_id), master_id_(master_id), limits_(limits), timeout_(timeout) {}

    constexpr std::uint16_t motor_id() const noexcept { return motor_id_; }
    constexpr std::uint16_t master_id() const noexcept { return master_id_; }
    constexpr const MitLimits& limits() const noexcept { return limits_; }
    constexpr transport::Duration timeout() const noexcept { return timeout_; }

    // One exchange: sends `data` as a classic frame at the Standard id
    // `arbitration_id & 0x7FF` and decodes the first frame that arrives at
    // the Standard id `master_id & 0x7FF` within the timeout, counted from
    // the completed send. Fails with Transport (send, receive, timeout) or
    // ShortFeedback (a reply of fewer than 8 data bytes). Allocates nothing.
    Result<MotorState> cmd_at_arbitration(transport::CanTransport& bus,
                                          std::uint32_t arbitration_id,
                                          const FrameBytes& data) const;

    // The special commands, at motor_id: FF x7 then FC / FD / FE / FB.
    Result<MotorState> enable(transport::CanTransport& bus) const;
    Result<MotorState> disable(transport::CanTransport& bus) const;
    Result<MotorState> set_zero(transport::CanTransport& bus) const;
    Result<MotorState> clear_error(transport::CanTransport& bus) const;

    // One MIT command at motor_id, packed with the driver's limits. Invalid
    // limits fail with InvalidLimits and nothing is sent.
    Result<MotorState> mit_control(transport::CanTransport& bus, const MitSetpoint& setpoint) const;
    // One setpoint in the frame of its own mode, at motor_id + the mode's
    // offset. Does not check or switch the motor's mode.
    Result<MotorState> control(transport::CanTransport& bus, const ControlSetpoint& setpoint) const;

    // Sends a read request at 0x7FF and waits up to the timeout for a reply
    // matched by its data alone (8 bytes, 0x33, the register), at any id;
    // other frames are dropped. UnknownRegister before sending; Transport for
    // send/receive failures and the timeout.
    Result<RegisterValue> read_register(transport::CanTransport& bus, std::uint8_t number) const;
    // Sends one write request at 0x7FF and returns without waiting for any
    // answer. UnknownRegister / ReadOnlyRegister before sending; Transport.
    Result<void> write_register(transport::CanTransport& bus, std::uint8_t number,
                                RegisterValue value) const;

    // Reads the control-mode register and, when it differs from `mode`,
    // writes it, pauses kModeSettlingDelay on `sleeper` and reads it back.
    // Fails with the reads' and the write's errors, RegisterTypeMismatch, or
    // ModeVerificationFailed (carrying the low byte read back). Takes up to
    // two timeouts plus the pause.
    Result<void> ensure_control_mode(transport::CanTransport& bus, std::uint8_t mode,
                                     Sleeper& sleeper) const;
    Result<void> ensure_control_mode(transport::CanTransport& bus, std::uint8_t mode) const;

private:
    std::uint16_t motor_id_;
    std::uint16_t master_id_;
    MitLimits limits_;
    transport::Duration timeout_;
};

}  // namespace axiolink::damiao
