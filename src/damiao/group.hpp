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

// Why a group could not be made.
struct GroupSetupError {
    enum class Kind : std::uint8_t { Empty, TooManyMotors, SharedMasterId };
    Kind kind;
    std::size_t first = 0;  // SharedMasterId: the two members' positions
    std::size_t second = 0;
    std::uint16_t master_id = 0;  // SharedMasterId: the 11-bit id both answer at
    // "a motor group needs at least one motor"
    // "a motor group holds at most 64 motors"
    // "motors 0 and 2 of the group answer at the same master id 0x011 on one bus"
    std::string message() const;
};

class MotorGroup {
public:
    static constexpr std::size_t kMaxMotors = 64;

    // Refuses an empty group, more than kMaxMotors, and two members on one
    // bus whose master ids agree in their low 11 bits: their replies could
    // not be told apart. `timeout` bounds each cycle's whole reply wait,
    // counted from the last send.
    static std::expected<MotorGroup, GroupSetupError> make(std::span<const GroupMember> members,
                                                           transport::Duration timeout);

    std::span<const GroupMember> members() const noexcept { return members_; }
    transport::Duration timeout() const noexcept { return timeout_; }
    // One more than the highest bus index any member uses.
    std::size_t bus_count() const noexcept { return bus_count_; }

    // One cycle. `commands` and `results` have one entry per member, in
    // member order; `buses` has at least bus_count() buses.
    //
    // Every bus is drained first, so no frame that waited there before the
    // cycle is taken as a reply. Then every member's frame is sent, bus by
    // bus, in member order; a reply wait starts only once all are out.
    // Replies are matched to members by bus and master id and decoded with
    // that member's limits; the first reply of each member counts, and every
    // other frame is dropped. The wait ends when every member has its reply,
    // at the deadline, or at a failed wait.
    //
    // A member's result is its state, or its own error: InvalidLimits
    // (nothing sent for it), the send's or the drain's Transport error,
    // ShortFeedback, Transport Timeout when no reply came by the deadline,
    // or the failed wait's Transport error (Backend EINTR for a signal) for
    // every member still waiting. One member's failure never hides another's
    // state.
    void cycle(transport::BusSet& buses, std::span<const ControlSetpoint> commands,
               std::span<Result<MotorState>> results) const;

private:
    MotorGroup(std::vector<GroupMember> members, transport::Duration timeout,
               std::size_t bus_count) noexcept
        : members_(std::move(members)), timeout_(timeout), bus_count_(bus_count) {}

    std::vector<GroupMember> members_;
    transport::Duration timeout_;
    std::size_t bus_count_;
};

}  // namespace axiolink::damiao
