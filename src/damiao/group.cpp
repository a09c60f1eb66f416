#include "damiao/group.hpp"

#include <algorithm>
#include <array>
#include <cstdio>

namespace axiolink::damiao {
namespace {

using transport::BusFrame;
using transport::CanFrame;
using transport::CanId;
using transport::Payload;
using transport::TransportError;

constexpr std::size_t kFeedbackLength = 8;

constexpr std::uint16_t low_11_bits(std::uint32_t value) {
    return static_cast<std::uint16_t>(value & 0x7FFU);
}

Error transport_failure(const TransportError& error) {
    return Error(Error::Transport{error});
}

// The member on `bus` that answers at `id`, or kMaxMotors when none does.
std::size_t member_answering(std::span<const GroupMember> members, std::size_t bus, CanId id) {
    if (id.kind != transport::IdKind::Standard) {
        return MotorGroup::kMaxMotors;
    }
    for (std::size_t i = 0; i < members.size(); ++i) {
        if (members[i].bus == bus && low_11_bits(members[i].driver.master_id()) == id.value) {
            return i;
        }
    }
    return MotorGroup::kMaxMotors;
}

}  // namespace

std::string GroupSetupError::message() const {
    switch (kind) {
        case Kind::Empty:
            return "a motor group needs at least one motor";
        case Kind::TooManyMotors:
            return "a motor group holds at most " + std::to_string(MotorGroup::kMaxMotors) +
                   " motors";
        case Kind::SharedMasterId:
            break;
    }
    std::array<char, 8> hex{};
    std::snprintf(hex.data(), hex.size(), "0x%03X", static_cast<unsigned>(master_id));
    return "motors " + std::to_string(first) + " and " + std::to_string(second) +
           " of the group answer at the same master id " + hex.data() + " on one bus";
}

std::expected<MotorGroup, GroupSetupError> MotorGroup::make(std::span<const GroupMember> members,
                                                            transport::Duration timeout) {
    if (members.empty()) {
        return std::unexpected(GroupSetupError{GroupSetupError::Kind::Empty});
    }
    if (members.size() > kMaxMotors) {
        return std::unexpected(GroupSetupError{GroupSetupError::Kind::TooManyMotors});
    }
    std::size_t bus_count = 0;
    for (std::size_t i = 0; i < members.size(); ++i) {
        bus_count = std::max(bus_count, members[i].bus + 1);
        const std::uint16_t id = low_11_bits(members[i].driver.master_id());
        for (std::size_t j = 0; j < i; ++j) {
            if (members[j].bus == members[i].bus &&
                low_11_bits(members[j].driver.master_id()) == id) {
                return std::unexpected(
                    GroupSetupError{GroupSetupError::Kind::SharedMasterId, j, i, id});
            }
        }
    }
    return MotorGroup({members.begin(), members.end()}, timeout, bus_count);
}

void MotorGroup::cycle(transport::BusSet& buses, std::span<const ControlSetpoint> commands,
                       std::span<Result<MotorState>> results) const {
    const std::size_t count = members_.size();
    // Who still waits for a reply; a member leaves it with its result.
    std::array<bool, kMaxMotors> waiting{};
    std::array<CanFrame, kMaxMotors> frames{};
    std::array<std::size_t, kMaxMotors> sent_for{};  // frame slot -> member
    std::size_t pending = 0;

    for (std::size_t bus = 0; bus < bus_count_; ++bus) {
        const transport::TransportResult<void> drained = buses.drain(bus);
        std::size_t slots = 0;
        for (std::size_t i = 0; i < count; ++i) {
            if (members_[i].bus != bus) {
                continue;
            }
            if (!drained) {
                results[i] = std::unexpected(transport_failure(drained.error()));
                continue;
            }
            const Damiao& driver = members_[i].driver;
            const auto data = encode_mode_frame(driver.limits(), commands[i]);
            if (!data) {
                results[i] = std::unexpected(Error(Error::InvalidLimits{data.error()}));
                continue;
            }
            const std::uint32_t arbitration = driver.motor_id() + mode_id_offset(commands[i]);
            frames[slots] = CanFrame{CanId::standard(low_11_bits(arbitration)), Payload(*data)};
            sent_for[slots++] = i;
        }
        const transport::BatchSent batch = buses.send(bus, std::span(frames.data(), slots));
        for (std::size_t slot = 0; slot < slots; ++slot) {
            const std::size_t member = sent_for[slot];
            if (slot < batch.sent) {
                waiting[member] = true;
                ++pending;
            } else {
                results[member] = std::unexpected(
                    transport_failure(batch.error.value_or(TransportError::backend(EIO))));
            }
        }
    }

    transport::MonotonicTime current = buses.now();
    const transport::ReplyDeadline deadline(current, timeout_);
    std::array<BusFrame, kMaxMotors> arrived{};
    TransportError ended = TransportError::timeout();
    while (pending > 0) {
        if (deadline.passed(current)) {
            break;
        }
        const auto woken = buses.wait(deadline.left(current), std::span(arrived.data(), count));
        if (!woken) {
            ended = woken.error();
            break;
        }
        for (std::size_t k = 0; k < *woken; ++k) {
            const std::size_t i = member_answering(members_, arrived[k].bus, arrived[k].frame.id);
            if (i == kMaxMotors || !waiting[i]) {
                continue;
            }
            waiting[i] = false;
            --pending;
            const Payload& data = arrived[k].frame.data;
            if (data.size() < kFeedbackLength) {
                results[i] = std::unexpected(Error(Error::ShortFeedback{data}));
            } else {
                results[i] = decode_feedback(data.bytes(), members_[i].driver.limits());
            }
        }
        current = buses.now();
    }
    for (std::size_t i = 0; i < count && pending > 0; ++i) {
        if (waiting[i]) {
            results[i] = std::unexpected(transport_failure(ended));
            --pending;
        }
    }
}

}  // namespace axiolink::damiao
