// Answer matching of a motor group's cycles and group commands, over a bus
// set that plays a script: frames arriving on each bus at chosen times, some
// waiting before the cycle, some after its deadline, floods, failed and
// partial sends, failed, interrupted and empty wake-ups, and a signal
// policy's answers.
//
// The bus set and the policy record every question the group asked them and
// every answer they gave, in order. The oracle then replays that record by
// the group's documented rules, step by step: it checks that each step is
// the one the rules call for (what waits on a bus is taken off before that
// bus's frames go out, the frames sent, each wait given exactly the time
// left, when the policy is asked, nothing more once the exchange has ended)
// and derives every member's result, receive time and late count from the
// frames handed over. It never looks at how the group computes them.
//
// Groups are drawn so that MotorGroup::make often refuses them; then the
// oracle is that it refused exactly the groups its rules name, and reported
// one of the conflicts they have.

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "damiao/group.hpp"
#include "fuzz_input.hpp"

namespace {

using axiolink::damiao::command_name;
using axiolink::damiao::confirms;
using axiolink::damiao::ControlSetpoint;
using axiolink::damiao::CycleOutputs;
using axiolink::damiao::Damiao;
using axiolink::damiao::decode_feedback;
using axiolink::damiao::encode_mode_frame;
using axiolink::damiao::Error;
using axiolink::damiao::ForcePosSetpoint;
using axiolink::damiao::GroupCommand;
using axiolink::damiao::GroupMember;
using axiolink::damiao::GroupSetupError;
using axiolink::damiao::kClearErrorCode;
using axiolink::damiao::kDisableCode;
using axiolink::damiao::kEnableCode;
using axiolink::damiao::MitLimits;
using axiolink::damiao::MitSetpoint;
using axiolink::damiao::MotorGroup;
using axiolink::damiao::MotorState;
using axiolink::damiao::PosVelSetpoint;
using axiolink::damiao::Result;
using axiolink::damiao::SignalPolicy;
using axiolink::damiao::special_command_bytes;
using axiolink::damiao::VelSetpoint;
using axiolink::fuzzing::FuzzInput;
using axiolink::transport::BatchSent;
using axiolink::transport::BusFrame;
using axiolink::transport::CanFrame;
using axiolink::transport::CanId;
using axiolink::transport::Duration;
using axiolink::transport::IdKind;
using axiolink::transport::MonotonicTime;
using axiolink::transport::Payload;
using axiolink::transport::TransportError;
using axiolink::transport::TransportResult;

constexpr std::uint64_t kUs = 1'000;
// The clock when the exchange begins; a frame that arrived at or before it
// waits on its bus already.
constexpr std::uint64_t kStart = 1'000'000'000;
constexpr std::size_t kMembers = 8;
constexpr std::size_t kBuses = 4;      // up to 3 of the group's and one it does not use
constexpr std::size_t kEntries = 24;   // scripted arrivals
constexpr std::size_t kFrames = 1024;  // frames in all, a flood's copies counted
constexpr std::size_t kSteps = 8;      // scripted sends, wake-ups and policy answers
constexpr std::size_t kEvents = 8192;
constexpr std::size_t kSentFrames = 1024;
constexpr std::size_t kFeedbackLength = 8;
constexpr std::uint8_t kMostSends = 3;
constexpr std::uint16_t kRegisterRequestId = 0x7FF;

constexpr std::uint16_t low_11_bits(std::uint64_t id) {
    return static_cast<std::uint16_t>(id & 0x7FFU);
}

std::uint64_t nanos_of(Duration duration) {
    return duration.seconds * 1'000'000'000ULL + duration.nanos;
}

// --- the case the input describes --------------------------------------------

struct Arrival {
    std::uint64_t at = 0;
    std::size_t bus = 0;
    CanFrame frame;
    std::size_t copies = 1;  // a flood: the same frame many times over
};

struct SendStep {
    std::size_t room = 0;  // frames it takes before failing with `error`
    TransportError error = TransportError::backend(ENOBUFS);
    std::uint64_t takes = 0;  // time spent (waiting for room), never past `until`
};

// Plays: hands over the frames as they arrive; Fails: ends with `error`;
// WakesEmpty: a wake-up that brings nothing after all.
struct WaitStep {
    enum class Kind : std::uint8_t { Plays, Fails, WakesEmpty } kind = Kind::Plays;
    TransportError error = TransportError::backend(EINTR);
    std::uint64_t takes = 0;  // time spent before failing or waking, within the time-out
};

struct Case {
    std::size_t count = 0;
    std::array<GroupMember, kMembers> members{GroupMember{Damiao(0, 0)}, GroupMember{Damiao(0, 0)},
                                              GroupMember{Damiao(0, 0)}, GroupMember{Damiao(0, 0)},
                                              GroupMember{Damiao(0, 0)}, GroupMember{Damiao(0, 0)},
                                              GroupMember{Damiao(0, 0)}, GroupMember{Damiao(0, 0)}};
    std::array<ControlSetpoint, kMembers> setpoints{};
    std::optional<GroupCommand> command;  // none: a cycle
    std::uint64_t timeout = 0;
    std::size_t buses = 0;        // the bus set's size
    std::size_t wake_frames = 1;  // at most this many frames per wake-up
    bool policy = false;
    bool want_received = false;
    bool want_late = false;
    std::array<std::uint32_t, kMembers> late_before{};

    std::array<Arrival, kEntries> arrivals{};
    std::size_t arrival_count = 0;
    std::array<SendStep, kSteps> sends{};
    std::size_t send_steps = 0;
    std::array<WaitStep, kSteps> waits{};
    std::size_t wait_steps = 0;
    std::optional<std::size_t> failing_drain_bus;
    std::size_t failing_drain_call = 0;  // of that bus's take_waiting calls
    std::uint16_t pending_answers = 0;   // bit n: the n-th signal_pending's answer
    std::uint16_t resume_answers = 0;    // bit n: the n-th resume ends the exchange
    std::uint64_t resume_takes = 0;      // the caller's turn takes this long
};

// Motor ids: small numbers, sometimes above 11 bits (frames carry the low 11)
// or at the top of the range.
std::uint16_t take_motor_id(FuzzInput& input) {
    const std::uint8_t b = input.take<std::uint8_t>();
    auto id = static_cast<std::uint16_t>(b & 0x1FU);
    if ((b & 0x20U) != 0) {
        id |= 0x800U;
    }
    if ((b & 0xC0U) == 0xC0U) {
        id = static_cast<std::uint16_t>(0x7FFU - (b & 1U));
    }
    return id;
}

// Master ids: mostly motor id + 0x10, else anything near the ids in play: a
// motor id, a command id of some mode, the register-request id.
std::uint16_t take_master_id(FuzzInput& input, std::uint16_t motor) {
    const std::uint8_t b = input.take<std::uint8_t>();
    const auto high = static_cast<std::uint16_t>((b & 0x80U) != 0 ? 0xF800U : 0U);
    switch (b & 7U) {
        case 4:
            return static_cast<std::uint16_t>((b >> 3U) | high);
        case 5:
            return static_cast<std::uint16_t>(motor + 0x100U * ((b >> 3U) & 3U));
        case 6:
            return static_cast<std::uint16_t>(kRegisterRequestId | high);
        case 7:
            return static_cast<std::uint16_t>(((b >> 3U) & 0xFU) + 0x100U * ((b >> 5U) & 3U));
        default:
            return static_cast<std::uint16_t>((motor + 0x10U) | high);
    }
}

MitLimits take_limits(FuzzInput& input) {
    switch (input.take<std::uint8_t>() % 4U) {
        case 1:
            return {1.0F, 2.0F, 50.0F, 1.0F, 3.0F};
        case 2:
            return {-1.0F, 30.0F, 500.0F, 5.0F, 10.0F};  // refused for MIT commands
        case 3:
            return {12.5F, 30.0F, 500.0F, 5.0F, std::nanf("")};
        default:
            return {};
    }
}

ControlSetpoint take_setpoint(FuzzInput& input) {
    const std::uint8_t b = input.take<std::uint8_t>();
    const float value = static_cast<float>(static_cast<std::int8_t>(b)) / 16.0F;
    switch (b % 4U) {
        case 1:
            return PosVelSetpoint{value, 1.0F};
        case 2:
            return VelSetpoint{value};
        case 3:
            return ForcePosSetpoint{value, 10.0F, 0.5F};
        default:
            return MitSetpoint{value, 0.0F, 5.0F, 0.5F, 0.0F};
    }
}

TransportError take_error(FuzzInput& input) {
    constexpr std::array<int, 4> kErrors{EINTR, ENOBUFS, EAGAIN, ENETDOWN};
    return TransportError::backend(kErrors[input.take<std::uint8_t>() % kErrors.size()]);
}

// A frame near the ids in play, so that answers, near misses and strangers
// are all common.
CanFrame take_frame(FuzzInput& input, const Case& c, std::uint8_t shape) {
    const Damiao& driver = c.members[input.take<std::uint8_t>() % c.count].driver;
    const std::uint16_t noise = input.take<std::uint16_t>();
    CanId id;
    switch (shape & 7U) {
        case 0:
        case 1:
        case 2:
            id = CanId::standard(low_11_bits(driver.master_id()));
            break;
        case 3:
            id = CanId::extended(low_11_bits(driver.master_id()));
            break;
        case 4:
            id = CanId::standard(low_11_bits(driver.master_id() ^ (1U << (noise % 11U))));
            break;
        case 5:
            id = CanId::standard(low_11_bits(driver.motor_id()));
            break;
        case 6:
            id = CanId::standard(low_11_bits(noise));
            break;
        default:
            id = CanId::extended(noise * 0x2345U & 0x1FFFFFFFU);
            break;
    }
    const std::size_t length = ((shape >> 3U) & 0xFU) % 9U;
    std::array<std::uint8_t, 8> bytes{};
    const auto given = input.take_bytes(length);
    std::ranges::copy(given, bytes.begin());
    return CanFrame{id, Payload(std::span(bytes.data(), length))};
}

Case take_case(FuzzInput& input) {
    Case c;
    const std::uint8_t flags = input.take<std::uint8_t>();
    constexpr std::array<GroupCommand, 3> kCommands{GroupCommand::Enable, GroupCommand::Disable,
                                                    GroupCommand::ClearError};
    if ((flags & 4U) == 0 && (flags & 3U) != 0) {
        c.command = kCommands[(flags & 3U) - 1U];
    }
    c.policy = (flags & 8U) != 0;
    c.want_received = (flags & 0x10U) == 0;
    c.want_late = (flags & 0x20U) == 0;
    c.count = 1 + input.take<std::uint8_t>() % kMembers;
    const std::size_t group_buses = 1 + input.take<std::uint8_t>() % 3U;
    c.timeout = input.take<std::uint8_t>() * kUs;
    c.wake_frames = 1 + input.take<std::uint8_t>() % MotorGroup::kMaxMotors;
    for (std::size_t i = 0; i < c.count; ++i) {
        const std::uint16_t motor = take_motor_id(input);
        const std::uint16_t master = take_master_id(input, motor);
        const MitLimits limits = take_limits(input);
        c.members[i] = {Damiao(motor, master, limits), input.take<std::uint8_t>() % group_buses};
        c.setpoints[i] = take_setpoint(input);
        c.late_before[i] = input.take<std::uint8_t>();
    }
    std::size_t used = 0;
    for (std::size_t i = 0; i < c.count; ++i) {
        used = std::max(used, c.members[i].bus + 1);
    }
    c.buses = used + ((flags & 0x40U) != 0 ? 1 : 0);

    c.send_steps = input.take<std::uint8_t>() % (kSteps + 1);
    for (std::size_t k = 0; k < c.send_steps; ++k) {
        c.sends[k].room = input.take<std::uint8_t>() % 10U;
        c.sends[k].error = take_error(input);
        c.sends[k].takes = input.take<std::uint8_t>() * kUs;
    }
    c.wait_steps = input.take<std::uint8_t>() % (kSteps + 1);
    for (std::size_t k = 0; k < c.wait_steps; ++k) {
        const std::uint8_t kind = input.take<std::uint8_t>();
        c.waits[k].kind = kind % 3U == 0   ? WaitStep::Kind::Plays
                          : kind % 3U == 1 ? WaitStep::Kind::Fails
                                           : WaitStep::Kind::WakesEmpty;
        c.waits[k].error = (kind & 0x10U) != 0 ? TransportError::backend(ENETDOWN)
                                               : TransportError::backend(EINTR);
        c.waits[k].takes = input.take<std::uint8_t>() * kUs;
    }
    if (const std::uint8_t drain = input.take<std::uint8_t>(); (drain & 1U) != 0) {
        c.failing_drain_bus = (drain >> 1U) % 3U;
        c.failing_drain_call = (drain >> 3U) % 3U;
    }
    c.pending_answers = input.take<std::uint16_t>();
    c.resume_answers = input.take<std::uint16_t>();
    c.resume_takes = input.take<std::uint8_t>() * kUs;

    std::size_t frames = 0;
    while (!input.empty() && c.arrival_count < kEntries && frames < kFrames) {
        Arrival& arrival = c.arrivals[c.arrival_count++];
        const std::uint8_t shape = input.take<std::uint8_t>();
        const std::uint8_t when = input.take<std::uint8_t>();
        arrival.at = when < 16 ? kStart - when * kUs : kStart + (when - 16U) * 2 * kUs;
        arrival.bus = input.take<std::uint8_t>() % c.buses;
        arrival.frame = take_frame(input, c, shape);
        arrival.copies =
            (shape & 0x80U) != 0
                ? std::min<std::size_t>(1 + input.take<std::uint8_t>() * 2U, kFrames - frames)
                : 1;
        frames += arrival.copies;
    }
    // In order of arrival; equal times in the order given.
    std::stable_sort(c.arrivals.begin(), c.arrivals.begin() + c.arrival_count,
                     [](const Arrival& a, const Arrival& b) { return a.at < b.at; });
    return c;
}

// --- the record of what the group asked ------------------------------------

enum class Step : std::uint8_t { Drain, Send, Wait, Pending, Resume };

struct Event {
    Step step = Step::Drain;
    std::size_t bus = 0;      // Drain, Send
    std::uint64_t clock = 0;  // when it was asked
    std::uint64_t after = 0;  // the clock when it returned
    // Drain, Wait: the frames handed over, as `handed[first, first + count)`;
    // Send: the frames offered, as `sent[first, first + count)`, of which
    // `done` went out.
    std::size_t first = 0;
    std::size_t count = 0;
    std::size_t done = 0;
    std::size_t room = 0;     // Drain: how many it could take
    std::size_t left = 0;     // Drain: how many still wait on the bus after it
    std::uint64_t limit = 0;  // Wait: the time-out; Send: the time it may wait for room until
    std::optional<TransportError> error;
    bool interrupted = false;  // Pending
    bool answer = false;       // Pending, Resume
};

struct Record {
    std::array<Event, kEvents> events;
    std::size_t event_count = 0;
    std::array<std::size_t, kFrames> handed{};  // arrival entries, one per frame handed over
    std::size_t handed_count = 0;
    std::array<CanFrame, kSentFrames> sent;
    std::size_t sent_count = 0;

    Event& add(Step step, std::uint64_t clock) {
        // A group that never stops asking hangs its caller.
        FUZZ_CHECK(event_count < kEvents);
        Event& event = events[event_count++];
        event = Event{};
        event.step = step;
        event.clock = clock;
        event.after = clock;
        return event;
    }
};

Record g_record;  // large: kept out of the stack

// --- the bus set and the policy that play the case -------------------------

class PlayedBuses final : public axiolink::transport::BusSet {
public:
    PlayedBuses(const Case& c, Record& record) : case_(c), record_(record) {}

    std::size_t size() const noexcept override { return case_.buses; }
    MonotonicTime now() const noexcept override { return MonotonicTime{clock_}; }
    std::uint64_t clock() const { return clock_; }
    void pass(std::uint64_t nanos) { clock_ += nanos; }

    BatchSent send(std::size_t bus, std::span<const CanFrame> frames,
                   MonotonicTime until) override {
        FUZZ_CHECK(bus < case_.buses);
        Event& event = record_.add(Step::Send, clock_);
        event.bus = bus;
        event.limit = until.nanos;
        event.first = record_.sent_count;
        event.count = frames.size();
        FUZZ_CHECK(record_.sent_count + frames.size() <= kSentFrames);
        std::ranges::copy(frames, record_.sent.begin() + static_cast<std::ptrdiff_t>(event.first));
        record_.sent_count += frames.size();
        const SendStep step =
            sends_ < case_.send_steps ? case_.sends[sends_] : SendStep{frames.size()};
        ++sends_;
        event.done = std::min(step.room, frames.size());
        if (event.done < frames.size()) {
            event.error = step.error;
        }
        clock_ += std::min(step.takes, until.nanos > clock_ ? until.nanos - clock_ : 0);
        event.after = clock_;
        return {event.done, event.error};
    }

    TransportResult<std::size_t> take_waiting(std::size_t bus, std::span<BusFrame> out) override {
        FUZZ_CHECK(bus < case_.buses);
        Event& event = record_.add(Step::Drain, clock_);
        event.bus = bus;
        event.room = out.size();
        if (case_.failing_drain_bus == bus && drains_[bus]++ == case_.failing_drain_call) {
            event.error = TransportError::backend(ENETDOWN);
            return std::unexpected(*event.error);
        }
        event.first = record_.handed_count;
        event.count = hand_over(bus, out);
        event.left = waiting(bus);
        return event.count;
    }

    TransportResult<std::size_t> wait(Duration timeout, std::span<BusFrame> out) override {
        Event& event = record_.add(Step::Wait, clock_);
        const std::uint64_t limit = nanos_of(timeout);
        event.limit = limit;
        const WaitStep step = waits_ < case_.wait_steps ? case_.waits[waits_] : WaitStep{};
        ++waits_;
        if (step.kind != WaitStep::Kind::Plays) {
            clock_ += std::min(step.takes, limit);
            event.after = clock_;
            if (step.kind == WaitStep::Kind::Fails) {
                event.error = step.error;
                return std::unexpected(step.error);
            }
            event.first = record_.handed_count;
            return 0;
        }
        if (waiting(case_.buses) == 0) {
            const std::optional<std::uint64_t> next = next_arrival();
            if (!next || *next > clock_ + limit) {
                clock_ += limit;
                event.after = clock_;
                event.error = TransportError::timeout();
                return std::unexpected(*event.error);
            }
            clock_ = *next;
        }
        event.after = clock_;
        event.first = record_.handed_count;
        event.count = hand_over(case_.buses, out.first(std::min(out.size(), case_.wake_frames)));
        return event.count;
    }

private:
    bool on(const Arrival& arrival, std::size_t bus) const {
        return bus == case_.buses || arrival.bus == bus;
    }

    // Frames arrived by now and not handed over, on `bus` (case_.buses: any).
    std::size_t waiting(std::size_t bus) const {
        std::size_t count = 0;
        for (std::size_t k = 0; k < case_.arrival_count; ++k) {
            const Arrival& arrival = case_.arrivals[k];
            if (arrival.at <= clock_ && on(arrival, bus)) {
                count += arrival.copies - handed_[k];
            }
        }
        return count;
    }

    std::optional<std::uint64_t> next_arrival() const {
        for (std::size_t k = 0; k < case_.arrival_count; ++k) {
            if (handed_[k] < case_.arrivals[k].copies) {
                return case_.arrivals[k].at;
            }
        }
        return std::nullopt;
    }

    std::size_t hand_over(std::size_t bus, std::span<BusFrame> out) {
        std::size_t count = 0;
        for (std::size_t k = 0; k < case_.arrival_count && count < out.size(); ++k) {
            const Arrival& arrival = case_.arrivals[k];
            if (arrival.at > clock_ || !on(arrival, bus)) {
                continue;
            }
            while (handed_[k] < arrival.copies && count < out.size()) {
                out[count++] = BusFrame{arrival.bus, arrival.frame};
                ++handed_[k];
                record_.handed[record_.handed_count++] = k;
            }
        }
        return count;
    }

    const Case& case_;
    Record& record_;
    std::uint64_t clock_ = kStart;
    std::array<std::size_t, kEntries> handed_{};
    std::array<std::size_t, kBuses> drains_{};
    std::size_t sends_ = 0;
    std::size_t waits_ = 0;
};

class PlayedSignals final : public SignalPolicy {
public:
    PlayedSignals(const Case& c, Record& record, PlayedBuses& buses)
        : case_(c), record_(record), buses_(buses) {}

    bool signal_pending(bool interrupted) noexcept override {
        Event& event = record_.add(Step::Pending, buses_.clock());
        event.interrupted = interrupted;
        event.answer = pending_ < 16 && ((case_.pending_answers >> pending_) & 1U) != 0;
        ++pending_;
        return event.answer;
    }

    bool resume() noexcept override {
        Event& event = record_.add(Step::Resume, buses_.clock());
        event.answer = resumes_ >= 16 || ((case_.resume_answers >> resumes_) & 1U) == 0;
        ++resumes_;
        buses_.pass(case_.resume_takes);
        event.after = buses_.clock();
        return event.answer;
    }

private:
    const Case& case_;
    Record& record_;
    PlayedBuses& buses_;
    unsigned pending_ = 0;
    unsigned resumes_ = 0;
};

// --- the oracle: the documented rules, replayed over the record -------------

// The group's refusals: among the members on one bus, two master ids or two
// motor ids equal in their low 11 bits, a master id equal to a command id of
// a member (motor id + 0x100 per mode, low 11 bits); and a master id of
// 0x7FF anywhere.
bool is_conflict(const Case& c, const GroupSetupError& e) {
    using Kind = GroupSetupError::Kind;
    const auto master = [&c](std::size_t i) {
        return low_11_bits(c.members[i].driver.master_id());
    };
    const auto command_id = [&c](std::size_t i, std::size_t mode) {
        return low_11_bits(c.members[i].driver.motor_id() + 0x100U * mode);
    };
    if (e.first >= c.count || e.second >= c.count) {
        return false;
    }
    const bool one_bus = c.members[e.first].bus == c.members[e.second].bus;
    switch (e.kind) {
        case Kind::SharedMasterId:
            return e.first != e.second && one_bus && master(e.first) == e.id &&
                   master(e.second) == e.id;
        case Kind::SharedMotorId:
            return e.first != e.second && one_bus && command_id(e.first, 0) == e.id &&
                   command_id(e.second, 0) == e.id;
        case Kind::AnswersCommand:
            return one_bus && e.mode < 4 && master(e.first) == e.id &&
                   command_id(e.second, e.mode) == e.id;
        case Kind::AnswersRegisters:
            return master(e.first) == kRegisterRequestId && e.id == kRegisterRequestId;
        default:
            return false;
    }
}

bool has_conflict(const Case& c) {
    for (std::size_t i = 0; i < c.count; ++i) {
        for (std::size_t j = 0; j < c.count; ++j) {
            using Kind = GroupSetupError::Kind;
            const auto conflicts = [&](Kind kind, std::uint16_t id, std::uint8_t mode) {
                return is_conflict(c, GroupSetupError{kind, i, j, id, mode});
            };
            const std::uint16_t master = low_11_bits(c.members[i].driver.master_id());
            const std::uint16_t motor = low_11_bits(c.members[i].driver.motor_id());
            if (conflicts(Kind::SharedMasterId, master, 0) ||
                conflicts(Kind::SharedMotorId, motor, 0) ||
                conflicts(Kind::AnswersRegisters, master, 0)) {
                return true;
            }
            for (std::uint8_t mode = 0; mode < 4; ++mode) {
                if (conflicts(Kind::AnswersCommand, master, mode)) {
                    return true;
                }
            }
        }
    }
    return false;
}

class Replay {
public:
    Replay(const Case& c, const Record& record) : case_(c), record_(record) {}

    void run() {
        const std::uint64_t until = kStart + case_.timeout;
        // Bus by bus: what waits there is taken off, then that bus's frames
        // go out in member order.
        for (std::size_t bus = 0; bus < group_buses(); ++bus) {
            // Once stopped, nothing more goes out; a look at what waits on a
            // bus costs no wait and may still come.
            const std::optional<TransportError> drain_error =
                stopped_ && !comes(Step::Drain) ? std::nullopt : drain(bus, until);
            std::array<std::size_t, kMembers> batch{};
            std::size_t slots = 0;
            for (std::size_t i = 0; i < case_.count; ++i) {
                if (case_.members[i].bus != bus) {
                    continue;
                }
                if (stopped_ || drain_error) {
                    fail(i, stopped_ ? TransportError::backend(EINTR) : *drain_error);
                } else if (const auto frame = frame_of(i); !frame) {
                    results[i] = std::unexpected(frame.error());
                } else {
                    batch[slots++] = i;
                }
            }
            send_batch(bus, std::span(batch.data(), slots), until);
        }
        if (!stopped_) {
            collect();
        }
        // Nothing happens once the exchange has ended.
        FUZZ_CHECK(next_ == record_.event_count);
        for (std::size_t i = 0; i < case_.count; ++i) {
            if (!waiting_[i]) {
                continue;
            }
            if (case_.command && last_status_[i] && ended_ == TransportError::timeout()) {
                results[i] = std::unexpected(
                    Error(Error::Unconfirmed{command_name(*case_.command), *last_status_[i]}));
            } else {
                fail(i, ended_);
            }
        }
    }

    // What the rules say the exchange ends with.
    std::array<Result<MotorState>, kMembers> results{};
    std::array<std::uint64_t, kMembers> received{};
    std::array<std::uint32_t, kMembers> late{};

private:
    std::size_t group_buses() const {
        std::size_t count = 0;
        for (std::size_t i = 0; i < case_.count; ++i) {
            count = std::max(count, case_.members[i].bus + 1);
        }
        return count;
    }

    bool comes(Step step) const {
        return next_ < record_.event_count && record_.events[next_].step == step;
    }

    const Event& expect(Step step) {
        FUZZ_CHECK(comes(step));
        const Event& event = record_.events[next_++];
        FUZZ_CHECK(event.clock == clock_);
        clock_ = event.after;
        return event;
    }

    // The member on `bus` that answers with `frame`: a Standard id equal to
    // its master id in the low 11 bits.
    std::optional<std::size_t> answering(std::size_t bus, const CanFrame& frame) const {
        if (frame.id.kind != IdKind::Standard) {
            return std::nullopt;
        }
        for (std::size_t i = 0; i < case_.count; ++i) {
            if (case_.members[i].bus == bus &&
                low_11_bits(case_.members[i].driver.master_id()) == frame.id.value) {
                return i;
            }
        }
        return std::nullopt;
    }

    // A cycle sends each member its setpoint at motor id + the mode's
    // offset; a group command sends the special command at the motor id.
    Result<CanFrame> frame_of(std::size_t i) const {
        const Damiao& driver = case_.members[i].driver;
        if (case_.command) {
            constexpr std::array<std::uint8_t, 3> kCodes{kEnableCode, kDisableCode,
                                                         kClearErrorCode};
            return CanFrame{
                CanId::standard(low_11_bits(driver.motor_id())),
                Payload(special_command_bytes(kCodes[static_cast<std::size_t>(*case_.command)]))};
        }
        const ControlSetpoint& setpoint = case_.setpoints[i];
        const auto data = encode_mode_frame(driver.limits(), setpoint);
        if (!data) {
            return std::unexpected(Error(Error::InvalidLimits{data.error()}));
        }
        return CanFrame{CanId::standard(low_11_bits(driver.motor_id() + 0x100U * setpoint.index())),
                        Payload(*data)};
    }

    void fail(std::size_t i, const TransportError& error) {
        results[i] = std::unexpected(Error(Error::Transport{error}));
        waiting_[i] = false;
    }

    void stop() {
        stopped_ = true;
        ended_ = TransportError::backend(EINTR);
    }

    // After a signal interrupted a wait (or a send's wait for room), or a
    // wake-up that brought no awaited answer: whether the exchange goes on.
    // Without a policy only an interruption ends it.
    bool go_on(bool interrupted) {
        if (!case_.policy) {
            return !interrupted;
        }
        const Event& asked = expect(Step::Pending);
        FUZZ_CHECK(asked.interrupted == interrupted);
        if (!asked.answer) {
            return true;
        }
        return expect(Step::Resume).answer;
    }

    // Takes off what waits on `bus`: all of it, at most kDrainLimit frames,
    // no more once the time for sending is up. A frame at a member's master
    // id found there is a late answer.
    std::optional<TransportError> drain(std::size_t bus, std::uint64_t until) {
        std::size_t taken = 0;
        bool must_go_on = false;
        bool may_go_on = false;
        do {
            const Event& event = expect(Step::Drain);
            FUZZ_CHECK(event.bus == bus);
            FUZZ_CHECK(event.room > 0 && taken + event.room <= MotorGroup::kDrainLimit);
            if (event.error) {
                return event.error;
            }
            for (std::size_t k = event.first; k < event.first + event.count; ++k) {
                const Arrival& arrival = case_.arrivals[record_.handed[k]];
                if (const auto i = answering(bus, arrival.frame)) {
                    ++late[*i];
                }
            }
            taken += event.count;
            may_go_on = taken < MotorGroup::kDrainLimit && clock_ < until;
            must_go_on = may_go_on && event.left > 0;
        } while (must_go_on ||
                 (may_go_on && comes(Step::Drain) && record_.events[next_].bus == bus));
        return std::nullopt;
    }

    // The members in `batch` (of `bus`, in member order) get their frames;
    // a batch cut short by a signal goes on when the policy says so, else
    // the members left out get the send's error.
    void send_batch(std::size_t bus, std::span<const std::size_t> batch, std::uint64_t until) {
        std::size_t done = 0;
        while (done < batch.size()) {
            const Event& event = expect(Step::Send);
            FUZZ_CHECK(event.bus == bus && event.limit == until);
            FUZZ_CHECK(event.count == batch.size() - done);
            for (std::size_t k = 0; k < event.count; ++k) {
                check_sent(record_.sent[event.first + k], batch[done + k]);
            }
            for (std::size_t k = done; k < done + event.done; ++k) {
                waiting_[batch[k]] = true;
                sends_[batch[k]] = 1;
            }
            done += event.done;
            if (done == batch.size()) {
                return;
            }
            FUZZ_CHECK(event.error.has_value());
            if (*event.error == TransportError::backend(EINTR)) {
                if (go_on(true)) {
                    continue;
                }
                stop();
            }
            for (std::size_t k = done; k < batch.size(); ++k) {
                fail(batch[k], *event.error);
            }
            return;
        }
    }

    void check_sent(const CanFrame& sent, std::size_t member) const {
        const auto expected = frame_of(member);
        FUZZ_CHECK(expected.has_value());
        FUZZ_CHECK(sent.id == expected->id && sent.data == expected->data && !sent.fd);
    }

    // A group command goes to a member again (three times at most in all);
    // a failed resend leaves it waiting for the answer to the earlier one.
    void send_again(std::size_t i) {
        if (sends_[i] >= kMostSends) {
            return;
        }
        const Event& event = expect(Step::Send);
        FUZZ_CHECK(event.bus == case_.members[i].bus && event.count == 1);
        FUZZ_CHECK(event.limit == resend_until_);
        check_sent(record_.sent[event.first], i);
        if (event.done == 1) {
            ++sends_[i];
        } else if (*event.error == TransportError::backend(EINTR) && !go_on(true)) {
            stop();
        }
    }

    // One frame handed over by a wake-up at `at`. The first frame at a
    // waiting member's master id decides it: its state decoded with the
    // member's limits, or ShortFeedback below 8 bytes; for a group command
    // only a state whose status confirms the command, any other makes the
    // command go again. Every other frame at a member's master id is late.
    bool take_in(const Arrival& arrival, std::uint64_t at) {
        const auto member = answering(arrival.bus, arrival.frame);
        if (!member) {
            return false;
        }
        const std::size_t i = *member;
        if (!waiting_[i]) {
            ++late[i];
            return false;
        }
        const Payload& data = arrival.frame.data;
        if (data.size() < kFeedbackLength) {
            results[i] = std::unexpected(Error(Error::ShortFeedback{data}));
        } else {
            const MotorState state =
                decode_feedback(data.bytes(), case_.members[i].driver.limits());
            if (case_.command && !confirms(*case_.command, state.error)) {
                ++late[i];
                last_status_[i] = state.error;
                send_again(i);
                return true;
            }
            results[i] = state;
        }
        received[i] = at;
        waiting_[i] = false;
        return true;
    }

    bool anyone_waiting() const {
        return std::ranges::any_of(std::span(waiting_.data(), case_.count),
                                   [](bool w) { return w; });
    }

    // Waits until every member is decided, the deadline (the time-out after
    // the last send) has passed, a wait fails, or a signal ends it. Every
    // wait gets exactly the time left; a group command's waits stop at the
    // halfway point too, where the members still silent get it again.
    void collect() {
        const std::uint64_t deadline = clock_ + case_.timeout;
        resend_until_ = deadline;
        std::optional<std::uint64_t> halfway;
        if (case_.command) {
            halfway = clock_ + case_.timeout / 2;
        }
        while (anyone_waiting() && !stopped_ && clock_ <= deadline) {
            if (halfway && clock_ >= *halfway) {
                halfway.reset();
                for (std::size_t i = 0; i < case_.count && !stopped_; ++i) {
                    if (waiting_[i] && !last_status_[i]) {
                        send_again(i);
                    }
                }
                if (stopped_) {
                    break;
                }
                continue;  // the resends took time: the deadline is checked anew
            }
            std::uint64_t left = deadline - clock_;
            const bool capped = halfway && *halfway - clock_ < left;
            if (capped) {
                left = *halfway - clock_;
            }
            const Event& woken = expect(Step::Wait);
            FUZZ_CHECK(woken.limit == left);
            if (woken.error) {
                if (*woken.error == TransportError::timeout() && capped) {
                    continue;
                }
                if (*woken.error == TransportError::backend(EINTR)) {
                    if (go_on(true)) {
                        continue;
                    }
                    stop();
                    break;
                }
                ended_ = *woken.error;
                return;
            }
            bool answered = false;
            for (std::size_t k = woken.first; k < woken.first + woken.count && !stopped_; ++k) {
                answered = take_in(case_.arrivals[record_.handed[k]], woken.after) || answered;
            }
            if (!answered && anyone_waiting() && !stopped_ && !go_on(false)) {
                stop();
            }
        }
    }

    const Case& case_;
    const Record& record_;
    std::size_t next_ = 0;
    std::uint64_t clock_ = kStart;
    std::array<bool, kMembers> waiting_{};
    std::array<std::uint8_t, kMembers> sends_{};
    std::array<std::optional<std::uint8_t>, kMembers> last_status_{};
    std::uint64_t resend_until_ = 0;
    bool stopped_ = false;
    TransportError ended_ = TransportError::timeout();
};

// With AXIOLINK_FUZZ_TRACE set, what the group asked and was answered, to
// read beside a failing input.
void print_record(const Record& record) {
    constexpr std::array<const char*, 5> kNames{"drain", "send", "wait", "pending", "resume"};
    for (std::size_t n = 0; n < record.event_count; ++n) {
        const Event& e = record.events[n];
        std::fprintf(stderr,
                     "%-7s bus %zu at +%llu..+%llu ns: first %zu count %zu done %zu room %zu "
                     "left %zu limit %llu error %s interrupted %d answer %d\n",
                     kNames[static_cast<std::size_t>(e.step)], e.bus,
                     static_cast<unsigned long long>(e.clock - kStart),
                     static_cast<unsigned long long>(e.after - kStart), e.first, e.count, e.done,
                     e.room, e.left, static_cast<unsigned long long>(e.limit),
                     e.error ? e.error->message().c_str() : "-", e.interrupted, e.answer);
    }
}

bool same_result(const Result<MotorState>& got, const Result<MotorState>& expected) {
    if (got.has_value() != expected.has_value()) {
        return false;
    }
    if (!got) {
        return got.error().message() == expected.error().message();
    }
    const auto bits = [](float value) { return std::bit_cast<std::uint32_t>(value); };
    return got->motor_id == expected->motor_id && got->error == expected->error &&
           bits(got->position) == bits(expected->position) &&
           bits(got->velocity) == bits(expected->velocity) &&
           bits(got->torque) == bits(expected->torque) && got->t_mos == expected->t_mos &&
           got->t_rotor == expected->t_rotor;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    const Case c = take_case(input);

    const auto made = MotorGroup::make(std::span(c.members.data(), c.count),
                                       Duration{0, static_cast<std::uint32_t>(c.timeout)});
    FUZZ_CHECK(made.has_value() == !has_conflict(c));
    if (!made) {
        FUZZ_CHECK(is_conflict(c, made.error()));
        FUZZ_CHECK(!made.error().message().empty());
        return 0;
    }
    std::size_t highest_bus = 0;
    for (std::size_t i = 0; i < c.count; ++i) {
        highest_bus = std::max(highest_bus, c.members[i].bus);
    }
    FUZZ_CHECK(made->members().size() == c.count && made->bus_count() == highest_bus + 1);

    g_record.event_count = 0;
    g_record.handed_count = 0;
    g_record.sent_count = 0;
    PlayedBuses buses(c, g_record);
    PlayedSignals signals(c, g_record, buses);
    // Results the exchange must overwrite, and late counts it adds to.
    std::array<Result<MotorState>, kMembers> results;
    results.fill(MotorState{0xEE, 0xEE, 1.0F, 2.0F, 3.0F, 0xEE, 0xEE});
    std::array<MonotonicTime, kMembers> received;
    received.fill(MonotonicTime{0xEEEE});
    std::array<std::uint32_t, kMembers> late = c.late_before;
    const CycleOutputs outputs{
        c.want_received ? std::span(received.data(), c.count) : std::span<MonotonicTime>(),
        c.want_late ? std::span(late.data(), c.count) : std::span<std::uint32_t>()};
    SignalPolicy* policy = c.policy ? &signals : nullptr;
    if (c.command) {
        made->command(buses, *c.command, std::span(results.data(), c.count), outputs, policy);
    } else {
        made->cycle(buses, std::span(c.setpoints.data(), c.count),
                    std::span(results.data(), c.count), outputs, policy);
    }

    if (std::getenv("AXIOLINK_FUZZ_TRACE") != nullptr) {
        print_record(g_record);
    }
    Replay replay(c, g_record);
    replay.run();
    for (std::size_t i = 0; i < c.count; ++i) {
        FUZZ_CHECK(same_result(results[i], replay.results[i]));
        if (c.want_received) {
            FUZZ_CHECK(received[i].nanos == replay.received[i]);
            // A time exactly for the members that have a state or a short answer.
            const bool answered = results[i] || std::holds_alternative<Error::ShortFeedback>(
                                                    results[i].error().detail());
            FUZZ_CHECK((received[i].nanos != 0) == answered);
        }
        FUZZ_CHECK(late[i] == c.late_before[i] + (c.want_late ? replay.late[i] : 0));
    }
    return 0;
}
