#include "ext/bus_access.hpp"

#include <pthread.h>

namespace axiolink::python::ext {
namespace {

// Held shared by every cycle while it holds bus locks, and exclusively by a
// forking thread from just before the fork until just after. A waiting fork
// goes before new cycles, so a thread looping on cycles cannot starve it.
pthread_rwlock_t g_cycles;

void before_fork() noexcept {
    pthread_rwlock_wrlock(&g_cycles);
}

void after_fork() noexcept {
    pthread_rwlock_unlock(&g_cycles);
}

}  // namespace

bool install_fork_handlers() noexcept {
    pthread_rwlockattr_t attributes;
    if (pthread_rwlockattr_init(&attributes) != 0) {
        return false;
    }
    pthread_rwlockattr_setkind_np(&attributes, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    const bool made = pthread_rwlock_init(&g_cycles, &attributes) == 0;
    pthread_rwlockattr_destroy(&attributes);
    return made && pthread_atfork(before_fork, after_fork, after_fork) == 0;
}

LockedBuses::LockedBuses(std::span<GuardedTransport* const> buses) noexcept
    : count_(std::min(buses.size(), kMaxBuses)) {
    std::copy_n(buses.begin(), count_, order_.begin());
    std::sort(order_.begin(), order_.begin() + static_cast<std::ptrdiff_t>(count_));
    pthread_rwlock_rdlock(&g_cycles);
    for (std::size_t i = 0; i < count_; ++i) {
        order_[i]->lock.lock();
    }
}

LockedBuses::~LockedBuses() {
    for (std::size_t i = count_; i-- > 0;) {
        order_[i]->lock.unlock();
    }
    pthread_rwlock_unlock(&g_cycles);
}

}  // namespace axiolink::python::ext
