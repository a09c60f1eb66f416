#pragma once
// One emulated motor on the bus: which frames it takes, what it answers and
// how a configured misbehaviour (a fault switch) bends the answer.
//
// It takes Standard-id classic frames only: command frames at its motor id
// cut to 11 bits (special commands; MIT frames) and at +0x100, +0x200,
// +0x300 (POS_VEL, VEL, FORCE_POS frames), and register requests at 0x7FF
// that carry its full 16-bit motor id in bytes 0-1. Each command frame of the
// control mode held in register 10, and each special command, is answered by
// one 8-byte feedback frame at the master id; frames of another mode, of
// another length or for another motor change nothing and get no answer. The
// registers are those of the driver's table: a read is answered with the
// value, a write to a writable one is echoed and kept (only the control mode
// changes behaviour: ids and limits written are reported back, not applied);
// requests for other registers, and writes to read-only ones, get no answer.
//
// Pure logic: the caller supplies each frame with the time it arrived and
// sends what the motor answers when each answer frame is due. Not
// thread-safe.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "damiao/driver.hpp"
#include "damiao/mit.hpp"
#include "emulator/motor_dynamics.hpp"
#include "emulator/motor_frames.hpp"
#include "transport/can.hpp"

namespace axiolink::emulator {

// Misbehaviours on purpose, to test how a driver copes. The ones that are not
// register-specific bend every answer, feedback and register replies alike.
struct Faults {
    static constexpr std::uint32_t kMaxNoise = 16;

    bool silent = false;                       // answer nothing; commands still act
    std::uint32_t delay_ms = 0;                // every answer this late
    std::uint32_t noise = 0;                   // frames at other standard ids before each answer
    bool extended_reply = false;               // answers at Extended ids of the same value
    std::optional<std::uint8_t> short_reply;   // answers cut to this many bytes (< 8)
    bool ignore_writes = false;                // register writes echoed but not applied
    std::optional<std::uint32_t> report_mode;  // register 10 reads report this
    std::optional<std::uint16_t> register_reply_id;        // register answers at this standard id
    std::optional<std::uint16_t> register_reply_motor_id;  // in bytes 0-1 of register answers
    bool register_junk = false;  // a 7-byte frame and a 0x55 frame before each read reply
    // The driver stage overheats this long after the motor was first enabled.
    std::optional<std::uint32_t> overheat_after_ms;
};

struct MotorConfig {
    std::uint16_t motor_id = 1;
    std::uint16_t master_id = 0x11;
    std::string_view preset = "dm4310";
    damiao::MitLimits limits;
    std::uint32_t control_mode = 1;  // the power-on value of register 10
    Faults faults;
};

// One frame to send and the time it is due.
struct Outgoing {
    transport::CanFrame frame;
    transport::MonotonicTime due;
};

// The frames answering one received frame, in sending order. Its capacity is
// fixed when it is made, so that filling it never allocates; a frame beyond
// capacity is dropped and counted.
class Outbox {
public:
    explicit Outbox(std::size_t capacity) : capacity_(capacity) { frames_.reserve(capacity); }

    void push(const Outgoing& outgoing) noexcept;
    void clear() noexcept { frames_.clear(); }
    const std::vector<Outgoing>& frames() const noexcept { return frames_; }
    std::size_t dropped() const noexcept { return dropped_; }

private:
    std::size_t capacity_;
    std::vector<Outgoing> frames_;
    std::size_t dropped_ = 0;
};

class EmulatedMotor {
public:
    static constexpr std::uint8_t kControlModeRegister = damiao::kControlModeRegister;
    // What registers 13 and 14 (hardware and firmware version) report.
    static constexpr std::uint32_t kHardwareVersion = 1;
    static constexpr std::uint32_t kFirmwareVersion = 0x1105;
    // Noise, two junk frames and the answer itself.
    static constexpr std::size_t kMaxFramesPerAnswer = Faults::kMaxNoise + 3;

    EmulatedMotor(const MotorConfig& config, transport::MonotonicTime start) noexcept;

    // Reacts to one frame seen on the bus at `now`; appends the answer, if
    // any, to `out`.
    void on_frame(const transport::CanFrame& frame, transport::MonotonicTime now, Outbox& out);

    const MotorConfig& config() const noexcept { return config_; }
    const MotorDynamics& dynamics() const noexcept { return dynamics_; }
    std::uint32_t control_mode() const noexcept { return control_mode_; }
    // The value a read of `number` answers with; nullopt outside the table.
    std::optional<std::uint32_t> register_value(std::uint8_t number) const noexcept;

private:
    enum class AnswerKind : std::uint8_t { Feedback, RegisterRead, RegisterWrite };

    void on_command(const transport::CanFrame& frame, transport::MonotonicTime now, Outbox& out);
    void on_register_request(const RegisterRequest& request, transport::MonotonicTime now,
                             Outbox& out);
    void answer(AnswerKind kind, const FrameBytes& data, transport::MonotonicTime now,
                Outbox& out) const;

    MotorConfig config_;
    MotorDynamics dynamics_;
    std::uint32_t control_mode_;
    std::optional<transport::MonotonicTime> first_enabled_;
    // Indexed like damiao::kRegisterTable; the control mode lives in control_mode_.
    std::array<std::uint32_t, damiao::kRegisterTable.size()> registers_{};
};

}  // namespace axiolink::emulator
