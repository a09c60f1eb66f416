#include "control/servo_loop.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <utility>
#include <variant>

#include "support/number_text.hpp"
#include "transport/socketcan_bus_set.hpp"

namespace axiolink::control {
namespace {

using damiao::GroupCommand;
using damiao::MitSetpoint;
using transport::MonotonicTime;

constexpr double kMinRate = 1.0;
constexpr double kMaxRate = 4000.0;
constexpr std::uint8_t kFirstFault = 8;
constexpr std::uint32_t kMitMode = 1;
// Verified enables tried at start; verified disables at least sent at the
// end of a safe stop.
constexpr int kEnableRounds = 3;
constexpr int kDisableRounds = 3;
// The loop's thread needs a few tens of kilobytes (a group cycle keeps its
// frames on the stack); this much leaves room to spare.
constexpr std::size_t kStackBytes = 512 * 1024;
constexpr std::array<const char*, 4> kModeNames{"MIT", "POS_VEL", "VEL", "FORCE_POS"};

std::int64_t now_ns() noexcept {
    return static_cast<std::int64_t>(MonotonicTime::now().nanos);
}

timespec as_timespec(std::int64_t ns) noexcept {
    return timespec{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

void sleep_until(std::int64_t deadline) noexcept {
    const timespec at = as_timespec(deadline);
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}

std::string number(double value) {
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%g", value);
    return text.data();
}

using support::motor_id_text;
using support::shortest_string;
}  // namespace

// Every ServoLoop of the process, for what concerns them all: no two
// loops on one bus, the shutdown at exit and at SIGTERM, and fork.
//
// Lock order: the registry's, then a loop's phase lock. Neither is held
// while waiting for a motor or a bus, but stop_all() holds the registry's
// through the stops it waits for (so no loop it stops is destroyed under
// it): nothing that stop() does takes the registry's lock.
struct LoopRegistry {
    static inline pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    static inline std::vector<ServoLoop*>* loops = nullptr;  // made once, never freed
    static inline bool closed = false;

    // SIGTERM: while held by a loop (and SIGTERM had its default action when
    // the first one took it), a handler that wakes the watcher thread, which
    // stops every loop and then ends the process as SIGTERM would.
    static inline int held = 0;
    static inline bool installed = false;
    static inline bool watching = false;
    static inline int wake[2] = {-1, -1};

    class Locked {
    public:
        Locked() noexcept { pthread_mutex_lock(&mutex); }
        ~Locked() { pthread_mutex_unlock(&mutex); }
        Locked(const Locked&) = delete;
        Locked& operator=(const Locked&) = delete;
    };

    static void install_fork_handlers() noexcept {
        static const bool done = [] {
            loops = new std::vector<ServoLoop*>();
            pthread_atfork([] { pthread_mutex_lock(&mutex); }, [] { pthread_mutex_unlock(&mutex); },
                           in_child);
            return true;
        }();
        (void)done;
    }

    // The forking thread is the child's only one: whatever the parent's
    // threads were doing with the loops is not going on here.
    static void in_child() noexcept {
        new (&mutex) pthread_mutex_t(PTHREAD_MUTEX_INITIALIZER);
        new (&term_mutex) pthread_mutex_t(PTHREAD_MUTEX_INITIALIZER);
        for (ServoLoop* loop : *loops) {
            loop->abandon();
        }
        if (installed) {
            ::signal(SIGTERM, SIG_DFL);
        }
        // The parent's watcher reads this pipe: a child of its own needs a
        // pipe of its own, or a SIGTERM of one could wake the other's.
        if (wake[0] >= 0) {
            ::close(wake[0]);
            ::close(wake[1]);
            wake[0] = wake[1] = -1;
        }
        held = 0;
        installed = false;
        watching = false;
    }

    static void on_sigterm(int) noexcept {
        const int saved = errno;
        const char byte = 'T';
        (void)!::write(wake[1], &byte, 1);
        errno = saved;
    }

    static void* watch(void*) noexcept {
        char byte = 0;
        while (::read(wake[0], &byte, 1) != 1) {
        }
        ServoLoop::stop_all(true);
        // Now as SIGTERM's default action: the process ends, killed by it.
        ::signal(SIGTERM, SIG_DFL);
        sigset_t term;
        sigemptyset(&term);
        sigaddset(&term, SIGTERM);
        pthread_sigmask(SIG_UNBLOCK, &term, nullptr);
        ::raise(SIGTERM);
        ::_exit(128 + SIGTERM);
    }

    // The SIGTERM handling's own lock, taken after the registry's where both
    // are (stop() takes only this one: stop_all() holds the registry's).
    static inline pthread_mutex_t term_mutex = PTHREAD_MUTEX_INITIALIZER;

    static void hold_sigterm(ServoLoop& loop) noexcept {
        pthread_mutex_lock(&term_mutex);
        if (!loop.sigterm_held_) {
            loop.sigterm_held_ = true;
            take_sigterm();
        }
        pthread_mutex_unlock(&term_mutex);
    }

    static void release_sigterm(ServoLoop& loop) noexcept {
        pthread_mutex_lock(&term_mutex);
        if (std::exchange(loop.sigterm_held_, false)) {
            give_sigterm_back();
        }
        pthread_mutex_unlock(&term_mutex);
    }

    // Under term_mutex.
    static void take_sigterm() noexcept {
        if (held++ > 0) {
            return;
        }
        struct sigaction current {};
        if (::sigaction(SIGTERM, nullptr, &current) != 0 || current.sa_handler != SIG_DFL ||
            (current.sa_flags & SA_SIGINFO) != 0) {
            return;  // the program has its own way with SIGTERM
        }
        if (wake[0] < 0 && ::pipe2(wake, O_CLOEXEC) != 0) {
            return;
        }
        if (!watching) {
            sigset_t all;
            sigset_t previous;
            sigfillset(&all);
            pthread_sigmask(SIG_BLOCK, &all, &previous);
            pthread_t watcher{};
            watching = pthread_create(&watcher, nullptr, watch, nullptr) == 0;
            pthread_sigmask(SIG_SETMASK, &previous, nullptr);
            if (!watching) {
                return;
            }
            pthread_detach(watcher);
        }
        struct sigaction ours {};
        ours.sa_handler = on_sigterm;
        ours.sa_flags = SA_RESTART;
        sigemptyset(&ours.sa_mask);
        installed = ::sigaction(SIGTERM, &ours, nullptr) == 0;
    }

    // Under term_mutex. The default comes back with the last loop, unless
    // the program has set a handler of its own meanwhile.
    static void give_sigterm_back() noexcept {
        if (held == 0 || --held > 0 || !installed) {
            return;
        }
        installed = false;
        struct sigaction current {};
        if (::sigaction(SIGTERM, nullptr, &current) == 0 && current.sa_handler == on_sigterm) {
            ::signal(SIGTERM, SIG_DFL);
        }
    }
};

std::optional<std::string> settings_refusal(const ServoSettings& s, std::size_t motors) {
    if (!(s.rate_hz >= kMinRate && s.rate_hz <= kMaxRate)) {
        return "rate_hz must be from 1 to 4000, got " + number(s.rate_hz);
    }
    if (!(std::isfinite(s.kp) && s.kp >= 0.0) || !(std::isfinite(s.kd) && s.kd >= 0.0)) {
        return "kp and kd must be finite and not negative, got " + number(s.kp) + " and " +
               number(s.kd);
    }
    if (!(std::isfinite(s.stop_kd) && s.stop_kd >= 0.0)) {
        return "stop_kd must be finite and not negative, got " + number(s.stop_kd);
    }
    if (!s.limits.empty() && s.limits.size() != motors) {
        return "limits: expected one for every motor (" + std::to_string(motors) + "), got " +
               std::to_string(s.limits.size());
    }
    for (std::size_t i = 0; i < s.limits.size(); ++i) {
        if (const auto invalid = check_motion_limits(s.limits[i])) {
            return "motor " + std::to_string(i) + ": " + invalid->message();
        }
    }
    if (s.max_misses == 0) {
        return "max_misses must be at least 1";
    }
    const int top = ::sched_get_priority_max(SCHED_FIFO);
    if (s.priority < 0 || s.priority > top) {
        return "priority must be from 0 (none) to " + std::to_string(top) + ", got " +
               std::to_string(s.priority);
    }
    const long cpus = ::sysconf(_SC_NPROCESSORS_CONF);
    if (s.cpu < -1 || s.cpu >= std::min<long>(cpus, CPU_SETSIZE)) {
        return "cpu must be from 0 to " + std::to_string(std::min<long>(cpus, CPU_SETSIZE) - 1) +
               " (or -1: any), got " + std::to_string(s.cpu);
    }
    return std::nullopt;
}

std::string StopReason::message() const {
    switch (kind) {
        case Kind::Running:
            return "running";
        case Kind::Requested:
            return "stop was asked for";
        case Kind::MotorFault:
            return "reports fault " + std::to_string(status) + " (" +
                   std::string(damiao::status_meaning(status)) + ")";
        case Kind::Missed:
            break;
    }
    return "did not answer " + std::to_string(misses) + " cycles in a row";
}

std::string StartFailure::message() const {
    switch (kind) {
        case Kind::Motor:
            return error ? error->message() : "cannot be enabled";
        case Kind::WrongMode: {
            const std::string name = mode >= 1 && mode <= kModeNames.size()
                                         ? std::string(kModeNames[mode - 1]) + " mode"
                                         : "an unknown mode";
            return "is in " + name + " (control mode " + std::to_string(mode) +
                   "), not MIT: the loop sends MIT commands only, which it would ignore; "
                   "switch it first (set_control_mode(motor, bus, \"mit\"), or dmctl mode ID mit)";
        }
        case Kind::Thread:
            return "cannot start the servo loop's thread";
        case Kind::AlreadyStarted:
            return "the servo loop has been started already";
        case Kind::BusTaken:
            return "a bus of this group is driven by another running servo loop";
        case Kind::Stopped:
            return "the servo loop was stopped while it started";
        case Kind::Closed:
            break;
    }
    return "the servo loops of this process have been shut down (it is exiting)";
}

// The locks of a loop's shared buses, taken around each of its cycles.
class SharedBusLease final : public ServoLoop::BusLease {
public:
    explicit SharedBusLease(std::span<transport::SharedBus* const> buses) noexcept
        : locked_(buses, false) {}
    void acquire() noexcept override { locked_.acquire(); }
    void release() noexcept override { locked_.release(); }

private:
    transport::LockedBuses locked_;
};

ServoLoop::ServoLoop(const damiao::MotorGroup& group, transport::BusSet& buses, BusLease& lease,
                     ServoSettings settings, std::vector<const void*> claims,
                     std::unique_ptr<transport::BusSet> own_buses,
                     std::unique_ptr<SharedBusLease> own_lease)
    : own_buses_(std::move(own_buses)),
      own_lease_(std::move(own_lease)),
      group_(group),
      buses_(buses),
      lease_(lease),
      settings_(std::move(settings)),
      claims_(std::move(claims)),
      joints_(group.members().size()),
      period_ns_(static_cast<std::uint64_t>(std::llround(1e9 / settings_.rate_hz))),
      period_s_(static_cast<double>(period_ns_) / 1e9),
      targets_(std::vector<JointTarget>(joints_)),
      states_(Snapshot{std::vector<JointReading>(joints_), 0}),
      current_(joints_),
      limiters_(joints_),
      setpoints_(joints_, MitSetpoint{}),
      results_(joints_, damiao::MotorState{}),
      received_(joints_),
      late_(joints_),
      last_(joints_),
      misses_(new std::atomic<std::uint64_t>[joints_]()),
      consecutive_(new std::atomic<std::uint32_t>[joints_]()),
      most_consecutive_(new std::atomic<std::uint32_t>[joints_]()),
      late_answers_(new std::atomic<std::uint64_t>[joints_]()),
      clamped_(new std::atomic<std::uint64_t>[joints_]()),
      disabled_(joints_, false) {
    // Every joint's range is its motor's whole p_max unless told otherwise.
    if (settings_.limits.empty()) {
        settings_.limits.assign(joints_, kDefaultMotionLimits);
    }
    for (std::size_t i = 0; i < joints_; ++i) {
        MotionLimits& limits = settings_.limits[i];
        const double p_max = group.members()[i].driver.limits().p_max;
        limits.q_min = std::max(limits.q_min, -p_max);
        limits.q_max = std::min(limits.q_max, p_max);
        limiters_[i] = *JointLimiter::make(limits);
    }
    LoopRegistry::install_fork_handlers();
    const LoopRegistry::Locked locked;
    LoopRegistry::loops->push_back(this);
}

ServoLoop::~ServoLoop() {
    stop();
    const LoopRegistry::Locked locked;
    std::erase(*LoopRegistry::loops, this);
}

namespace {

// What keeps `settings` from driving `group`: settings_refusal, and what only
// the motors tell (their ranges, gains, p_max).
std::optional<std::string> loop_refusal(const damiao::MotorGroup& group,
                                        const ServoSettings& settings) {
    const auto& members = group.members();
    for (std::size_t i = 0; i < settings.limits.size() && i < members.size(); ++i) {
        const MotionLimits& joint = settings.limits[i];
        if (!(joint.q_min < joint.q_max)) {
            return ("min_q[" + std::to_string(i) + "] = " + shortest_string(joint.q_min) +
                    " is not below max_q[" + std::to_string(i) +
                    "] = " + shortest_string(joint.q_max) + " for motor " +
                    motor_id_text(members[i].driver.motor_id()));
        }
    }
    if (auto refusal = settings_refusal(settings, members.size())) {
        return refusal;
    }
    for (std::size_t i = 0; i < members.size(); ++i) {
        const damiao::MitLimits& limits = members[i].driver.limits();
        const std::string motor = motor_id_text(members[i].driver.motor_id());
        if (settings.kp > limits.kp_max || settings.kd > limits.kd_max) {
            return ("kp " + shortest_string(settings.kp) + " or kd " +
                    shortest_string(settings.kd) + " is beyond motor " + motor + "'s kp_max " +
                    shortest_string(limits.kp_max) + " or kd_max " +
                    shortest_string(limits.kd_max));
        }
        if (settings.limits.empty()) {
            continue;
        }
        const MotionLimits& joint = settings.limits[i];
        const std::string at = "[" + std::to_string(i) + "] = ";
        if (std::abs(joint.q_min) > limits.p_max && std::isfinite(joint.q_min)) {
            return ("min_q" + at + shortest_string(joint.q_min) + " for motor " + motor +
                    " is beyond its p_max " + shortest_string(limits.p_max));
        }
        if (std::abs(joint.q_max) > limits.p_max && std::isfinite(joint.q_max)) {
            return ("max_q" + at + shortest_string(joint.q_max) + " for motor " + motor +
                    " is beyond its p_max " + shortest_string(limits.p_max));
        }
    }
    return std::nullopt;
}

}  // namespace

std::expected<std::unique_ptr<ServoLoop>, std::string> ServoLoop::make(
    const damiao::MotorGroup& group, transport::BusSet& buses, BusLease& lease,
    ServoSettings settings, std::vector<const void*> claims) {
    if (auto refusal = loop_refusal(group, settings)) {
        return std::unexpected(std::move(*refusal));
    }
    return std::unique_ptr<ServoLoop>(new ServoLoop(group, buses, lease, std::move(settings),
                                                    std::move(claims), nullptr, nullptr));
}

std::expected<std::unique_ptr<ServoLoop>, std::string> ServoLoop::make(
    const damiao::MotorGroup& group, std::span<transport::SharedBus* const> buses,
    ServoSettings settings) {
    constexpr std::size_t kMostBuses = transport::SocketCanBusSet::kMaxBuses;
    if (buses.size() > kMostBuses || group.bus_count() > buses.size()) {
        return std::unexpected("buses: the group uses " + std::to_string(group.bus_count()) +
                               ", a loop drives from 1 to " + std::to_string(kMostBuses) +
                               ", got " + std::to_string(buses.size()));
    }
    std::vector<transport::SocketCanTransport*> transports;
    std::vector<const void*> claims;
    for (transport::SharedBus* bus : buses) {
        transports.push_back(&bus->transport);
        claims.push_back(bus);
    }
    if (auto refusal = loop_refusal(group, settings)) {
        return std::unexpected(std::move(*refusal));
    }
    auto own_buses = std::make_unique<transport::SocketCanBusSet>(transports);
    auto own_lease = std::make_unique<SharedBusLease>(buses);
    transport::BusSet& bus_set = *own_buses;
    BusLease& lease = *own_lease;
    return std::unique_ptr<ServoLoop>(new ServoLoop(group, bus_set, lease, std::move(settings),
                                                    std::move(claims), std::move(own_buses),
                                                    std::move(own_lease)));
}

std::expected<std::unique_ptr<ServoLoop>, StartFailure> ServoLoop::start(
    const damiao::MotorGroup& group, transport::BusSet& buses, BusLease& lease,
    const ServoSettings& settings) {
    auto loop = make(group, buses, lease, settings);
    if (!loop) {
        return std::unexpected(StartFailure{StartFailure::Kind::Thread, {}, {}, EINVAL, 0});
    }
    if (auto started = (*loop)->start(); !started) {
        return std::unexpected(std::move(started.error()));
    }
    return std::move(*loop);
}

std::expected<void, StartFailure> ServoLoop::start() {
    {
        const LoopRegistry::Locked registry;
        const std::lock_guard lock(phase_lock_);
        if (phase() != Phase::Idle) {
            return std::unexpected(StartFailure{StartFailure::Kind::AlreadyStarted, {}, {}, 0, 0});
        }
        if (LoopRegistry::closed) {
            return std::unexpected(StartFailure{StartFailure::Kind::Closed, {}, {}, 0, 0});
        }
        for (const ServoLoop* other : *LoopRegistry::loops) {
            // A loop whose thread has ended (by itself) no longer commands.
            if (other == this || !other->drives()) {
                continue;
            }
            for (const void* bus : claims_) {
                if (std::ranges::find(other->claims_, bus) != other->claims_.end()) {
                    return std::unexpected(
                        StartFailure{StartFailure::Kind::BusTaken, {}, {}, 0, 0});
                }
            }
        }
        phase_.store(Phase::Starting, std::memory_order_release);
        if (settings_.stop_on_sigterm) {
            LoopRegistry::hold_sigterm(*this);
        }
    }
    // The log, which may be large, only for a loop that starts.
    std::optional<StartFailure> failed;
    if (settings_.log_capacity > 0 && !log_) {
        log_.reset(new (std::nothrow) LogCell[settings_.log_capacity]());
        log_values_.reset(new (std::nothrow)
                              std::atomic<double>[settings_.log_capacity * joints_ * 4]());
        if (!log_ || !log_values_) {
            log_.reset();
            log_values_.reset();
            failed = StartFailure{StartFailure::Kind::Thread, {}, {}, ENOMEM, 0};
        }
    }
    if (!failed && settings_.check_mode) {
        failed = check_modes();
    }
    if (!failed) {
        failed = enable_all();
        if (!failed && stop_asked()) {
            failed = StartFailure{StartFailure::Kind::Stopped, {}, {}, 0, 0};
        }
        if (!failed) {
            failed = start_thread();
        }
        if (failed) {
            disable_all();
        }
    }
    if (failed) {
        const bool for_good = stop_asked() || failed->kind == StartFailure::Kind::Stopped;
        if (for_good) {
            failed->kind = StartFailure::Kind::Stopped;
            failed->member.reset();
            failed->error.reset();
        }
        end_start(for_good ? Phase::Stopped : Phase::Idle);
        return std::unexpected(std::move(*failed));
    }
    end_start(Phase::Running);
    return {};
}

void ServoLoop::end_start(Phase to) noexcept {
    if (to != Phase::Running) {
        LoopRegistry::release_sigterm(*this);
    }
    const std::lock_guard lock(phase_lock_);
    // A fork during the start left the child's copy Abandoned; this is the
    // parent, where the start ran.
    phase_.store(to, std::memory_order_release);
    phase_changed_.notify_all();
}

std::optional<StartFailure> ServoLoop::check_modes() {
    std::vector<damiao::Result<damiao::RegisterValue>> modes(joints_, damiao::RegisterValue{});
    lease_.acquire();
    group_.read_register(buses_, damiao::kControlModeRegister, modes);
    lease_.release();
    for (std::size_t i = 0; i < joints_; ++i) {
        if (!modes[i]) {
            return StartFailure{StartFailure::Kind::Motor, i, modes[i].error(), 0, 0};
        }
        if (modes[i]->payload != kMitMode) {
            return StartFailure{StartFailure::Kind::WrongMode, i, {}, 0, modes[i]->payload};
        }
    }
    return std::nullopt;
}

std::optional<StartFailure> ServoLoop::enable_all() {
    // A motor whose answer did not come in time (a busy bus, a slow
    // machine) gets the enable again in another round; enabling an enabled
    // motor changes nothing.
    std::vector<bool> enabled(joints_, false);
    std::vector<damiao::MotorState> states(joints_);
    std::optional<StartFailure> failed;
    for (int round = 0; round < kEnableRounds && !stop_asked(); ++round) {
        lease_.acquire();
        group_.command(buses_, GroupCommand::Enable, results_, {received_, late_});
        lease_.release();
        failed.reset();
        for (std::size_t i = 0; i < joints_; ++i) {
            if (results_[i]) {
                enabled[i] = true;
                states[i] = *results_[i];
                last_[i].time_ns = static_cast<std::int64_t>(received_[i].nanos);
            } else if (!enabled[i] && !failed) {
                failed = StartFailure{StartFailure::Kind::Motor, i, results_[i].error(), 0, 0};
            }
        }
        // A motor that reports a fault will not enable, however often asked.
        if (!failed ||
            std::holds_alternative<damiao::Error::Unconfirmed>(failed->error->detail())) {
            break;
        }
    }
    if (failed) {
        return failed;
    }
    const std::int64_t now = now_ns();
    for (std::size_t i = 0; i < joints_; ++i) {
        const damiao::MotorState& state = states[i];
        limiters_[i].reset(state.position);
        current_[i] = {state.position, 0.0, 0.0, settings_.kp, settings_.kd};
        last_[i] = {state.position, state.velocity, state.torque, state.error, 0, last_[i].time_ns};
    }
    targets_at_ = now;
    states_.writing() = Snapshot{last_, 0};
    states_.publish();
    return std::nullopt;
}

// Rounds of the group's verified disable while a motor has not confirmed it,
// for disable_timeout_ns and at least kDisableRounds: a busy bus or machine
// can make answers miss a few rounds, and a motor that stays enabled is what
// the stop exists to prevent.
void ServoLoop::disable_all() noexcept {
    const std::int64_t until = now_ns() + static_cast<std::int64_t>(settings_.disable_timeout_ns);
    for (int round = 1;; ++round) {
        lease_.acquire();
        group_.command(buses_, GroupCommand::Disable, results_, {received_, late_});
        lease_.release();
        bool all = true;
        for (std::size_t i = 0; i < joints_; ++i) {
            if (results_[i]) {
                disabled_[i] = true;
                last_[i].status = results_[i]->error;
            }
            all = all && disabled_[i];
        }
        if (all || (round >= kDisableRounds && now_ns() >= until)) {
            return;
        }
    }
}

std::optional<StartFailure> ServoLoop::start_thread() {
    // The thread never runs a signal handler: every signal goes to the
    // application's threads, and no system call of the loop is interrupted.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    // What was asked first; without the privilege for SCHED_FIFO (EPERM), or
    // on a CPU the process may not use (a cpuset, taskset), the loop runs
    // without it, and says so.
    int failed = EPERM;
    for (const bool pinned : {settings_.cpu >= 0, false}) {
        for (const bool real_time : {settings_.priority > 0, false}) {
            pthread_attr_t attributes;
            pthread_attr_init(&attributes);
            pthread_attr_setstacksize(&attributes, kStackBytes);
            if (pinned) {
                cpu_set_t cpus;
                CPU_ZERO(&cpus);
                CPU_SET(static_cast<std::size_t>(settings_.cpu), &cpus);
                pthread_attr_setaffinity_np(&attributes, sizeof(cpus), &cpus);
            }
            if (real_time) {
                pthread_attr_setinheritsched(&attributes, PTHREAD_EXPLICIT_SCHED);
                pthread_attr_setschedpolicy(&attributes, SCHED_FIFO);
                sched_param parameter{};
                parameter.sched_priority = settings_.priority;
                pthread_attr_setschedparam(&attributes, &parameter);
            }
            failed = pthread_create(&thread_, &attributes, thread_main, this);
            pthread_attr_destroy(&attributes);
            if (failed == 0) {
                grant_.scheduled = real_time;
                grant_.pinned = pinned;
                break;
            }
        }
        if (failed == 0) {
            break;
        }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (failed != 0) {
        return StartFailure{StartFailure::Kind::Thread, std::nullopt, std::nullopt, failed, 0};
    }
    if (settings_.lock_memory) {
        // Only what is mapped now, page by page as it is touched: the loop's
        // memory, all allocated by now, stays resident, while the
        // application's later allocations are not held to the lock limit.
        grant_.memory_locked = ::mlockall(MCL_CURRENT | MCL_ONFAULT) == 0;
    }
    return std::nullopt;
}

void* ServoLoop::thread_main(void* self) noexcept {
    static_cast<ServoLoop*>(self)->run();
    return nullptr;
}

void ServoLoop::command_targets(std::int64_t started) noexcept {
    if (targets_.take()) {
        std::copy(targets_.reading().begin(), targets_.reading().end(), current_.begin());
        targets_at_ = started;
    }
    // Targets not renewed in time: every joint comes to rest where it is
    // commanded now, within its acceleration limit, with no feed-forward.
    const bool hold =
        settings_.target_timeout_ns > 0 &&
        static_cast<std::uint64_t>(started - targets_at_) > settings_.target_timeout_ns;
    for (std::size_t i = 0; i < joints_; ++i) {
        const JointTarget& target = current_[i];
        JointLimiter& limiter = limiters_[i];
        const MotionState next = hold ? limiter.step(limiter.state().q, 0.0, period_s_)
                                      : limiter.step(target.q, target.dq, period_s_);
        setpoints_[i] = MitSetpoint{static_cast<float>(next.q), static_cast<float>(next.v),
                                    static_cast<float>(target.kp), static_cast<float>(target.kd),
                                    hold ? 0.0F : static_cast<float>(target.tau)};
    }
}

// No pull towards any position, only damping, no feed-forward: the motors
// come to rest wherever they are.
void ServoLoop::command_damping() noexcept {
    for (std::size_t i = 0; i < joints_; ++i) {
        setpoints_[i] = MitSetpoint{static_cast<float>(last_[i].q), 0.0F, 0.0F,
                                    static_cast<float>(settings_.stop_kd), 0.0F};
    }
}

bool ServoLoop::exchange(std::int64_t started) noexcept {
    damiao::CycleOutputs outputs{received_, late_};
    lease_.acquire();
    // On the buses' clock, which the answers' times are taken on.
    const MonotonicTime began = buses_.now();
    if (read_after_ns_ > 0) {
        outputs.read_from = MonotonicTime{began.nanos + static_cast<std::uint64_t>(read_after_ns_)};
    }
    group_.cycle(buses_, setpoints_, results_, outputs);
    lease_.release();
    learn_answer_span(began, outputs.read_from);
    ++cycle_;
    bool go_on = true;
    for (std::size_t i = 0; i < joints_; ++i) {
        if (late_[i] > 0) {
            late_answers_[i].store(late_answers_[i].load(std::memory_order_relaxed) + late_[i],
                                   std::memory_order_relaxed);
            late_[i] = 0;
        }
        if (results_[i]) {
            const damiao::MotorState& state = *results_[i];
            last_[i] = {state.position, state.velocity,
                        state.torque,   state.error,
                        cycle_,         static_cast<std::int64_t>(received_[i].nanos)};
            consecutive_[i].store(0, std::memory_order_relaxed);
            if (state.error >= kFirstFault && go_on && !damping_) {
                reason_ = {StopReason::Kind::MotorFault, i, state.error, 0};
                go_on = false;
            }
            continue;
        }
        misses_[i].store(misses_[i].load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        const std::uint32_t row = consecutive_[i].load(std::memory_order_relaxed) + 1;
        consecutive_[i].store(row, std::memory_order_relaxed);
        if (row > most_consecutive_[i].load(std::memory_order_relaxed)) {
            most_consecutive_[i].store(row, std::memory_order_relaxed);
        }
        if (row >= settings_.max_misses && go_on && !damping_) {
            reason_ = {StopReason::Kind::Missed, i, 0, row};
            go_on = false;
        }
    }
    Snapshot& snapshot = states_.writing();
    std::copy(last_.begin(), last_.end(), snapshot.joints.begin());
    snapshot.cycle = cycle_;
    states_.publish();
    record_log(started);
    cycles_.store(cycle_, std::memory_order_relaxed);
    return go_on;
}

// Only a last answer taken in after the cycle began to look tells when it
// came; one that was waiting already says only that it came sooner.
void ServoLoop::learn_answer_span(MonotonicTime began, MonotonicTime read_from) noexcept {
    std::uint64_t last = 0;
    for (std::size_t i = 0; i < joints_; ++i) {
        if (!results_[i]) {
            return;
        }
        last = std::max(last, received_[i].nanos);
    }
    if (last <= read_from.nanos || last < began.nanos) {
        return;
    }
    constexpr std::size_t kSpans = std::tuple_size_v<decltype(answer_spans_)>;
    answer_spans_[answer_span_count_++ % kSpans] = static_cast<std::int64_t>(last - began.nanos);
    if (answer_span_count_ < kSpans / 4) {
        return;
    }
    const std::size_t filled = std::min(answer_span_count_, kSpans);
    const std::int64_t shortest = *std::min_element(
        answer_spans_.begin(), answer_spans_.begin() + static_cast<std::ptrdiff_t>(filled));
    // Seven eighths: the wake-up's own lateness, and an answer that comes a
    // little sooner than any seen so far, still find the cycle looking.
    read_after_ns_ = shortest / 8 * 7;
}

void ServoLoop::record_log(std::int64_t started) noexcept {
    if (!log_) {
        return;
    }
    const std::size_t capacity = settings_.log_capacity;
    const std::size_t slot = static_cast<std::size_t>(cycle_ % capacity);
    LogCell& cell = log_[slot];
    cell.seq.store(0, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    cell.time.store(started, std::memory_order_relaxed);
    std::atomic<double>* values = &log_values_[slot * joints_ * 4];
    for (std::size_t i = 0; i < joints_; ++i) {
        const MitSetpoint& sent = std::get<MitSetpoint>(setpoints_[i]);
        values[i * 4 + 0].store(sent.q, std::memory_order_relaxed);
        values[i * 4 + 1].store(last_[i].q, std::memory_order_relaxed);
        values[i * 4 + 2].store(last_[i].dq, std::memory_order_relaxed);
        values[i * 4 + 3].store(last_[i].tau, std::memory_order_relaxed);
    }
    cell.seq.store(cycle_ + 1, std::memory_order_release);
    logged_.store(cycle_, std::memory_order_release);
}

void ServoLoop::run() noexcept {
    const auto period = static_cast<std::int64_t>(period_ns_);
    std::int64_t next = now_ns();
    while (!stop_asked()) {
        sleep_until(next);
        const std::int64_t started = now_ns();
        const std::int64_t lateness = std::max<std::int64_t>(0, started - next);
        period_error_.record(static_cast<std::uint64_t>(lateness));
        // A start half a period late or more (a stall of the machine) moves
        // the schedule to it: the periods it took are lost, never made up
        // with a burst, and the cycles after it start on time. Kept, the
        // lateness would carry into them: they would start back to back,
        // each one late, until it was worked off.
        if (2 * lateness >= period) {
            const std::int64_t skipped = lateness / period;
            late_periods_.store(
                late_periods_.load(std::memory_order_relaxed) + static_cast<std::uint64_t>(skipped),
                std::memory_order_relaxed);
            next = started;
        }
        command_targets(started);
        const bool go_on = exchange(started);
        const std::int64_t took = now_ns() - started;
        cycle_time_.record(static_cast<std::uint64_t>(took));
        if (took > period) {
            overruns_.store(overruns_.load(std::memory_order_relaxed) + 1,
                            std::memory_order_relaxed);
        }
        if (!go_on) {
            break;
        }
        next += period;
    }
    if (reason_.kind == StopReason::Kind::Running) {
        reason_ = {StopReason::Kind::Requested, 0, 0, 0};
    }
    // The safe stop: damping for a while, on the same schedule, then every
    // motor disabled, each one verified by its answer.
    damping_ = true;
    const std::int64_t damped_until =
        now_ns() + static_cast<std::int64_t>(settings_.stop_damping_ns);
    next = now_ns();
    while (now_ns() < damped_until) {
        sleep_until(next);
        command_damping();
        (void)exchange(now_ns());
        next = std::max(next + period, now_ns() - period / 2);
    }
    disable_all();
    Snapshot& snapshot = states_.writing();
    std::copy(last_.begin(), last_.end(), snapshot.joints.begin());
    snapshot.cycle = cycle_;
    states_.publish();
    const std::lock_guard lock(phase_lock_);
    finished_.store(true, std::memory_order_release);
    phase_changed_.notify_all();
}

bool ServoLoop::set_targets(std::span<const JointTarget> targets) noexcept {
    if (!running() || targets.size() != joints_) {
        return false;
    }
    const std::lock_guard writer(target_writers_);
    std::vector<JointTarget>& slot = targets_.writing();
    for (std::size_t i = 0; i < joints_; ++i) {
        JointTarget& target = slot[i];
        target = targets[i];
        const MotionLimits& limits = settings_.limits[i];
        const double q = std::clamp(target.q, limits.q_min, limits.q_max);
        if (q != target.q) {
            clamped_[i].store(clamped_[i].load(std::memory_order_relaxed) + 1,
                              std::memory_order_relaxed);
            target.q = q;
            // Held at the limit: a velocity outwards would only be braked away.
            if ((q == limits.q_max && target.dq > 0.0) || (q == limits.q_min && target.dq < 0.0)) {
                target.dq = 0.0;
            }
        }
    }
    targets_.publish();
    return true;
}

std::uint64_t ServoLoop::read_states(std::span<JointReading> out) const noexcept {
    const std::lock_guard reader(state_readers_);
    auto& states = const_cast<TripleBuffer<Snapshot>&>(states_);
    states.take();
    const Snapshot& snapshot = states.reading();
    std::copy_n(snapshot.joints.begin(), std::min(out.size(), snapshot.joints.size()), out.begin());
    return snapshot.cycle;
}

ServoStats ServoLoop::stats() const {
    ServoStats stats;
    stats.cycles = cycles_.load(std::memory_order_relaxed);
    stats.late_periods = late_periods_.load(std::memory_order_relaxed);
    stats.overruns = overruns_.load(std::memory_order_relaxed);
    const auto percentiles = [](const LatencyHistogram& histogram) {
        return std::array<std::uint64_t, 4>{histogram.percentile(0.5), histogram.percentile(0.99),
                                            histogram.percentile(0.999), histogram.max()};
    };
    stats.period_error_ns = percentiles(period_error_);
    stats.cycle_ns = percentiles(cycle_time_);
    stats.joints.resize(joints_);
    for (std::size_t i = 0; i < joints_; ++i) {
        stats.joints[i] = {misses_[i].load(std::memory_order_relaxed),
                           consecutive_[i].load(std::memory_order_relaxed),
                           most_consecutive_[i].load(std::memory_order_relaxed),
                           late_answers_[i].load(std::memory_order_relaxed),
                           clamped_[i].load(std::memory_order_relaxed)};
    }
    return stats;
}

ServoLog ServoLoop::log() const {
    ServoLog log;
    log.target.resize(joints_);
    log.q.resize(joints_);
    log.dq.resize(joints_);
    log.tau.resize(joints_);
    // Made by the start, before it announces the loop running.
    const Phase at = phase();
    if (at == Phase::Idle || at == Phase::Starting || !log_) {
        return log;
    }
    const std::size_t capacity = settings_.log_capacity;
    const std::uint64_t newest = logged_.load(std::memory_order_acquire);
    const std::uint64_t count = std::min<std::uint64_t>(newest, capacity);
    std::vector<double> values(joints_ * 4);
    for (std::uint64_t cycle = newest - count + 1; cycle <= newest; ++cycle) {
        const LogCell& cell = log_[static_cast<std::size_t>(cycle % capacity)];
        const std::uint64_t before = cell.seq.load(std::memory_order_acquire);
        if (before != cycle + 1) {
            continue;  // being rewritten by a newer cycle
        }
        const std::int64_t time = cell.time.load(std::memory_order_relaxed);
        const std::atomic<double>* stored =
            &log_values_[static_cast<std::size_t>(cycle % capacity) * joints_ * 4];
        for (std::size_t k = 0; k < values.size(); ++k) {
            values[k] = stored[k].load(std::memory_order_relaxed);
        }
        std::atomic_thread_fence(std::memory_order_acquire);
        if (cell.seq.load(std::memory_order_relaxed) != before) {
            continue;
        }
        log.cycle.push_back(cycle);
        log.time_ns.push_back(time);
        for (std::size_t i = 0; i < joints_; ++i) {
            log.target[i].push_back(values[i * 4 + 0]);
            log.q[i].push_back(values[i * 4 + 1]);
            log.dq[i].push_back(values[i * 4 + 2]);
            log.tau[i].push_back(values[i * 4 + 3]);
        }
    }
    return log;
}

void ServoLoop::stop() noexcept {
    std::unique_lock lock(phase_lock_);
    for (;;) {
        switch (phase()) {
            case Phase::Idle:
            case Phase::Stopped:
            case Phase::Abandoned:
                return;
            case Phase::Starting:
                // The start sees it and ends with a verified disable.
                stop_asked_.store(true, std::memory_order_release);
                phase_changed_.wait(lock);
                continue;
            case Phase::Stopping:
                phase_changed_.wait(lock);
                continue;
            case Phase::Running:
                break;
        }
        // This thread joins; any other that comes meanwhile waits above.
        stop_asked_.store(true, std::memory_order_release);
        phase_.store(Phase::Stopping, std::memory_order_release);
        lock.unlock();
        pthread_join(thread_, nullptr);
        LoopRegistry::release_sigterm(*this);
        lock.lock();
        phase_.store(Phase::Stopped, std::memory_order_release);
        phase_changed_.notify_all();
        return;
    }
}

bool ServoLoop::wait(std::int64_t timeout_ns) const noexcept {
    std::unique_lock lock(phase_lock_);
    const auto ended = [this] {
        const Phase at = phase();
        return finished_.load(std::memory_order_acquire) ||
               (at != Phase::Starting && at != Phase::Running && at != Phase::Stopping);
    };
    if (timeout_ns < 0) {
        phase_changed_.wait(lock, ended);
        return true;
    }
    return phase_changed_.wait_for(lock, std::chrono::nanoseconds(timeout_ns), ended);
}

bool ServoLoop::drives() const noexcept {
    const Phase at = phase();
    return at == Phase::Starting || ((at == Phase::Running || at == Phase::Stopping) &&
                                     !finished_.load(std::memory_order_acquire));
}

bool ServoLoop::running() const noexcept {
    return phase() == Phase::Running && !finished_.load(std::memory_order_acquire);
}

StopReason ServoLoop::stop_reason() const noexcept {
    if (!finished_.load(std::memory_order_acquire)) {
        return {};
    }
    return reason_;
}

std::vector<bool> ServoLoop::disabled() const {
    if (!finished_.load(std::memory_order_acquire)) {
        return std::vector<bool>(joints_, false);
    }
    return disabled_;
}

void ServoLoop::stop_all(bool close) noexcept {
    LoopRegistry::install_fork_handlers();
    const LoopRegistry::Locked registry;
    if (close) {
        LoopRegistry::closed = true;
    }
    for (ServoLoop* loop : *LoopRegistry::loops) {
        loop->stop();
    }
}

void ServoLoop::abandon() noexcept {
    // A lock that a parent's thread held at the fork would stay held here.
    new (&phase_lock_) std::mutex;
    new (&phase_changed_) std::condition_variable;
    new (&target_writers_) std::mutex;
    new (&state_readers_) std::mutex;
    const Phase at = phase();
    if (at == Phase::Starting || at == Phase::Running || at == Phase::Stopping) {
        phase_.store(Phase::Abandoned, std::memory_order_release);
    }
    sigterm_held_ = false;
}

}  // namespace axiolink::control
