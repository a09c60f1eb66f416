#include "transport/shared_bus.hpp"

#include <pthread.h>

#include <algorithm>
#include <new>

namespace axiolink::transport {

// Every LockedBuses alive in the process, linked through the objects
// themselves (on their threads' stacks): recording one costs no allocation.
// The list's own mutex is held only to link or unlink, never while waiting
// for a bus, so a fork never waits long for it.
struct HeldBusList {
    static inline pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    static inline LockedBuses* first = nullptr;

    static void add(LockedBuses& buses) noexcept {
        pthread_mutex_lock(&mutex);
        buses.next_ = first;
        if (first != nullptr) {
            first->previous_ = &buses;
        }
        first = &buses;
        buses.listed_ = true;
        pthread_mutex_unlock(&mutex);
    }

    static void remove(LockedBuses& buses) noexcept {
        pthread_mutex_lock(&mutex);
        if (buses.listed_) {
            (buses.previous_ != nullptr ? buses.previous_->next_ : first) = buses.next_;
            if (buses.next_ != nullptr) {
                buses.next_->previous_ = buses.previous_;
            }
            buses.listed_ = false;
        }
        pthread_mutex_unlock(&mutex);
    }

    // In a forked child, whose only thread is the one that forked: the
    // threads that held these locks, or waited for them, are gone, and the
    // locks are made anew, free. The list empties with them; an object of
    // the forking thread (a signal handler that forked mid-cycle) finds
    // itself unlisted and takes its buses again as usual.
    static void renew_in_child() noexcept {
        for (LockedBuses* held = first; held != nullptr; held = held->next_) {
            for (std::size_t i = 0; i < held->count_; ++i) {
                new (&held->order_[i]->lock) std::mutex;
            }
            held->listed_ = false;
            held->held_ = false;
        }
        first = nullptr;
        new (&mutex) pthread_mutex_t(PTHREAD_MUTEX_INITIALIZER);
    }
};

namespace {

void before_fork() noexcept {
    pthread_mutex_lock(&HeldBusList::mutex);
}

void after_fork_in_parent() noexcept {
    pthread_mutex_unlock(&HeldBusList::mutex);
}

void after_fork_in_child() noexcept {
    HeldBusList::renew_in_child();
}

}  // namespace

bool install_fork_handlers() noexcept {
    static const bool installed =
        pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;
    return installed;
}

LockedBuses::LockedBuses(std::span<SharedBus* const> buses, bool take) noexcept
    : count_(std::min(buses.size(), kMaxBuses)) {
    std::copy_n(buses.begin(), count_, order_.begin());
    std::sort(order_.begin(), order_.begin() + static_cast<std::ptrdiff_t>(count_));
    if (take) {
        acquire();
    }
}

LockedBuses::~LockedBuses() {
    release();
    HeldBusList::remove(*this);
}

void LockedBuses::acquire() noexcept {
    // Listed before the first lock is taken: a fork while this thread waits
    // for a bus renews that bus's lock too.
    if (!listed_) {
        HeldBusList::add(*this);
    }
    for (std::size_t i = 0; i < count_; ++i) {
        order_[i]->lock.lock();
    }
    held_ = true;
}

void LockedBuses::release() noexcept {
    if (!held_) {
        return;
    }
    held_ = false;
    for (std::size_t i = count_; i-- > 0;) {
        order_[i]->lock.unlock();
    }
}

}  // namespace axiolink::transport
