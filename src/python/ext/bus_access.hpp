#pragma once
// Exclusive use of several axiolink buses at once, without the interpreter
// lock, for the length of one group cycle.
//
// The plain commands of axiolink take a bus's lock while they hold the
// interpreter lock. A cycle takes its buses' locks only after releasing the
// interpreter lock, and gives every one back before taking the interpreter
// lock again, so neither can ever wait for the other in a circle. Buses are
// locked in address order, so two cycles sharing buses cannot deadlock
// either.
//
// A fork while a cycle holds bus locks would leave them locked for good in
// the child, where the cycle's thread does not exist. So every cycle records
// the buses it holds (or is about to take) in a process-wide list, and the
// child makes each of those locks anew, free: it can use every bus at once,
// whatever the parent's threads were doing, while the parent's cycles go on
// undisturbed. (Plain commands hold a bus only with the interpreter lock,
// which the forking thread holds.)

#include <array>
#include <cstddef>
#include <span>

#include "socketcan_transport.hpp"

namespace axiolink::python::ext {

// Installs the fork handlers; once per process.
bool install_fork_handlers() noexcept;

class LockedBuses {
public:
    static constexpr std::size_t kMaxBuses = 8;

    // Blocks until every bus in `buses` (at most kMaxBuses) is this thread's,
    // unless `take` is false: then the buses are taken with acquire(). Call
    // without the interpreter lock.
    explicit LockedBuses(std::span<GuardedTransport* const> buses, bool take = true) noexcept;
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

    std::array<GuardedTransport*, kMaxBuses> order_{};
    std::size_t count_ = 0;
    bool held_ = false;
    // In the process-wide list of buses a cycle holds.
    LockedBuses* previous_ = nullptr;
    LockedBuses* next_ = nullptr;
    bool listed_ = false;
};

}  // namespace axiolink::python::ext
