#include "control/servo_loop.hpp"

#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <variant>

namespace axiolink::control {
namespace {

using damiao::GroupCommand;
using damiao::MitSetpoint;
using transport::MonotonicTime;

constexpr double kMinRate = 1.0;
constexpr double kMaxRate = 4000.0;
constexpr std::uint8_t kFirstFault = 8;
// Verified enables tried at start, and disables at the end of a safe stop.
constexpr int kEnableRounds = 3;
constexpr int kDisableRounds = 3;
// The loop's thread needs a few tens of kilobytes (a group cycle keeps its
// frames on the stack); this much leaves room to spare.
constexpr std::size_t kStackBytes = 512 * 1024;

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

}  // namespace

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

ServoLoop::ServoLoop(const damiao::MotorGroup& group, transport::BusSet& buses, BusLease& lease,
                     const ServoSettings& settings)
    : group_(group),
      buses_(buses),
      lease_(lease),
      settings_(settings),
      joints_(group.members().size()),
      period_ns_(static_cast<std::uint64_t>(std::llround(1e9 / settings.rate_hz))),
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
      disabled_(joints_, false) {
    for (std::size_t i = 0; i < joints_; ++i) {
        const MotionLimits limits =
            settings.limits.empty() ? kDefaultMotionLimits : settings.limits[i];
        limiters_[i] = *JointLimiter::make(limits);
    }
    if (settings.log_capacity > 0) {
        log_.reset(new LogCell[settings.log_capacity]());
        log_values_.reset(new std::atomic<double>[settings.log_capacity * joints_ * 4]());
    }
}

ServoLoop::~ServoLoop() {
    stop();
}

std::expected<std::unique_ptr<ServoLoop>, StartFailure> ServoLoop::start(
    const damiao::MotorGroup& group, transport::BusSet& buses, BusLease& lease,
    const ServoSettings& settings) {
    std::unique_ptr<ServoLoop> loop(new ServoLoop(group, buses, lease, settings));
    if (auto failed = loop->enable_all()) {
        loop->disable_all();
        return std::unexpected(std::move(*failed));
    }
    if (auto failed = loop->start_thread()) {
        loop->disable_all();
        return std::unexpected(std::move(*failed));
    }
    return loop;
}

std::optional<StartFailure> ServoLoop::enable_all() {
    // A motor whose answer did not come in time (a busy bus, a slow
    // machine) gets the enable again in another round; enabling an enabled
    // motor changes nothing.
    std::vector<bool> enabled(joints_, false);
    std::vector<damiao::MotorState> states(joints_);
    std::optional<StartFailure> failed;
    for (int round = 0; round < kEnableRounds; ++round) {
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
                failed = StartFailure{i, results_[i].error(), 0};
            }
        }
        // A motor that reports a fault will not enable, however often asked.
        if (!failed || std::holds_alternative<damiao::Error::Unconfirmed>(failed->error->detail())) {
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

void ServoLoop::disable_all() noexcept {
    for (int round = 0; round < kDisableRounds; ++round) {
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
        if (all) {
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
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, kStackBytes);
    int failed = EPERM;
    if (settings_.priority > 0) {
        pthread_attr_t real_time;
        pthread_attr_init(&real_time);
        pthread_attr_setstacksize(&real_time, kStackBytes);
        pthread_attr_setinheritsched(&real_time, PTHREAD_EXPLICIT_SCHED);
        pthread_attr_setschedpolicy(&real_time, SCHED_FIFO);
        sched_param parameter{};
        parameter.sched_priority = settings_.priority;
        pthread_attr_setschedparam(&real_time, &parameter);
        running_.store(true);
        failed = pthread_create(&thread_, &real_time, thread_main, this);
        pthread_attr_destroy(&real_time);
        grant_.scheduled = failed == 0;
    }
    if (failed != 0) {
        // Without the privilege (EPERM) the loop runs at normal priority.
        running_.store(true);
        failed = pthread_create(&thread_, &attributes, thread_main, this);
    }
    pthread_attr_destroy(&attributes);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (failed != 0) {
        running_.store(false);
        return StartFailure{std::nullopt, std::nullopt, failed};
    }
    joinable_ = true;
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
    const bool hold = settings_.target_timeout_ns > 0 &&
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
    lease_.acquire();
    group_.cycle(buses_, setpoints_, results_, {received_, late_});
    lease_.release();
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
            last_[i] = {state.position, state.velocity, state.torque, state.error, cycle_,
                        static_cast<std::int64_t>(received_[i].nanos)};
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
    while (!stop_asked_.load(std::memory_order_acquire)) {
        sleep_until(next);
        const std::int64_t started = now_ns();
        const std::int64_t lateness = std::max<std::int64_t>(0, started - next);
        period_error_.record(static_cast<std::uint64_t>(lateness));
        // A period whose cycle could not start before the next one began is
        // lost, not made up with a burst: the schedule moves on.
        if (lateness >= period) {
            const std::int64_t skipped = lateness / period;
            late_periods_.store(late_periods_.load(std::memory_order_relaxed) +
                                    static_cast<std::uint64_t>(skipped),
                                std::memory_order_relaxed);
            next += skipped * period;
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
    const std::int64_t damped_until = now_ns() + static_cast<std::int64_t>(settings_.stop_damping_ns);
    next = now_ns();
    while (now_ns() < damped_until) {
        sleep_until(next);
        command_damping();
        (void)exchange(now_ns());
        next += period;
    }
    disable_all();
    Snapshot& snapshot = states_.writing();
    std::copy(last_.begin(), last_.end(), snapshot.joints.begin());
    snapshot.cycle = cycle_;
    states_.publish();
    running_.store(false, std::memory_order_release);
    finished_.store(true, std::memory_order_release);
}

bool ServoLoop::set_targets(std::span<const JointTarget> targets) noexcept {
    if (!running() || targets.size() != joints_) {
        return false;
    }
    const std::lock_guard writer(target_writers_);
    std::copy(targets.begin(), targets.end(), targets_.writing().begin());
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
                           late_answers_[i].load(std::memory_order_relaxed)};
    }
    return stats;
}

ServoLog ServoLoop::log() const {
    ServoLog log;
    log.target.resize(joints_);
    log.q.resize(joints_);
    log.dq.resize(joints_);
    log.tau.resize(joints_);
    if (!log_) {
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
    const std::lock_guard once(stop_once_);
    if (!joinable_) {
        return;
    }
    stop_asked_.store(true, std::memory_order_release);
    pthread_join(thread_, nullptr);
    joinable_ = false;
}

bool ServoLoop::running() const noexcept {
    return running_.load(std::memory_order_acquire);
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

void ServoLoop::abandon() noexcept {
    // The child's only thread: no lock (one held at the fork stays held).
    joinable_ = false;
    running_.store(false, std::memory_order_release);
}

}  // namespace axiolink::control
