#pragma once
// A group of motors commanded as one step of a control loop.
//
// One cycle sends every member's command first, on every bus, then collects
// the replies until one deadline: the cycle lasts about as long as the
// frames take on the wire, not one reply wait per motor. A `MotorGroup` is
// an immutable value built once; `cycle` borrows the buses and needs
// exclusive use of all of them for its whole duration (the caller locks).
// It allocates nothing. Reading one group from several threads is safe.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "damiao/driver.hpp"
#include "damiao/modes.hpp"
#include "transport/bus_set.hpp"

namespace axiolink::damiao {

// A motor of a group and the index of its bus in the cycle's BusSet.
struct GroupMember {
    Damiao driver;
    std::size_t bus = 0;
};

// Why a group could not be made. Ids are compared in their low 11 bits, as
// the frames carry them.
struct GroupSetupError {
    enum class Kind : std::uint8_t {
        Empty,
        TooManyMotors,
        SharedMasterId,   // two members answer at one id: answers could not be told apart
        SharedMotorId,    // two members are commanded at one id: each obeys both
        AnswersCommand,   // a member answers at an id that commands a member
        AnswersRegisters  // a member answers at the register-request id
    };
    Kind kind;
    std::size_t first = 0;   // the members' positions; AnswersCommand: the one answering
    std::size_t second = 0;  // AnswersCommand: the one commanded (may be `first`)
    std::uint16_t id = 0;    // the 11-bit id in question
    std::uint8_t mode =
        0;  // AnswersCommand: the mode whose command id it is (0 MIT .. 3 FORCE_POS)
    // "a motor group needs at least one motor"
    // "a motor group holds at most 64 motors"
    // "motors 0 and 2 of the group answer at the same master id 0x011 on one bus"
    // "motors 0 and 2 of the group have the same motor id 0x001 on one bus: each would obey both"
    // "motor 2 of the group answers at 0x101, the POS_VEL command id of motor 0 on one bus:
    //  its answers would command that motor"
    // "motor 2 of the group answers at 0x002, its own MIT command id: its answers would
    //  command itself"
    // "motor 2 of the group answers at 0x7FF, the register-request id: its answers would
    //  reach every motor's registers"
    std::string message() const;
};

// The special commands a whole group can be given, each answered by every
// motor with its status.
enum class GroupCommand : std::uint8_t { Enable, Disable, ClearError };

// Whether a status (MotorState::error) shows that `command` took effect:
// enabled (1) for Enable; anything but enabled for Disable (a motor with a
// latched fault drives nothing either); no fault (below 8) for ClearError.
bool confirms(GroupCommand command, std::uint8_t status) noexcept;

// The command's name as errors give it: "enable", "disable", "clear_error".
std::string_view command_name(GroupCommand command) noexcept;

// Signals during a cycle, as the caller wants them treated.
class SignalPolicy {
public:
    // Asked after a wait that a signal interrupted (`interrupted`), and after
    // a wake-up that brought no answer the cycle waits for (a signal may have
    // come while no wait was under way; a flood of other frames keeps the
    // waits from ever being interrupted). True: the caller wants its turn.
    virtual bool signal_pending(bool interrupted) noexcept = 0;
    // The caller's turn, with the cycle stopped: it runs what the signal
    // calls for, and may give the buses back meanwhile if it takes them again
    // before returning. True: the cycle goes on to its deadline; false: it
    // ends now, and the members still waiting fail with Backend EINTR.
    virtual bool resume() noexcept = 0;

protected:
    SignalPolicy() = default;
    SignalPolicy(const SignalPolicy&) = default;
    SignalPolicy& operator=(const SignalPolicy&) = default;
    ~SignalPolicy() = default;
};

// What a cycle reports beyond each member's result. Each span is empty (not
// wanted) or has one entry per member.
struct CycleOutputs {
    // When the member's answer was taken in (the clock read after the wait
    // that brought it); zero for a member without one.
    std::span<transport::MonotonicTime> received;
    // Added to: answers from the member beyond the one taken this cycle, and
    // answers of its found waiting before the cycle sent anything (both are
    // late answers to earlier commands, or foreign frames at its master id).
    std::span<std::uint32_t> late;
    // (Given, not reported.) Answers are first looked for at this time: a
    // caller that knows none can all have come sooner (the wire takes that
    // long) saves the wake-ups that would take them in one by one. Zero,
    // or a time past: at once.
    transport::MonotonicTime read_from{};
};

template <class FrameOf>
class GroupExchange;

class MotorGroup {
public:
    static constexpr std::size_t kMaxMotors = 64;
    // Frames taken off one bus before a cycle sends; a flood beyond that is
    // left for the reply wait, which drops what answers nothing.
    static constexpr std::size_t kDrainLimit = 256;

    // Refuses an empty group, more than kMaxMotors, and, among the members
    // on one bus: two that answer at one master id (their answers could not
    // be told apart), two with one motor id (each would obey both members'
    // commands), and a master id that is a command id of a member (its
    // motor id, or that plus 0x100, 0x200, 0x300) or the register-request
    // id 0x7FF: its answers would command that motor. `timeout` bounds each
    // cycle's whole reply wait, counted from the last send, and the wait for
    // room in a full send queue, counted from the cycle's start.
    static std::expected<MotorGroup, GroupSetupError> make(std::span<const GroupMember> members,
                                                           transport::Duration timeout);

    std::span<const GroupMember> members() const noexcept { return members_; }
    transport::Duration timeout() const noexcept { return timeout_; }
    // One more than the highest bus index any member uses.
    std::size_t bus_count() const noexcept { return bus_count_; }

    // One cycle. `commands` and `results` have one entry per member, in
    // member order; `buses` has at least bus_count() buses.
    //
    // Every bus's waiting frames are taken off first (at most kDrainLimit,
    // and no longer than the timeout), so no frame that waited there before
    // the cycle is taken as a reply. Then every member's frame is sent, bus
    // by bus, in member order; a reply wait starts only once all are out.
    // Replies are matched to members by bus and master id and decoded with
    // that member's limits; the first reply of each member counts, and every
    // other frame is dropped. The wait ends when every member has its reply,
    // at the deadline, or at a failed wait.
    //
    // A member's result is its state, or its own error: InvalidLimits
    // (nothing sent for it), the send's or the drain's Transport error,
    // ShortFeedback, Transport Timeout when no reply came by the deadline,
    // or the failed wait's Transport error (Backend EINTR when a signal
    // ended it) for every member still waiting. One member's failure never
    // hides another's state. Without a SignalPolicy a signal that interrupts
    // the wait ends it.
    void cycle(transport::BusSet& buses, std::span<const ControlSetpoint> commands,
               std::span<Result<MotorState>> results, CycleOutputs outputs = {},
               SignalPolicy* signals = nullptr) const;

    // Gives every member `command` (the special command frame at its motor
    // id) as one cycle does, but takes for each member only an answer whose
    // status confirms it (see `confirms`): an answer that does not (a late
    // answer to an earlier command, or a motor that did not take it) makes
    // the command go to that member again, up to three times in all, and a
    // member still silent halfway to the deadline gets it once more. A member
    // left without a confirming answer at the deadline fails with Unconfirmed
    // (carrying the last status it reported) or the Timeout.
    void command(transport::BusSet& buses, GroupCommand command,
                 std::span<Result<MotorState>> results, CycleOutputs outputs = {},
                 SignalPolicy* signals = nullptr) const;

    // Reads register `number` of every member, one member at a time: register
    // answers carry no id to tell two motors' apart, so only one read is ever
    // under way on the buses. Each member's result is its value, or its own
    // error: UnknownRegister (nothing sent), the drain's or the send's
    // Transport error, Transport Timeout when no answer came within the
    // group's timeout, or the failed wait's (Backend EINTR when a signal ended
    // it). Allocates nothing.
    void read_register(transport::BusSet& buses, std::uint8_t number,
                       std::span<Result<RegisterValue>> results) const;

private:
    template <class FrameOf>
    friend class GroupExchange;

    MotorGroup(std::vector<GroupMember> members, transport::Duration timeout,
               std::size_t bus_count) noexcept
        : members_(std::move(members)), timeout_(timeout), bus_count_(bus_count) {}

    std::vector<GroupMember> members_;
    transport::Duration timeout_;
    std::size_t bus_count_;
};

}  // namespace axiolink::damiao
