#pragma once
// One SocketCAN bus shared by the whole process behind one lock, and
// exclusive use of several such buses at once for the length of one group
// cycle.
//
// Every user of a bus (a plain command, a group cycle, a servo loop's cycle)
// holds its lock for one operation. Buses are locked in address order, so
// two users sharing buses cannot deadlock. (In Python, plain commands take a
// bus's lock while they hold the interpreter lock; a cycle takes its buses'
// locks only after releasing the interpreter lock, and gives every one back
// before taking it again, so neither ever waits for the other in a circle.)
//
// A fork while a cycle holds bus locks would leave them locked for good in
// the child, where the cycle's thread does not exist. So every cycle records
// the buses it holds (or is about to take) in a process-wide list, and the
// child makes each of those locks anew, free: it can use every bus at once,
// whatever the parent's threads were doing, while the parent's cycles go on
// undisturbed. (Python's plain commands hold a bus only with the interpreter
// lock, which the forking thread holds.)

#include <array>
#include <cstddef>
#include <mutex>
#include <span>
#include <utility>

#include "transport/socketcan_backend.hpp"

namespace axiolink::transport {

// An open bus and the lock every operation on it holds.
struct SharedBus {
    explicit SharedBus(SocketCanTransport&& open) noexcept : transport(std::move(open)) {}
    std::mutex lock;
    SocketCanTransport transport;
};

// Installs the fork handlers; once per process (later calls return the
// first one's outcome). LockedBuses calls it too.
bool install_fork_handlers() noexcept;

class LockedBuses {
public:
    static constexpr std::size_t kMaxBuses = 8;

    // Blocks until every bus in `buses` (at most kMaxBuses) is this thread's,
    // unless `take` is false: then the buses are taken with acquire(). (From
    // Python: without the interpreter lock.)
    explicit LockedBuses(std::span<SharedBus* const> buses, bool take = true) noexcept;
    LockedBuses(const LockedBuses&) = delete;
    LockedBuses& operator=(const LockedBuses&) = delete;
    // Gives back every bus still held.
    ~LockedBuses();

    // Gives every bus back for a while (a signal handler runs meanwhile), and
    // takes them all again, in the same order.
    void release() noexcept;
    void acquire() noexcept;

private:
    friend struct HeldBusList;

    std::array<SharedBus*, kMaxBuses> order_{};
    std::size_t count_ = 0;
    bool held_ = false;
    // In the process-wide list of buses a cycle holds.
    LockedBuses* previous_ = nullptr;
    LockedBuses* next_ = nullptr;
    bool listed_ = false;
};

}  // namespace axiolink::transport
