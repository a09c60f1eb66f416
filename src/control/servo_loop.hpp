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
#include <condition_variable>
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
#include "transport/shared_bus.hpp"

namespace axiolink::control {

class SharedBusLease;

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
    double rate_hz = 500.0;  // periods per second, 1 to 4000
    double kp = 5.0;         // the gains a target gets unless it says
    double kd = 0.5;
    // One per motor: velocity and acceleration bounds and the joint's range
    // (q_min, q_max within the motor's p_max); empty: the defaults, the range
    // the motor's p_max.
    std::vector<MotionLimits> limits;
    std::uint32_t max_misses = 10;                // consecutive cycles without one motor's answer
    std::uint64_t target_timeout_ns = 0;          // targets older than this: hold; 0: never
    double stop_kd = 1.0;                         // damping while stopping
    std::uint64_t stop_damping_ns = 200'000'000;  // how long, before the disable
    // The safe stop's disable goes again to every motor that has not
    // confirmed it, until all have, or this much time has passed and three
    // rounds have been sent.
    std::uint64_t disable_timeout_ns = 100'000'000;
    int priority = 0;              // SCHED_FIFO priority asked for; 0: none
    bool lock_memory = false;      // ask for mlockall
    std::size_t log_capacity = 0;  // cycles kept for reading back; 0: none
    int cpu = -1;                  // the CPU the loop's thread is kept on; -1: any
    // Read every motor's control mode before the enable, and refuse to start
    // when one is not in MIT mode (it would ignore every command of the loop).
    bool check_mode = true;
    // While the loop runs and SIGTERM has its default action, a SIGTERM first
    // stops every servo loop of the process safely, then ends the process as
    // the default action would.
    bool stop_on_sigterm = true;
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
    std::size_t member = 0;    // MotorFault, Missed: the motor's place in the group
    std::uint8_t status = 0;   // MotorFault: the status it reported
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
    bool pinned = false;  // kept on the CPU asked for
};

// Per motor counts.
struct JointCounts {
    std::uint64_t misses = 0;              // cycles without its answer
    std::uint32_t consecutive_misses = 0;  // in a row, now
    std::uint32_t most_consecutive = 0;    // in a row, at worst
    std::uint64_t late_answers = 0;
    std::uint64_t clamped = 0;  // targets beyond the joint's range, clamped to it
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

// Why a loop did not start.
struct StartFailure {
    enum class Kind : std::uint8_t {
        Motor,           // `member` could not be enabled, or its mode not read: `error`
        WrongMode,       // `member` is in control mode `mode`, not MIT; nothing was enabled
        Thread,          // the loop's thread could not start: `os_error`
        AlreadyStarted,  // start() was called before on this loop
        BusTaken,        // another loop that is starting or running drives one of its buses
        Stopped,         // stop() (or the process shutting its loops down) came during the start
        Closed,          // the process is shutting its loops down: no loop starts any more
    };
    Kind kind = Kind::Motor;
    std::optional<std::size_t> member;
    std::optional<damiao::Error> error;
    int os_error = 0;
    std::uint32_t mode = 0;
    // The text for every kind but Motor (the error's own) and Thread (the
    // system's): "the servo loop has been started already", "a bus of this
    // group is driven by another running servo loop", "is in VEL mode
    // (control mode 3), not MIT: ...".
    std::string message() const;
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

    // Where a loop is in its life. Idle: made, not started (or its start
    // failed, and it may be started again); Starting: its start runs (the
    // mode check, the enable); Running: its thread runs, or has ended by
    // itself and not been joined yet; Stopping: a stop() joins the thread;
    // Stopped: for good; Abandoned: in a forked child, where the thread
    // that ran it does not exist.
    enum class Phase : std::uint8_t { Idle, Starting, Running, Stopping, Stopped, Abandoned };

    // A loop for `group` on `buses`, not started; the refusal of its
    // settings otherwise (settings_refusal, gains beyond a motor's kp_max or
    // kd_max, a joint range beyond a motor's p_max). `claims` name the buses
    // (any address that identifies one, the same for every loop of the
    // process): no two loops that claim one bus are ever starting or running
    // at once. The group, bus set and lease must outlive the loop.
    static std::expected<std::unique_ptr<ServoLoop>, std::string> make(
        const damiao::MotorGroup& group, transport::BusSet& buses, BusLease& lease,
        ServoSettings settings, std::vector<const void*> claims = {});

    // A loop on `buses` (which the group's bus indices index), with a bus set
    // and a lease of its own: each cycle holds the locks of all of them, as
    // every other user of a shared bus does for each operation, and the
    // buses are claimed against every other loop of the process. The group
    // and the buses must outlive the loop.
    static std::expected<std::unique_ptr<ServoLoop>, std::string> make(
        const damiao::MotorGroup& group, std::span<transport::SharedBus* const> buses,
        ServoSettings settings);

    // make() and start() in one; a refusal of the settings fails as Thread
    // with EINVAL (tests and tools that bring valid settings).
    static std::expected<std::unique_ptr<ServoLoop>, StartFailure> start(
        const damiao::MotorGroup& group, transport::BusSet& buses, BusLease& lease,
        const ServoSettings& settings);

    ServoLoop(const ServoLoop&) = delete;
    ServoLoop& operator=(const ServoLoop&) = delete;
    // Stops (safely) if starting or running.
    ~ServoLoop();

    // Claims the buses, checks that every motor is in MIT mode, enables every
    // motor (a verified group enable, on the calling thread) and starts the
    // loop's thread, holding each motor where its enable answer says. A
    // motor that cannot be enabled fails the start after a verified disable
    // of all; so does a stop() that comes meanwhile. Only one start of a
    // loop ever succeeds, whatever the threads; a failed one (but Stopped and
    // Closed) leaves it Idle, to be started again.
    std::expected<void, StartFailure> start();

    std::size_t size() const noexcept { return joints_; }
    const ServoSettings& settings() const noexcept { return settings_; }
    RealTimeGrant real_time() const noexcept { return grant_; }
    Phase phase() const noexcept { return phase_.load(std::memory_order_acquire); }

    // Hands the next targets over, one per motor, applied together in one
    // cycle; a position beyond its joint's range is clamped to it (and
    // counted). Never waits for the loop (only for another thread's
    // set_targets). False when the loop is not running.
    bool set_targets(std::span<const JointTarget> targets) noexcept;

    // The latest reading of every motor (`out` has one entry per motor) and
    // the loop's latest cycle number.
    std::uint64_t read_states(std::span<JointReading> out) const noexcept;
    ServoStats stats() const;
    ServoLog log() const;

    // Asks the loop to stop and waits for the safe stop to end; one that is
    // starting ends its start first. Any number of threads may call it at
    // once; each returns once the loop has stopped. Nothing on an Idle loop.
    void stop() noexcept;
    // Waits until the loop's thread has ended (by itself or by a stop), or
    // `timeout_ns` has passed (negative: no limit). True when it has ended, or
    // the loop does not run (Idle, Stopped, Abandoned).
    bool wait(std::int64_t timeout_ns) const noexcept;
    bool running() const noexcept;
    // Whether a stop has been asked for (it may still be under way).
    bool stop_requested() const noexcept { return stop_asked(); }
    StopReason stop_reason() const noexcept;
    // After the stop: whether each motor's disable was confirmed.
    std::vector<bool> disabled() const;

    // Stops every loop of the process that is starting or running, safely,
    // and waits for each. `close`: from now on no loop starts (Closed): the
    // process is ending. Safe from any thread; the interpreter exit and
    // SIGTERM call it.
    static void stop_all(bool close) noexcept;

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
    friend struct LoopRegistry;

    ServoLoop(const damiao::MotorGroup& group, transport::BusSet& buses, BusLease& lease,
              ServoSettings settings, std::vector<const void*> claims,
              std::unique_ptr<transport::BusSet> own_buses,
              std::unique_ptr<SharedBusLease> own_lease);

    static void* thread_main(void* self) noexcept;
    std::optional<StartFailure> check_modes();
    std::optional<StartFailure> enable_all();
    void disable_all() noexcept;
    std::optional<StartFailure> start_thread();
    // Leaves Starting for `to`, waking whoever waits for that.
    void end_start(Phase to) noexcept;
    bool stop_asked() const noexcept { return stop_asked_.load(std::memory_order_acquire); }
    // Starting, or its thread still commanding the motors.
    bool drives() const noexcept;
    void run() noexcept;
    // One cycle of `setpoints_`; takes the answers in. False when a motor
    // calls for the loop to stop (reason_ says why).
    bool exchange(std::int64_t started) noexcept;
    void command_targets(std::int64_t started) noexcept;
    void command_damping() noexcept;
    void record_log(std::int64_t started) noexcept;
    void learn_answer_span(transport::MonotonicTime began,
                           transport::MonotonicTime read_from) noexcept;
    // In a forked child: the loop's thread and every thread inside stop()
    // or start() are the parent's; the object forgets them, never commands
    // a motor, and its own locks are made anew.
    void abandon() noexcept;

    // The bus set and lease of a loop made on shared buses.
    std::unique_ptr<transport::BusSet> own_buses_;
    std::unique_ptr<SharedBusLease> own_lease_;
    const damiao::MotorGroup& group_;
    transport::BusSet& buses_;
    BusLease& lease_;
    ServoSettings settings_;
    std::vector<const void*> claims_;
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
    // How long after its start a cycle's last answer came, in recent cycles
    // where it came after the cycle began to look: the wire's own floor. A
    // cycle looks for answers from most of the shortest of them on, and takes
    // them in with one wake-up instead of one per answer.
    std::array<std::int64_t, 64> answer_spans_{};
    std::size_t answer_span_count_ = 0;
    std::int64_t read_after_ns_ = 0;

    // Read by any thread.
    std::unique_ptr<std::atomic<std::uint64_t>[]> misses_;
    std::unique_ptr<std::atomic<std::uint32_t>[]> consecutive_;
    std::unique_ptr<std::atomic<std::uint32_t>[]> most_consecutive_;
    std::unique_ptr<std::atomic<std::uint64_t>[]> late_answers_;
    std::unique_ptr<std::atomic<std::uint64_t>[]> clamped_;
    std::atomic<std::uint64_t> cycles_{0};
    std::atomic<std::uint64_t> late_periods_{0};
    std::atomic<std::uint64_t> overruns_{0};
    LatencyHistogram period_error_;
    LatencyHistogram cycle_time_;
    std::unique_ptr<LogCell[]> log_;
    // [cell][motor][target, q, dq, tau]
    std::unique_ptr<std::atomic<double>[]> log_values_;
    std::atomic<std::uint64_t> logged_{0};

    // The life of the loop: phase_ changes under phase_lock_, and every
    // change is announced on phase_changed_. Neither is ever held while
    // waiting for the bus, the thread or a motor, so a fork finds them free
    // unless a thread was in the few instructions between (and the child
    // makes them anew all the same).
    std::atomic<Phase> phase_{Phase::Idle};
    mutable std::mutex phase_lock_;
    mutable std::condition_variable phase_changed_;
    std::atomic<bool> stop_asked_{false};
    std::atomic<bool> finished_{false};  // the loop's thread has ended its safe stop
    bool sigterm_held_ = false;          // under the registry's SIGTERM lock
    StopReason reason_;                  // written by the loop before finished_ is set
    std::vector<bool> disabled_;
    pthread_t thread_{};
    bool damping_ = false;  // the loop's thread: in the safe stop, motors' faults no longer count
};

}  // namespace axiolink::control
