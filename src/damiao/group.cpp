#include "damiao/group.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>
#include <optional>
#include <utility>

namespace axiolink::damiao {
namespace {

using transport::BusFrame;
using transport::CanFrame;
using transport::CanId;
using transport::Duration;
using transport::MonotonicTime;
using transport::Payload;
using transport::TransportError;

constexpr std::size_t kFeedbackLength = 8;
// Frames taken in per wake-up: room for every member's answer, or a share
// of a flood.
constexpr std::size_t kWakeFrames = MotorGroup::kMaxMotors;
// A group command goes to one member at most this often per call.
constexpr std::uint8_t kMostSends = 3;
constexpr std::uint16_t kRegisterRequestId = 0x7FF;
constexpr std::size_t kNone = MotorGroup::kMaxMotors;
constexpr std::array<std::string_view, 4> kModeNames{"MIT", "POS_VEL", "VEL", "FORCE_POS"};
constexpr std::uint32_t kModeIdStep = 0x100;

constexpr std::uint16_t low_11_bits(std::uint32_t value) {
    return static_cast<std::uint16_t>(value & 0x7FFU);
}

// The command id of `member` for the mode with index `mode` (0 MIT).
constexpr std::uint16_t command_id(const GroupMember& member, std::size_t mode) {
    return low_11_bits(member.driver.motor_id() + static_cast<std::uint32_t>(mode) * kModeIdStep);
}

std::uint64_t nanos_of(Duration duration) noexcept {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    if (duration.seconds > (kMax - duration.nanos) / 1'000'000'000) {
        return kMax;
    }
    return duration.seconds * 1'000'000'000 + duration.nanos;
}

MonotonicTime after(MonotonicTime start, Duration duration) noexcept {
    const std::uint64_t span = nanos_of(duration);
    return MonotonicTime{span > std::numeric_limits<std::uint64_t>::max() - start.nanos
                             ? std::numeric_limits<std::uint64_t>::max()
                             : start.nanos + span};
}

Duration until(MonotonicTime now, MonotonicTime then) noexcept {
    const std::uint64_t nanos = then.nanos > now.nanos ? then.nanos - now.nanos : 0;
    return {nanos / 1'000'000'000, static_cast<std::uint32_t>(nanos % 1'000'000'000)};
}

Error transport_failure(const TransportError& error) {
    return Error(Error::Transport{error});
}

std::string hex_id(std::uint16_t id) {
    std::array<char, 8> text{};
    std::snprintf(text.data(), text.size(), "0x%03X", static_cast<unsigned>(id));
    return text.data();
}

std::uint8_t command_code(GroupCommand command) noexcept {
    switch (command) {
        case GroupCommand::Enable:
            return kEnableCode;
        case GroupCommand::Disable:
            return kDisableCode;
        case GroupCommand::ClearError:
            break;
    }
    return kClearErrorCode;
}

}  // namespace

// One cycle's or one group command's exchange: sends, takes answers in,
// fills the results. `FrameOf(member)` gives the member's frame, or the
// error that keeps it from being sent.
template <class FrameOf>
class GroupExchange {
public:
    GroupExchange(const MotorGroup& group, transport::BusSet& buses,
                  std::span<Result<MotorState>> results, CycleOutputs outputs,
                  SignalPolicy* signals, FrameOf frame_of,
                  std::optional<GroupCommand> command) noexcept
        : members_(group.members_),
          timeout_(group.timeout_),
          bus_count_(group.bus_count_),
          buses_(buses),
          results_(results),
          outputs_(outputs),
          signals_(signals),
          frame_of_(std::move(frame_of)),
          command_(command) {
        std::ranges::fill(outputs_.received, MonotonicTime{});
    }

    void run() {
        const MonotonicTime started = buses_.now();
        send_all(after(started, timeout_));
        if (!stopped_) {
            collect();
        }
        for (std::size_t i = 0; i < members_.size(); ++i) {
            if (!waiting_[i]) {
                continue;
            }
            if (command_ && last_status_[i] && ended_ == TransportError::timeout()) {
                results_[i] = std::unexpected(
                    Error(Error::Unconfirmed{command_name(*command_), *last_status_[i]}));
            } else {
                results_[i] = std::unexpected(transport_failure(ended_));
            }
        }
    }

private:
    // The member on `bus` that answers at `id`, or kNone when none does.
    std::size_t member_answering(std::size_t bus, CanId id) const noexcept {
        if (id.kind != transport::IdKind::Standard) {
            return kNone;
        }
        for (std::size_t i = 0; i < members_.size(); ++i) {
            if (members_[i].bus == bus && low_11_bits(members_[i].driver.master_id()) == id.value) {
                return i;
            }
        }
        return kNone;
    }

    void count_late(std::size_t member) noexcept {
        if (!outputs_.late.empty()) {
            ++outputs_.late[member];
        }
    }

    // After a signal: whether the cycle goes on. Without a policy an
    // interrupted wait ends it, and nothing between waits does.
    bool go_on(bool interrupted) noexcept {
        if (signals_ == nullptr) {
            return !interrupted;
        }
        if (!signals_->signal_pending(interrupted)) {
            return true;
        }
        return signals_->resume();
    }

    void stop() noexcept {
        stopped_ = true;
        ended_ = TransportError::backend(EINTR);
    }

    // Takes off what waits on `bus` before the cycle sends there: an answer
    // that came after its own cycle ended is never taken for this one's.
    transport::TransportResult<void> drain(std::size_t bus, MonotonicTime until) {
        std::size_t taken = 0;
        while (taken < MotorGroup::kDrainLimit) {
            const std::size_t asked = std::min(kWakeFrames, MotorGroup::kDrainLimit - taken);
            const auto got = buses_.take_waiting(bus, std::span(arrived_.data(), asked));
            if (!got) {
                return std::unexpected(got.error());
            }
            for (std::size_t k = 0; k < *got; ++k) {
                if (const std::size_t i = member_answering(bus, arrived_[k].frame.id); i != kNone) {
                    count_late(i);
                }
            }
            taken += *got;
            if (*got < asked || buses_.now() >= until) {
                break;
            }
        }
        return {};
    }

    // Sends `count` frames of `batch` (for the members in `sent_for`) on
    // `bus`; a signal that interrupts a wait for room is the policy's
    // business, any other failure the unsent members'.
    void send_batch(std::size_t bus, std::span<const CanFrame> batch,
                    std::span<const std::size_t> sent_for, MonotonicTime until) {
        std::size_t done = 0;
        while (done < batch.size()) {
            const transport::BatchSent sent = buses_.send(bus, batch.subspan(done), until);
            for (std::size_t k = done; k < done + sent.sent; ++k) {
                const std::size_t member = sent_for[k];
                waiting_[member] = true;
                ++sends_[member];
                ++pending_;
            }
            done += sent.sent;
            if (done == batch.size()) {
                return;
            }
            const TransportError error = sent.error.value_or(TransportError::backend(EIO));
            if (error == TransportError::backend(EINTR)) {
                if (go_on(true)) {
                    continue;
                }
                stop();
            }
            for (std::size_t k = done; k < batch.size(); ++k) {
                results_[sent_for[k]] = std::unexpected(transport_failure(error));
            }
            return;
        }
    }

    void send_all(MonotonicTime until) {
        std::array<CanFrame, MotorGroup::kMaxMotors> batch{};
        std::array<std::size_t, MotorGroup::kMaxMotors> sent_for{};
        for (std::size_t bus = 0; bus < bus_count_; ++bus) {
            const transport::TransportResult<void> drained = drain(bus, until);
            std::size_t slots = 0;
            for (std::size_t i = 0; i < members_.size(); ++i) {
                if (members_[i].bus != bus) {
                    continue;
                }
                if (!drained || stopped_) {
                    results_[i] = std::unexpected(stopped_ ? transport_failure(ended_)
                                                           : transport_failure(drained.error()));
                    continue;
                }
                auto frame = frame_of_(i);
                if (!frame) {
                    results_[i] = std::unexpected(frame.error());
                    continue;
                }
                batch[slots] = *frame;
                sent_for[slots++] = i;
            }
            send_batch(bus, std::span(batch.data(), slots), std::span(sent_for.data(), slots),
                       until);
        }
    }

    // A group command goes once more to a member whose answer did not
    // confirm it, or that was silent halfway to the deadline.
    void send_again(std::size_t member) {
        if (sends_[member] >= kMostSends) {
            return;
        }
        const auto frame = frame_of_(member);
        if (!frame) {
            return;
        }
        const transport::BatchSent sent =
            buses_.send(members_[member].bus, std::span(&*frame, 1), resend_until_);
        sent_again_ = true;
        if (sent.sent == 1) {
            ++sends_[member];
        } else if (sent.error == TransportError::backend(EINTR) && !go_on(true)) {
            stop();
        }
        // Otherwise the member goes on waiting for the answer to what it was
        // sent before.
    }

    // Takes one frame in; true when it was an answer the exchange waited for.
    bool take_in(const BusFrame& arrived, MonotonicTime at) {
        const std::size_t i = member_answering(arrived.bus, arrived.frame.id);
        if (i == kNone) {
            return false;
        }
        if (!waiting_[i]) {
            count_late(i);
            return false;
        }
        const Payload& data = arrived.frame.data;
        if (data.size() < kFeedbackLength) {
            results_[i] = std::unexpected(Error(Error::ShortFeedback{data}));
        } else {
            const MotorState state = decode_feedback(data.bytes(), members_[i].driver.limits());
            if (command_ && !confirms(*command_, state.error)) {
                count_late(i);
                last_status_[i] = state.error;
                send_again(i);
                return true;
            }
            results_[i] = state;
        }
        if (!outputs_.received.empty()) {
            outputs_.received[i] = at;
        }
        waiting_[i] = false;
        --pending_;
        return true;
    }

    void collect() {
        MonotonicTime current = buses_.now();
        const transport::ReplyDeadline deadline(current, timeout_);
        resend_until_ = after(current, timeout_);
        // A group command goes once more to the members still silent halfway.
        // (A flag beside a plain time: the ARM compiler cannot see through an
        // optional time here and warns that it may be unset.)
        bool resend_due = command_.has_value();
        const MonotonicTime halfway = after(
            current, Duration{timeout_.seconds / 2,
                              static_cast<std::uint32_t>((timeout_.seconds % 2) * 500'000'000 +
                                                         timeout_.nanos / 2)});
        if (outputs_.read_from > current) {
            buses_.pause_until(std::min(outputs_.read_from, resend_until_));
            current = buses_.now();
        }
        while (pending_ > 0 && !stopped_) {
            if (std::exchange(sent_again_, false)) {
                current = buses_.now();
            }
            if (deadline.passed(current)) {
                break;
            }
            Duration left = deadline.left(current);
            bool capped = false;
            if (resend_due) {
                if (current >= halfway) {
                    // Once the caller has ended the command, nothing more goes out.
                    for (std::size_t i = 0; i < members_.size() && !stopped_; ++i) {
                        if (waiting_[i] && !last_status_[i]) {
                            send_again(i);
                        }
                    }
                    resend_due = false;
                    continue;  // the resends may have taken time: the deadline is checked anew
                } else if (until(current, halfway) < left) {
                    left = until(current, halfway);
                    capped = true;
                }
            }
            const auto woken = buses_.wait(left, arrived_);
            current = buses_.now();
            if (!woken) {
                if (woken.error() == TransportError::timeout() && capped) {
                    continue;
                }
                if (woken.error() == TransportError::backend(EINTR)) {
                    if (!go_on(true)) {
                        stop();
                        break;
                    }
                    current = buses_.now();
                    continue;
                }
                ended_ = woken.error();
                break;
            }
            bool answered = false;
            for (std::size_t k = 0; k < *woken && !stopped_; ++k) {
                answered = take_in(arrived_[k], current) || answered;
            }
            if (!answered && pending_ > 0 && !stopped_) {
                if (!go_on(false)) {
                    stop();
                    break;
                }
                current = buses_.now();
            }
        }
    }

    std::span<const GroupMember> members_;
    Duration timeout_;
    std::size_t bus_count_;
    transport::BusSet& buses_;
    std::span<Result<MotorState>> results_;
    CycleOutputs outputs_;
    SignalPolicy* signals_;
    FrameOf frame_of_;
    std::optional<GroupCommand> command_;

    std::array<bool, MotorGroup::kMaxMotors> waiting_{};
    std::array<std::uint8_t, MotorGroup::kMaxMotors> sends_{};
    std::array<std::optional<std::uint8_t>, MotorGroup::kMaxMotors> last_status_{};
    std::array<BusFrame, kWakeFrames> arrived_{};
    std::size_t pending_ = 0;
    bool stopped_ = false;
    // A resend may have waited for room in the send queue, or for the
    // caller's turn after a signal: the clock is read again before the next
    // wait, which would otherwise run past the deadline.
    bool sent_again_ = false;
    MonotonicTime resend_until_{};
    TransportError ended_ = TransportError::timeout();
};

std::string GroupSetupError::message() const {
    const std::string a = std::to_string(first);
    const std::string b = std::to_string(second);
    switch (kind) {
        case Kind::Empty:
            return "a motor group needs at least one motor";
        case Kind::TooManyMotors:
            return "a motor group holds at most " + std::to_string(MotorGroup::kMaxMotors) +
                   " motors";
        case Kind::SharedMasterId:
            return "motors " + a + " and " + b + " of the group answer at the same master id " +
                   hex_id(id) + " on one bus";
        case Kind::SharedMotorId:
            return "motors " + a + " and " + b + " of the group have the same motor id " +
                   hex_id(id) + " on one bus: each would obey both";
        case Kind::AnswersRegisters:
            return "motor " + a + " of the group answers at " + hex_id(id) +
                   ", the register-request id: its answers would reach every motor's registers";
        case Kind::AnswersCommand:
            break;
    }
    const std::string of = std::string(kModeNames[mode]) + " command id";
    if (first == second) {
        return "motor " + a + " of the group answers at " + hex_id(id) + ", its own " + of +
               ": its answers would command itself";
    }
    return "motor " + a + " of the group answers at " + hex_id(id) + ", the " + of + " of motor " +
           b + " on one bus: its answers would command that motor";
}

std::string_view command_name(GroupCommand command) noexcept {
    switch (command) {
        case GroupCommand::Enable:
            return "enable";
        case GroupCommand::Disable:
            return "disable";
        case GroupCommand::ClearError:
            break;
    }
    return "clear_error";
}

bool confirms(GroupCommand command, std::uint8_t status) noexcept {
    constexpr std::uint8_t kEnabled = 1;
    constexpr std::uint8_t kFirstFault = 8;
    switch (command) {
        case GroupCommand::Enable:
            return status == kEnabled;
        case GroupCommand::Disable:
            return status != kEnabled;
        case GroupCommand::ClearError:
            break;
    }
    return status < kFirstFault;
}

std::expected<MotorGroup, GroupSetupError> MotorGroup::make(std::span<const GroupMember> members,
                                                            transport::Duration timeout) {
    using Kind = GroupSetupError::Kind;
    if (members.empty()) {
        return std::unexpected(GroupSetupError{Kind::Empty});
    }
    if (members.size() > kMaxMotors) {
        return std::unexpected(GroupSetupError{Kind::TooManyMotors});
    }
    std::size_t bus_count = 0;
    for (std::size_t i = 0; i < members.size(); ++i) {
        bus_count = std::max(bus_count, members[i].bus + 1);
        const std::uint16_t master = low_11_bits(members[i].driver.master_id());
        const std::uint16_t motor = command_id(members[i], 0);
        for (std::size_t j = 0; j < i; ++j) {
            if (members[j].bus != members[i].bus) {
                continue;
            }
            if (low_11_bits(members[j].driver.master_id()) == master) {
                return std::unexpected(GroupSetupError{Kind::SharedMasterId, j, i, master});
            }
            if (command_id(members[j], 0) == motor) {
                return std::unexpected(GroupSetupError{Kind::SharedMotorId, j, i, motor});
            }
        }
    }
    for (std::size_t i = 0; i < members.size(); ++i) {
        const std::uint16_t master = low_11_bits(members[i].driver.master_id());
        if (master == kRegisterRequestId) {
            return std::unexpected(GroupSetupError{Kind::AnswersRegisters, i, i, master});
        }
        for (std::size_t j = 0; j < members.size(); ++j) {
            if (members[j].bus != members[i].bus) {
                continue;
            }
            for (std::size_t mode = 0; mode < kModeNames.size(); ++mode) {
                if (command_id(members[j], mode) == master) {
                    return std::unexpected(GroupSetupError{Kind::AnswersCommand, i, j, master,
                                                           static_cast<std::uint8_t>(mode)});
                }
            }
        }
    }
    return MotorGroup({members.begin(), members.end()}, timeout, bus_count);
}

void MotorGroup::cycle(transport::BusSet& buses, std::span<const ControlSetpoint> commands,
                       std::span<Result<MotorState>> results, CycleOutputs outputs,
                       SignalPolicy* signals) const {
    const auto frame_of = [this, commands](std::size_t i) -> Result<CanFrame> {
        const Damiao& driver = members_[i].driver;
        const auto data = encode_mode_frame(driver.limits(), commands[i]);
        if (!data) {
            return std::unexpected(Error(Error::InvalidLimits{data.error()}));
        }
        const std::uint32_t arbitration = driver.motor_id() + mode_id_offset(commands[i]);
        return CanFrame{CanId::standard(low_11_bits(arbitration)), Payload(*data)};
    };
    GroupExchange exchange(*this, buses, results, outputs, signals, frame_of, std::nullopt);
    exchange.run();
}

void MotorGroup::command(transport::BusSet& buses, GroupCommand command,
                         std::span<Result<MotorState>> results, CycleOutputs outputs,
                         SignalPolicy* signals) const {
    const FrameBytes data = special_command_bytes(command_code(command));
    const auto frame_of = [this, data](std::size_t i) -> Result<CanFrame> {
        return CanFrame{CanId::standard(command_id(members_[i], 0)), Payload(data)};
    };
    GroupExchange exchange(*this, buses, results, outputs, signals, frame_of, command);
    exchange.run();
}

void MotorGroup::read_register(transport::BusSet& buses, std::uint8_t number,
                               std::span<Result<RegisterValue>> results) const {
    const std::optional<RegisterInfo> info = find_register(number);
    std::array<BusFrame, kWakeFrames> arrived{};
    for (std::size_t i = 0; i < members_.size(); ++i) {
        if (!info) {
            results[i] = std::unexpected(Error(Error::UnknownRegister{number}));
            continue;
        }
        const std::size_t bus = members_[i].bus;
        const MonotonicTime started = buses.now();
        const MonotonicTime until = after(started, timeout_);
        // What waited before the request is no answer to it.
        std::size_t drained = 0;
        for (;;) {
            const auto got = buses.take_waiting(bus, arrived);
            if (!got || *got < arrived.size() || (drained += *got) >= kDrainLimit) {
                break;
            }
        }
        const CanFrame request = register_read_request(members_[i].driver.motor_id(), number);
        const transport::BatchSent sent = buses.send(bus, std::span(&request, 1), until);
        if (sent.sent != 1) {
            results[i] = std::unexpected(
                transport_failure(sent.error.value_or(TransportError::backend(EIO))));
            continue;
        }
        MonotonicTime current = buses.now();
        const transport::ReplyDeadline deadline(current, timeout_);
        results[i] = std::unexpected(transport_failure(TransportError::timeout()));
        bool answered = false;
        while (!answered && !deadline.passed(current)) {
            const auto got = buses.wait(deadline.left(current), arrived);
            current = buses.now();
            if (!got) {
                if (got.error() != TransportError::timeout()) {
                    results[i] = std::unexpected(transport_failure(got.error()));
                }
                break;
            }
            for (std::size_t k = 0; k < *got && !answered; ++k) {
                if (arrived[k].bus == bus && is_register_reply(arrived[k].frame, number)) {
                    results[i] =
                        RegisterValue{info->type, register_reply_payload(arrived[k].frame)};
                    answered = true;
                }
            }
        }
    }
}

}  // namespace axiolink::damiao
