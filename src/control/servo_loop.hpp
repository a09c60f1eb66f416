#pragma once
// A servo loop that keeps time on its own thread: one group cycle of MIT
// commands per period, clocked on absolute deadlines, whatever the threads
// around it do.
//
// The application hands targets in and reads states out through handoffs
// that never make either side wait for the other; between the targets and
// the wire, a motion limiter per joint turns any target into a smooth
// motion. The loop enables the motors when it starts and holds each where
// its enable answer says; it stops safely (damping, then every motor
// disabled, each verified by its answer) when asked to, when a motor
// reports a fault, or when a motor misses too many cycles in a row.
//
// The loop's thread allocates nothing and takes no lock but the buses'
// around each cycle; all memory is allocated at start. One ServoLoop is
// driven from any number of threads: set_targets from several threads is
// serialised among the writers, the readers among themselves.

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "control/latency_histogram.hpp"
#include "control/motion_limiter.hpp"
#include "control/triple_buffer.hpp"
#include "damiao/group.hpp"
#include "transport/bus_set.hpp"

namespace axiolink::control {

// What the application asks of one joint: where to be (rad), how fast the
// target itself moves (rad/s, for the limiter to follow it without lag), a
// feed-forward torque (N·m) and the MIT gains.
struct JointTarget {
    double q = 0.0;
    double dq = 0.0;
    double tau = 0.0;
    double kp = 0.0;
    double kd = 0.0;
};

struct ServoSettings {
    double rate_hz = 500.0;             // periods per second, 1 to 4000
    double kp = 5.0;                    // the gains a target gets unless it says
    double kd = 0.5;
    std::vector<MotionLimits> limits;   // one per motor; empty: the defaults
    std::uint32_t max_misses = 10;      // consecutive cycles without one motor's answer
    std::uint64_t target_timeout_ns = 0;  // targets older than this: hold; 0: never
    double stop_kd = 1.0;               // damping while stopping
    std::uint64_t stop_damping_ns = 200'000'000;  // how long, before the disable
    int priority = 0;                   // SCHED_FIFO priority asked for; 0: none
    bool lock_memory = false;           // ask for mlockall
    std::size_t log_capacity = 0;       // cycles kept for reading back; 0: none
};

// A setting the loop cannot run with, e.g. "rate_hz must be from 1 to 4000,
// got 0"; refused before any motor is enabled.
std::optional<std::string> settings_refusal(const ServoSettings& settings, std::size_t motors);

// Why a loop stopped.
struct StopReason {
    enum class Kind : std::uint8_t {
        Running,     // it has not
        Requested,   // stop() or the owner going away
        MotorFault,  // a motor's answer reported a fault code
        Missed,      // a motor did not answer max_misses cycles in a row
    };
    Kind kind = Kind::Running;
    std::size_t member = 0;   // MotorFault, Missed: the motor's place in the group
    std::uint8_t status = 0;  // MotorFault: the status it reported
    std::uint32_t misses = 0;  // Missed: how many in a row
    // "reports fault 12 (rotor over-temperature)";
    // "did not answer 10 cycles in a row"; "stop was asked for"
    std::string message() const;
};

// A motor's latest answer as the loop saw it: position (rad), velocity
// (rad/s), torque (N·m), status code, the loop cycle it came in and when
// (monotonic ns; 0: none yet).
struct JointReading {
    double q = 0.0;
    double dq = 0.0;
    double tau = 0.0;
    std::uint8_t status = 0;
    std::uint64_t cycle = 0;
    std::int64_t time_ns = 0;
};

// What the loop got of the real-time settings it asked for.
struct RealTimeGrant {
    bool scheduled = false;  // SCHED_FIFO at the priority asked
    bool memory_locked = false;
};

// Per motor counts.
struct JointCounts {
    std::uint64_t misses = 0;              // cycles without its answer
    std::uint32_t consecutive_misses = 0;  // in a row, now
    std::uint32_t most_consecutive = 0;    // in a row, at worst
    std::uint64_t late_answers = 0;
};

struct ServoStats {
    std::uint64_t cycles = 0;
    std::uint64_t late_periods = 0;  // periods skipped: their cycle could not start in time
    std::uint64_t overruns = 0;      // cycles that took longer than a period
    // Lateness of each cycle's start against its deadline, and each cycle's
    // duration, in ns: p50, p99, p99.9, max.
    std::array<std::uint64_t, 4> period_error_ns{};
    std::array<std::uint64_t, 4> cycle_ns{};
    std::vector<JointCounts> joints;
};

// The recent cycles, as columns: entry i of each is one cycle, oldest first.
struct ServoLog {
    std::vector<std::uint64_t> cycle;
    std::vector<std::int64_t> time_ns;  // when the cycle started
    // [motor][entry]
    std::vector<std::vector<double>> target;  // the position commanded (after the limiter)
    std::vector<std::vector<double>> q;
    std::vector<std::vector<double>> dq;
    std::vector<std::vector<double>> tau;
};

// Why a loop did not start: the motor that could not be enabled and the
// error it met, or (no motor) the system error that kept the loop's thread
// from starting.
struct StartFailure {
    std::optional<std::size_t> member;
    std::optional<damiao::Error> error;
    int os_error = 0;
};

class ServoLoop {
public:
    // Exclusive use of the loop's buses, taken around each cycle and given
    // back between cycles (plain commands of other threads run then).
    class BusLease {
    public:
        virtual void acquire() noexcept = 0;
        virtual void release() noexcept = 0;

    protected:
        ~BusLease() = default;
    };

    // Enables every motor (a verified group enable, on the calling thread)
    // and starts the loop, holding each motor where its enable answer says.
    // A motor that cannot be enabled fails the start, after a verified
    // disable of all. `settings` must pass settings_refusal. The group, bus
    // set and lease must outlive the loop.
    static std::expected<std::unique_ptr<ServoLoop>, StartFailure> start(
        const damiao::MotorGroup& group, transport::BusSet& buses, BusLease& lease,
        const ServoSettings& settings);

    ServoLoop(const ServoLoop&) = delete;
    ServoLoop& operator=(const ServoLoop&) = delete;
    // Stops (safely) if still running.
    ~ServoLoop();

    std::size_t size() const noexcept { return joints_; }
    const ServoSettings& settings() const noexcept { return settings_; }
    RealTimeGrant real_time() const noexcept { return grant_; }

    // Hands the next targets over, one per motor, applied together in one
    // cycle. Never waits for the loop (only for another thread's
    // set_targets). False when the loop has stopped.
    bool set_targets(std::span<const JointTarget> targets) noexcept;

    // The latest reading of every motor (`out` has one entry per motor) and
    // the loop's latest cycle number.
    std::uint64_t read_states(std::span<JointReading> out) const noexcept;
    ServoStats stats() const;
    ServoLog log() const;

    // Asks the loop to stop and waits for the safe stop to end.
    void stop() noexcept;
    bool running() const noexcept;
    StopReason stop_reason() const noexcept;
    // After the stop: whether each motor's disable was confirmed.
    std::vector<bool> disabled() const;

    // In a forked child, where the loop's thread does not exist: forgets it
    // without waiting for it or commanding any motor (they are the
    // parent's).
    void abandon() noexcept;

private:
    struct Snapshot {
        std::vector<JointReading> joints;
        std::uint64_t cycle = 0;
    };
    // One logged cycle: `seq` is its cycle number + 1 once written, 0
    // while it is being written; the values live in log_values_.
    struct LogCell {
        std::atomic<std::uint64_t> seq{0};
        std::atomic<std::int64_t> time{0};
    };

    ServoLoop(const damiao::MotorGroup& group, transport::BusSet& buses, BusLease& lease,
              const ServoSettings& settings);

    static void* thread_main(void* self) noexcept;
    std::optional<StartFailure> enable_all();
    void disable_all() noexcept;
    std::optional<StartFailure> start_thread();
    void run() noexcept;
    // One cycle of `setpoints_`; takes the answers in. False when a motor
    // calls for the loop to stop (reason_ says why).
    bool exchange(std::int64_t started) noexcept;
    void command_targets(std::int64_t started) noexcept;
    void command_damping() noexcept;
    void record_log(std::int64_t started) noexcept;

    const damiao::MotorGroup& group_;
    transport::BusSet& buses_;
    BusLease& lease_;
    ServoSettings settings_;
    std::size_t joints_;
    std::uint64_t period_ns_;
    double period_s_;
    RealTimeGrant grant_;

    // Handoffs.
    TripleBuffer<std::vector<JointTarget>> targets_;
    std::mutex target_writers_;
    TripleBuffer<Snapshot> states_;
    mutable std::mutex state_readers_;

    // The loop thread's own.
    std::vector<JointTarget> current_;
    std::vector<JointLimiter> limiters_;
    std::vector<damiao::ControlSetpoint> setpoints_;
    std::vector<damiao::Result<damiao::MotorState>> results_;
    std::vector<transport::MonotonicTime> received_;
    std::vector<std::uint32_t> late_;
    std::vector<JointReading> last_;
    std::int64_t targets_at_ = 0;
    std::uint64_t cycle_ = 0;

    // Read by any thread.
    std::unique_ptr<std::atomic<std::uint64_t>[]> misses_;
    std::unique_ptr<std::atomic<std::uint32_t>[]> consecutive_;
    std::unique_ptr<std::atomic<std::uint32_t>[]> most_consecutive_;
    std::unique_ptr<std::atomic<std::uint64_t>[]> late_answers_;
    std::atomic<std::uint64_t> cycles_{0};
    std::atomic<std::uint64_t> late_periods_{0};
    std::atomic<std::uint64_t> overruns_{0};
    LatencyHistogram period_error_;
    LatencyHistogram cycle_time_;
    std::unique_ptr<LogCell[]> log_;
    // [cell][motor][target, q, dq, tau]
    std::unique_ptr<std::atomic<double>[]> log_values_;
    std::atomic<std::uint64_t> logged_{0};

    std::atomic<bool> stop_asked_{false};
    std::atomic<bool> running_{false};
    std::atomic<bool> finished_{false};
    StopReason reason_;  // written by the loop before finished_ is set
    std::vector<bool> disabled_;
    pthread_t thread_{};
    bool joinable_ = false;
    bool damping_ = false;  // the loop's thread: in the safe stop, motors' faults no longer count
    std::mutex stop_once_;
};

}  // namespace axiolink::control
