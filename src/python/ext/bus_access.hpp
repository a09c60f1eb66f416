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
// the child, where the cycle's thread does not exist. The fork handlers wait
// for every running cycle to end (at most one cycle's deadline) and keep new
// ones from starting until the fork is done, so the child finds every bus
// free.

#include <algorithm>
#include <array>
#include <cstddef>
#include <mutex>
#include <span>

#include "socketcan_transport.hpp"

namespace axiolink::python::ext {

// Installs the fork handlers; once per process.
bool install_fork_handlers() noexcept;

class LockedBuses {
public:
    static constexpr std::size_t kMaxBuses = 8;

    // Blocks until every bus in `buses` is this thread's. Call without the
    // interpreter lock.
    explicit LockedBuses(std::span<GuardedTransport* const> buses) noexcept;
    LockedBuses(const LockedBuses&) = delete;
    LockedBuses& operator=(const LockedBuses&) = delete;
    // Gives every bus back, then lets a waiting fork go ahead.
    ~LockedBuses();

private:
    std::array<GuardedTransport*, kMaxBuses> order_{};
    std::size_t count_ = 0;
};

}  // namespace axiolink::python::ext
