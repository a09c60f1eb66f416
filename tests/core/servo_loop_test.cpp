#include "control/servo_loop.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "core/scripted_buses.hpp"

namespace axiolink::control {
namespace {

using damiao::Damiao;
using damiao::GroupMember;
using damiao::MotorGroup;
using testing::ScriptedBuses;
using transport::CanFrame;
using transport::CanId;
using transport::Duration;
using transport::Payload;

constexpr std::uint64_t kUs = 1'000;

// The fields of an MIT command frame, raw: q 16 bits, dq, kp, kd, tau 12
// bits each, most significant first.
struct MitRaw {
    unsigned q, dq, kp, kd, tau;
};
MitRaw mit_raw(const Payload& d) {
    return {static_cast<unsigned>(d[0] << 8 | d[1]), static_cast<unsigned>(d[2] << 4 | d[3] >> 4),
            static_cast<unsigned>((d[3] & 0x0F) << 8 | d[4]),
            static_cast<unsigned>(d[5] << 4 | d[6] >> 4),
            static_cast<unsigned>((d[6] & 0x0F) << 8 | d[7])};
}

bool is_special(const Payload& d, std::uint8_t code) {
    return d.size() == 8 && d[0] == 0xFF && d[1] == 0xFF && d[6] == 0xFF && d[7] == code;
}

// Motors 1..n answering at 0x10 + id after 50 us: status 1 while enabled, 0
// once disabled, a fault code from its cycle on, silence from its cycle on.
struct Motors {
    std::vector<unsigned> position;  // raw 16-bit position each answers with
    std::vector<int> fault_from;     // MIT frames until a fault; -1: never
    std::vector<int> silent_from;    // MIT frames until silence; -1: never
    std::vector<std::uint8_t> fault_code;
    std::vector<int> mit_frames;
    std::vector<bool> enabled;
    std::vector<std::uint8_t> mode;         // what register 10 reads
    std::vector<int> unconfirmed_disables;  // disables each answers "enabled" to first
    std::vector<int> every;                 // answers only every n-th MIT frame (1: each)
    bool silent_at_enable = false;          // the last motor ignores its enable
    bool staggered = false;                 // motor n answers after 50 us * n, not 50 us

    explicit Motors(std::size_t n)
        : position(n, 0x8000),
          fault_from(n, -1),
          silent_from(n, -1),
          fault_code(n, 0x0C),
          mit_frames(n, 0),
          enabled(n, false),
          mode(n, 1),
          unconfirmed_disables(n, 0),
          every(n, 1) {}

    ScriptedBuses::Responder responder() {
        return [this](ScriptedBuses& buses, std::size_t bus, const CanFrame& sent) {
            if (sent.id.value == 0x7FF) {
                // A register read: the control mode, answered at the master id.
                const std::size_t i = sent.data[0] - 1U;
                buses.arrive(
                    bus,
                    CanFrame{CanId::standard(static_cast<std::uint16_t>(0x11 + i)),
                             Payload{sent.data[0], 0, 0x33, sent.data[3], mode[i], 0, 0, 0}},
                    50 * kUs);
                return;
            }
            const std::size_t i = (sent.id.value & 0xFFU) - 1U;
            if (silent_from[i] >= 0 && mit_frames[i] >= silent_from[i]) {
                return;
            }
            std::uint8_t status = enabled[i] ? 1 : 0;
            if (is_special(sent.data, damiao::kEnableCode)) {
                if (silent_at_enable && i + 1 == position.size()) {
                    return;
                }
                enabled[i] = true;
                status = 1;
            } else if (is_special(sent.data, damiao::kDisableCode)) {
                if (unconfirmed_disables[i] > 0) {
                    --unconfirmed_disables[i];
                } else {
                    enabled[i] = false;
                    status = 0;
                }
            } else {
                ++mit_frames[i];
                if (fault_from[i] >= 0 && mit_frames[i] > fault_from[i]) {
                    status = fault_code[i];
                }
                if (mit_frames[i] % every[i] != 0) {
                    return;
                }
            }
            const unsigned q = position[i];
            const std::uint64_t after = staggered ? 50 * kUs * (i + 1) : 50 * kUs;
            buses.arrive(
                bus,
                CanFrame{CanId::standard(static_cast<std::uint16_t>(0x11 + i)),
                         Payload{static_cast<std::uint8_t>(status << 4 | (i + 1)),
                                 static_cast<std::uint8_t>(q >> 8),
                                 static_cast<std::uint8_t>(q & 0xFF), 0x80, 0x08, 0x00, 30, 31}},
                after);
        };
    }
};

// The lease the loop takes around each cycle; sent frames are read under
// the same lock.
struct Lease final : ServoLoop::BusLease {
    std::mutex lock;
    std::atomic<int> stall_once_ms{0};
    void acquire() noexcept override {
        lock.lock();
        if (const int stall = stall_once_ms.exchange(0); stall > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(stall));
        }
    }
    void release() noexcept override { lock.unlock(); }
};

MotorGroup group_of(std::size_t n) {
    std::vector<GroupMember> members;
    for (std::size_t i = 0; i < n; ++i) {
        members.push_back(
            {Damiao(static_cast<std::uint16_t>(i + 1), static_cast<std::uint16_t>(0x11 + i), {},
                    Duration::from_millis(5)),
             0});
    }
    return *MotorGroup::make(members, Duration::from_millis(5));
}

ServoSettings fast_settings() {
    ServoSettings settings;
    settings.rate_hz = 1000;
    settings.stop_damping_ns = 20'000'000;
    settings.log_capacity = 64;
    return settings;
}

// Each motor's frames in order, after the loop has stopped.
std::vector<std::vector<Payload>> frames_by_motor(const ScriptedBuses& buses, std::size_t n) {
    std::vector<std::vector<Payload>> by(n);
    for (const auto& sent : buses.sent) {
        if (sent.frame.id.value == 0x7FF) {
            continue;
        }
        by.at((sent.frame.id.value & 0xFFU) - 1U).push_back(sent.frame.data);
    }
    return by;
}

void wait_for(const ServoLoop& loop, std::uint64_t cycles) {
    const auto given_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (loop.stats().cycles < cycles && loop.running() &&
           std::chrono::steady_clock::now() < given_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

TEST(ServoLoop, StartsWhereEachMotorStandsAndAppliesEachTargetSetWhole) {
    Motors motors(3);
    motors.position = {0x7000, 0x8000, 0x9000};
    ScriptedBuses buses(1, motors.responder());
    const MotorGroup group = group_of(3);
    Lease lease;
    auto loop = ServoLoop::start(group, buses, lease, fast_settings());
    ASSERT_TRUE(loop.has_value());
    // The defaults ask for no priority, no locked memory and no CPU of its own.
    const RealTimeGrant granted = (*loop)->real_time();
    EXPECT_FALSE(granted.scheduled || granted.memory_locked || granted.pinned);
    wait_for(**loop, 5);
    // A writer alternates two whole sets: every kp 1 and tau +1, or every kp
    // 2 and tau -1. A cycle must never mix them.
    std::atomic<bool> writing{true};
    std::thread writer([&] {
        for (int k = 0; writing; ++k) {
            const double kp = k % 2 == 0 ? 1.0 : 2.0;
            const double tau = k % 2 == 0 ? 1.0 : -1.0;
            const std::vector<JointTarget> set(3, JointTarget{0.0, 0.0, tau, kp, 0.5});
            EXPECT_TRUE((*loop)->set_targets(set));
        }
    });
    wait_for(**loop, 300);
    writing = false;
    writer.join();
    (*loop)->stop();
    const auto by = frames_by_motor(buses, 3);
    // Enable first; the first command holds each motor where it answered.
    for (std::size_t i = 0; i < 3; ++i) {
        ASSERT_TRUE(is_special(by[i].front(), damiao::kEnableCode));
        EXPECT_EQ(mit_raw(by[i][1]).q, motors.position[i]) << i;
    }
    const std::lock_guard sent(lease.lock);
    std::size_t compared = 0;
    for (std::size_t k = 0; k + 2 < buses.sent.size(); k += 3) {
        const Payload& a = buses.sent[k].frame.data;
        if (buses.sent[k].frame.id.value == 0x7FF || is_special(a, damiao::kEnableCode) ||
            is_special(a, damiao::kDisableCode)) {
            continue;
        }
        const MitRaw first = mit_raw(a);
        // kp 1 and 2 of 500 in 12 bits, truncated: 8 and 16 (the hold at
        // start: the loop's 5, 40; the stop's damping: 0).
        EXPECT_TRUE(first.kp == 8 || first.kp == 16 || first.kp == 40 || first.kp == 0) << first.kp;
        for (std::size_t j = 1; j < 3; ++j) {
            const MitRaw other = mit_raw(buses.sent[k + j].frame.data);
            EXPECT_EQ(other.kp, first.kp) << "cycle at frame " << k;
            EXPECT_EQ(other.tau, first.tau) << "cycle at frame " << k;
        }
        ++compared;
    }
    EXPECT_GT(compared, 250U);
}

TEST(ServoLoop, EveryStopDampsThenEndsWithAVerifiedDisableOfEveryMotor) {
    const struct {
        const char* name;
        int fault_from;   // motor 2's MIT frames before it reports a fault
        int silent_from;  // motor 3's before it goes silent
        StopReason::Kind kind;
        std::string message;
    } cases[] = {
        {"asked", -1, -1, StopReason::Kind::Requested, "stop was asked for"},
        {"fault", 30, -1, StopReason::Kind::MotorFault,
         "reports fault 12 (rotor over-temperature)"},
        {"lowest fault", 30, -1, StopReason::Kind::MotorFault, "reports fault 8 (over-voltage)"},
        {"misses", -1, 30, StopReason::Kind::Missed, "did not answer 10 cycles in a row"},
    };
    for (const auto& c : cases) {
        Motors motors(3);
        motors.fault_from[1] = c.fault_from;
        motors.fault_code[1] = std::string(c.name) == "lowest fault" ? 8 : 12;
        motors.silent_from[2] = c.silent_from;
        ScriptedBuses buses(1, motors.responder());
        const MotorGroup group = group_of(3);
        Lease lease;
        auto loop = ServoLoop::start(group, buses, lease, fast_settings());
        ASSERT_TRUE(loop.has_value()) << c.name;
        wait_for(**loop, 100);
        (*loop)->stop();
        const StopReason reason = (*loop)->stop_reason();
        EXPECT_EQ(reason.kind, c.kind) << c.name;
        EXPECT_EQ(reason.message(), c.message) << c.name;
        EXPECT_FALSE((*loop)->set_targets(std::vector<JointTarget>(3))) << c.name;
        const auto by = frames_by_motor(buses, 3);
        for (std::size_t i = 0; i < 3; ++i) {
            ASSERT_GE(by[i].size(), 3U);
            EXPECT_TRUE(is_special(by[i].back(), damiao::kDisableCode)) << c.name << " " << i;
            // Before the disables (more than one round when one is not
            // confirmed): damping, no pull to any position.
            std::size_t last_command = by[i].size() - 1;
            while (last_command > 0 && is_special(by[i][last_command], damiao::kDisableCode)) {
                --last_command;
            }
            const MitRaw damping = mit_raw(by[i][last_command]);
            EXPECT_EQ(damping.kp, 0U) << c.name << " " << i;
            EXPECT_EQ(damping.kd, 819U) << c.name << " " << i;  // stop_kd 1 of 5 in 12 bits
            // 20 ms of damping at 1 kHz: about 20 commands, however late some came.
            std::size_t damped = 0;
            while (damped < last_command && mit_raw(by[i][last_command - damped]).kp == 0) {
                ++damped;
            }
            EXPECT_GE(damped, 5U) << c.name << " " << i;
        }
        const std::vector<bool> disabled = (*loop)->disabled();
        EXPECT_EQ(disabled[0], true) << c.name;
        EXPECT_EQ(disabled[1], true) << c.name;
        // A silent motor's disable cannot be confirmed.
        EXPECT_EQ(disabled[2], c.silent_from < 0) << c.name;
    }
}

TEST(ServoLoop, AMotorThatCannotBeEnabledFailsTheStartAndAllAreDisabled) {
    Motors motors(3);
    motors.silent_at_enable = true;
    ScriptedBuses buses(1, motors.responder());
    const MotorGroup group = group_of(3);
    Lease lease;
    auto loop = ServoLoop::start(group, buses, lease, fast_settings());
    ASSERT_FALSE(loop.has_value());
    EXPECT_EQ(loop.error().member, std::optional<std::size_t>(2));
    EXPECT_EQ(loop.error().error->message(), "transport error: timeout waiting for frame");
    const auto by = frames_by_motor(buses, 3);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_TRUE(is_special(by[i].back(), damiao::kDisableCode)) << i;
    }
}

TEST(ServoLoop, ALatePeriodIsCountedAndNeverMadeUpWithABurst) {
    Motors motors(2);
    ScriptedBuses buses(1, motors.responder());
    const MotorGroup group = group_of(2);
    Lease lease;
    auto loop = ServoLoop::start(group, buses, lease, fast_settings());
    ASSERT_TRUE(loop.has_value());
    wait_for(**loop, 10);
    lease.stall_once_ms = 40;  // one cycle holds up the loop for 40 periods
    wait_for(**loop, 60);
    const ServoLog log = (*loop)->log();
    const ServoStats stats = (*loop)->stats();
    (*loop)->stop();
    EXPECT_GE(stats.late_periods, 30U);
    EXPECT_GE(stats.period_error_ns[3], 30'000'000U);
    // Cycles that started within a quarter period of the one before: a
    // burst making up for the lost periods would be dozens.
    std::size_t crowded = 0;
    for (std::size_t k = 1; k < log.time_ns.size(); ++k) {
        crowded += log.time_ns[k] - log.time_ns[k - 1] < 250'000 ? 1U : 0U;
    }
    EXPECT_LT(crowded, 5U);
}

TEST(ServoLoop, ManyThreadsHandTargetsInAndReadStatesOutWhileItRuns) {
    // Run under ThreadSanitizer by the sanitizer leg: the handoffs, the
    // counters and the log, from several threads at once.
    Motors motors(3);
    ScriptedBuses buses(1, motors.responder());
    const MotorGroup group = group_of(3);
    Lease lease;
    auto loop = ServoLoop::start(group, buses, lease, fast_settings());
    ASSERT_TRUE(loop.has_value());
    std::atomic<bool> going{true};
    std::vector<std::thread> threads;
    for (int writer = 0; writer < 2; ++writer) {
        threads.emplace_back([&, writer] {
            std::vector<JointTarget> set(3, JointTarget{0.01 * writer, 0.0, 0.0, 5.0, 0.5});
            while (going) {
                (void)(*loop)->set_targets(set);
            }
        });
    }
    std::atomic<int> torn{0};
    for (int reader = 0; reader < 2; ++reader) {
        threads.emplace_back([&] {
            std::vector<JointReading> readings(3);
            while (going) {
                (void)(*loop)->read_states(readings);
                // One snapshot is one cycle's: every motor answers every cycle.
                if (readings[0].cycle != readings[1].cycle ||
                    readings[1].cycle != readings[2].cycle) {
                    ++torn;
                }
                (void)(*loop)->stats();
                (void)(*loop)->log();
            }
        });
    }
    wait_for(**loop, 200);
    going = false;
    for (std::thread& thread : threads) {
        thread.join();
    }
    (*loop)->stop();
    EXPECT_EQ(torn, 0);
}

TEST(ServoLoop, SettingsOutOfRangeAreRefusedWithTheirReason) {
    const auto refusal = [](auto change) {
        ServoSettings settings;
        change(settings);
        return settings_refusal(settings, 2).value_or("accepted");
    };
    EXPECT_EQ(refusal([](ServoSettings&) {}), "accepted");
    EXPECT_EQ(refusal([](ServoSettings& s) { s.rate_hz = 0; }),
              "rate_hz must be from 1 to 4000, got 0");
    EXPECT_EQ(refusal([](ServoSettings& s) { s.rate_hz = 5000; }),
              "rate_hz must be from 1 to 4000, got 5000");
    EXPECT_EQ(refusal([](ServoSettings& s) { s.kd = -1; }),
              "kp and kd must be finite and not negative, got 5 and -1");
    EXPECT_EQ(refusal([](ServoSettings& s) { s.limits = {MotionLimits{}}; }),
              "limits: expected one for every motor (2), got 1");
    EXPECT_EQ(refusal([](ServoSettings& s) {
                  s.limits = {MotionLimits{}, MotionLimits{1, -1}};
              }),
              "motor 1: invalid motion limit: a_max is -1, must be within [1e-06, 1e+09]");
    EXPECT_EQ(refusal([](ServoSettings& s) { s.max_misses = 0; }), "max_misses must be at least 1");
    EXPECT_EQ(refusal([](ServoSettings& s) { s.priority = 100; }),
              "priority must be from 0 (none) to 99, got 100");
}

// The position of a raw 16-bit MIT field with p_max 12.5.
double position_of(unsigned raw) {
    return raw * 25.0 / 65535.0 - 12.5;
}

// The raw field of a position, as a motor reports it.
unsigned raw_position(double q) {
    return static_cast<unsigned>((q + 12.5) * 65535.0 / 25.0);
}

using Phase = ServoLoop::Phase;

std::unique_ptr<ServoLoop> made(const MotorGroup& group, ScriptedBuses& buses, Lease& lease,
                                ServoSettings settings, std::vector<const void*> claims = {}) {
    auto loop = ServoLoop::make(group, buses, lease, std::move(settings), std::move(claims));
    EXPECT_TRUE(loop.has_value()) << (loop ? "" : loop.error());
    return loop ? std::move(*loop) : nullptr;
}

void expect_last_frames_disable(const ScriptedBuses& buses, std::size_t n, const char* why) {
    const auto by = frames_by_motor(buses, n);
    for (std::size_t i = 0; i < n; ++i) {
        ASSERT_FALSE(by[i].empty()) << why << " " << i;
        EXPECT_TRUE(is_special(by[i].back(), damiao::kDisableCode)) << why << " " << i;
    }
}

TEST(ServoLoop, OneStartWinsWhateverTheThreadsAndASecondLoopOnItsBusIsRefused) {
    for (int round = 0; round < 20; ++round) {
        Motors motors(2);
        ScriptedBuses buses(1, motors.responder());
        const MotorGroup group = group_of(2);
        Lease lease;
        const std::vector<const void*> claims{&buses};
        auto first = made(group, buses, lease, fast_settings(), claims);
        auto second = made(group, buses, lease, fast_settings(), claims);
        // Three starts at once: the first loop's twice, the second's once.
        std::atomic<int> ready{0};
        std::vector<std::expected<void, StartFailure>> outcomes(3);
        std::vector<std::thread> starters;
        for (int k = 0; k < 3; ++k) {
            starters.emplace_back([&, k] {
                ++ready;
                while (ready < 3) {
                }
                outcomes[static_cast<std::size_t>(k)] = (k < 2 ? first : second)->start();
            });
        }
        for (std::thread& starter : starters) {
            starter.join();
        }
        std::vector<StartFailure::Kind> refusals;
        int started = 0;
        for (const auto& outcome : outcomes) {
            if (outcome) {
                ++started;
            } else {
                refusals.push_back(outcome.error().kind);
            }
        }
        ASSERT_EQ(started, 1) << "round " << round;
        const bool first_won = first->phase() == Phase::Running;
        // The first loop's other start always finds it started or taken;
        // the losing loop finds the bus taken, or its own start lost.
        for (const StartFailure::Kind kind : refusals) {
            EXPECT_TRUE(kind == StartFailure::Kind::AlreadyStarted ||
                        kind == StartFailure::Kind::BusTaken)
                << static_cast<int>(kind);
        }
        EXPECT_EQ((first_won ? second : first)->phase(), Phase::Idle);
        first->stop();
        second->stop();
        expect_last_frames_disable(buses, 2, "race");
        // Stopped, the bus is free for the other loop.
        if (!first_won) {
            continue;
        }
        ASSERT_TRUE(second->start().has_value());
        second->stop();
        EXPECT_EQ(first->start().error().kind, StartFailure::Kind::AlreadyStarted);
    }
}

// A lease whose first acquire runs `hook` (the start's first bus access).
struct HookedLease final : ServoLoop::BusLease {
    std::mutex lock;
    std::function<void()> hook;
    void acquire() noexcept override {
        if (auto run = std::exchange(hook, nullptr)) {
            run();
        }
        lock.lock();
    }
    void release() noexcept override { lock.unlock(); }
};

TEST(ServoLoop, AStopDuringTheStartEndsItWithAVerifiedDisableAndStopAllClosesTheProcess) {
    Motors motors(2);
    ScriptedBuses buses(1, motors.responder());
    const MotorGroup group = group_of(2);
    HookedLease lease;
    auto loop = ServoLoop::make(group, buses, lease, fast_settings());
    ASSERT_TRUE(loop.has_value());
    std::thread stopper;
    lease.hook = [&] {
        stopper = std::thread([&] { ServoLoop::stop_all(false); });
        // Until the stop has been asked for: it then waits for the start to end.
        const auto given_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!(*loop)->stop_requested() && std::chrono::steady_clock::now() < given_up) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };
    const auto started = (*loop)->start();
    stopper.join();
    ASSERT_FALSE(started.has_value());
    EXPECT_EQ(started.error().kind, StartFailure::Kind::Stopped);
    EXPECT_EQ(started.error().message(), "the servo loop was stopped while it started");
    EXPECT_EQ((*loop)->phase(), Phase::Stopped);
    expect_last_frames_disable(buses, 2, "stopped while starting");
}

TEST(ServoLoop, AMotorInAnotherModeIsRefusedBeforeAnythingIsEnabled) {
    Motors motors(3);
    motors.mode[1] = 3;
    ScriptedBuses buses(1, motors.responder());
    const MotorGroup group = group_of(3);
    Lease lease;
    auto loop = made(group, buses, lease, fast_settings());
    const auto started = loop->start();
    ASSERT_FALSE(started.has_value());
    EXPECT_EQ(started.error().kind, StartFailure::Kind::WrongMode);
    EXPECT_EQ(started.error().member, std::optional<std::size_t>(1));
    EXPECT_EQ(started.error().message(),
              "is in VEL mode (control mode 3), not MIT: the loop sends MIT commands only, which "
              "it would ignore; switch it first (set_control_mode(motor, bus, \"mit\"), or dmctl "
              "mode ID mit)");
    // Three reads of register 10, in member order, and nothing else.
    ASSERT_EQ(buses.sent.size(), 3U);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(buses.sent[i].frame.id.value, 0x7FF);
        EXPECT_EQ(buses.sent[i].frame.data,
                  (Payload{static_cast<std::uint8_t>(i + 1), 0, 0x33, 10, 0, 0, 0, 0}));
    }
    EXPECT_EQ(loop->phase(), Phase::Idle);
    motors.mode[1] = 1;  // switched: the same loop starts now
    ASSERT_TRUE(loop->start().has_value());
}

TEST(ServoLoop, TheDisableGoesAgainUntilConfirmedForItsTimeNotForAFewRounds) {
    for (const bool forever : {false, true}) {
        Motors motors(2);
        // Nine disables are what three rounds of a group's disable send at most.
        motors.unconfirmed_disables[0] = forever ? 1 << 30 : 30;
        ScriptedBuses buses(1, motors.responder());
        const MotorGroup group = group_of(2);
        Lease lease;
        ServoSettings settings = fast_settings();
        settings.disable_timeout_ns = 100'000'000;
        auto loop = made(group, buses, lease, settings);
        ASSERT_TRUE(loop->start().has_value());
        wait_for(*loop, 5);
        const auto asked = std::chrono::steady_clock::now();
        loop->stop();
        const auto took = std::chrono::steady_clock::now() - asked;
        EXPECT_EQ(loop->disabled(), (std::vector<bool>{!forever, true})) << forever;
        // Given up after its time, not never.
        EXPECT_LT(took, std::chrono::seconds(20));
        if (forever) {
            EXPECT_GE(took, std::chrono::milliseconds(100));
        }
    }
}

TEST(ServoLoop, WaitReturnsWhenTheLoopStopsByItselfAndScatteredMissesDoNotStopIt) {
    Motors motors(2);
    motors.every[0] = 2;  // answers every other cycle: never 2 in a row missed
    motors.fault_from[1] = 200;
    ScriptedBuses buses(1, motors.responder());
    const MotorGroup group = group_of(2);
    Lease lease;
    ServoSettings settings = fast_settings();
    settings.max_misses = 2;
    auto loop = made(group, buses, lease, settings);
    EXPECT_TRUE(loop->wait(0));  // not started: nothing to wait for
    ASSERT_TRUE(loop->start().has_value());
    EXPECT_FALSE(loop->wait(1'000'000));
    EXPECT_TRUE(loop->wait(-1));
    EXPECT_EQ(loop->stop_reason().kind, StopReason::Kind::MotorFault);
    EXPECT_GE(loop->stats().joints[0].misses, 50U);
    loop->stop();
    expect_last_frames_disable(buses, 2, "fault");
}

TEST(ServoLoop, AChildForkedDuringAStopCanReleaseItsCopy) {
    for (int round = 0; round < 5; ++round) {
        Motors motors(2);
        ScriptedBuses buses(1, motors.responder());
        const MotorGroup group = group_of(2);
        Lease lease;
        ServoSettings settings = fast_settings();
        settings.stop_damping_ns = 50'000'000;
        auto loop = made(group, buses, lease, settings);
        ASSERT_TRUE(loop->start().has_value());
        wait_for(*loop, 5);
        std::thread stopper([&] { loop->stop(); });
        while (loop->phase() != Phase::Stopping && loop->phase() != Phase::Stopped) {
        }
        const pid_t child = ::fork();
        if (child == 0) {
            ::alarm(20);  // a hang ends the child by SIGALRM
            loop.reset();
            ServoLoop::stop_all(true);
            ::_exit(0);
        }
        stopper.join();
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
}

TEST(ServoLoop, NoCommandedPositionPassesAJointLimitAndEachStepKeepsTheVelocityBound) {
    Motors motors(2);
    // Motor 2 stands at 1.5 rad, beyond its range's 1.0.
    motors.position = {raw_position(0.0), raw_position(1.5)};
    ScriptedBuses buses(1, motors.responder());
    const MotorGroup group = group_of(2);
    Lease lease;
    ServoSettings settings = fast_settings();
    settings.limits = {MotionLimits{2.0, 40.0, -0.1, 0.2}, MotionLimits{2.0, 40.0, -1.0, 1.0}};
    auto loop = made(group, buses, lease, settings);
    ASSERT_TRUE(loop->start().has_value());
    wait_for(*loop, 20);
    // Held where it stands, outside its range, until told to move.
    std::vector<JointReading> readings(2);
    (void)loop->read_states(readings);
    EXPECT_NEAR(readings[1].q, 1.5, 1e-3);
    // Far beyond, moving outward: clamped to the limit, braked before it.
    ASSERT_TRUE(loop->set_targets(
        std::vector<JointTarget>{{5.0, 1.0, 0, 5, 0.5}, {-5.0, -1.0, 0, 5, 0.5}}));
    wait_for(*loop, 1000);
    ASSERT_TRUE(
        loop->set_targets(std::vector<JointTarget>{{-5.0, -1.0, 0, 5, 0.5}, {0.0, 0, 0, 5, 0.5}}));
    wait_for(*loop, 1400);
    const ServoStats stats = loop->stats();
    loop->stop();
    EXPECT_EQ(stats.joints[0].clamped, 2U);
    EXPECT_EQ(stats.joints[1].clamped, 1U);
    const double lsb = 25.0 / 65535.0;
    const auto by = frames_by_motor(buses, 2);
    for (std::size_t i = 0; i < 2; ++i) {
        double previous = i == 0 ? 0.0 : 1.5;
        double fastest = 0.0;
        for (const Payload& frame : by[i]) {
            if (is_special(frame, damiao::kEnableCode) || is_special(frame, damiao::kDisableCode) ||
                mit_raw(frame).kp == 0) {
                continue;  // the special commands, the stop's damping
            }
            const double q = position_of(mit_raw(frame).q);
            if (i == 0) {
                EXPECT_LE(q, 0.2 + lsb);
                EXPECT_GE(q, -0.1 - lsb);
            } else {
                // Only ever towards its range, and once in it, never out again.
                EXPECT_LE(q, std::max(previous, 1.0) + lsb);
            }
            // 2 rad/s at 1 kHz: at most 2 mrad a period.
            EXPECT_LE(std::abs(q - previous), 0.002 + 2 * lsb);
            fastest = std::max(fastest, std::abs(q - previous));
            previous = q;
        }
        EXPECT_GE(fastest, 0.002 - 2 * lsb) << "never at full speed: the period is off";
        EXPECT_NEAR(previous, i == 0 ? -0.1 : 0.0, 2 * lsb) << i;
    }
}

TEST(ServoLoop, TargetsThatStopComingBringEveryJointToRestWithoutFeedForward) {
    Motors motors(1);
    ScriptedBuses buses(1, motors.responder());
    const MotorGroup group = group_of(1);
    Lease lease;
    ServoSettings settings = fast_settings();
    settings.target_timeout_ns = 30'000'000;
    auto loop = made(group, buses, lease, settings);
    ASSERT_TRUE(loop->start().has_value());
    ASSERT_TRUE(loop->set_targets(std::vector<JointTarget>{{3.0, 0.0, 1.0, 5, 0.5}}));
    wait_for(*loop, 400);
    loop->stop();
    const auto by = frames_by_motor(buses, 1);
    // The last MIT command before the damping: at rest short of 3 rad, no torque.
    std::size_t k = by[0].size() - 1;
    while (k > 0 && (is_special(by[0][k], damiao::kDisableCode) || mit_raw(by[0][k]).kp == 0)) {
        --k;
    }
    const MitRaw held = mit_raw(by[0][k]);
    EXPECT_LT(position_of(held.q), 0.5);
    EXPECT_EQ(held.dq, 2047U);   // 0 rad/s in 12 bits of +-30, truncated
    EXPECT_EQ(held.tau, 2047U);  // 0 N·m of +-10
    EXPECT_EQ(mit_raw(by[0][k - 1]).q, held.q);
}

TEST(ServoLoop, AStallCostsOneLateStartNotARunOfThem) {
    Motors motors(2);
    ScriptedBuses buses(1, motors.responder());
    const MotorGroup group = group_of(2);
    struct SlowLease final : ServoLoop::BusLease {
        std::atomic<int> stall_us{0};
        std::atomic<int> cycle_us{0};
        void acquire() noexcept override {
            const int stall = stall_us.exchange(0) + cycle_us.load();
            std::this_thread::sleep_for(std::chrono::microseconds(stall));
        }
        void release() noexcept override {}
    } lease;
    ServoSettings settings = fast_settings();
    settings.rate_hz = 500;
    settings.log_capacity = 4000;
    auto loop = ServoLoop::make(group, buses, lease, settings);
    ASSERT_TRUE(loop.has_value());
    ASSERT_TRUE((*loop)->start().has_value());
    lease.cycle_us = 600;  // each cycle takes 0.3 of a period, or more
    for (int stall = 0; stall < 10; ++stall) {
        wait_for(**loop, (*loop)->stats().cycles + 20);
        lease.stall_us = 3'200;  // the next start 1.9 periods late
    }
    wait_for(**loop, (*loop)->stats().cycles + 20);
    const ServoLog log = (*loop)->log();
    (*loop)->stop();
    // A start that carried lateness over from the one before would follow it
    // by less than half a period.
    std::size_t crowded = 0;
    for (std::size_t k = 1; k < log.time_ns.size(); ++k) {
        crowded += log.time_ns[k] - log.time_ns[k - 1] < 1'000'000 ? 1U : 0U;
    }
    EXPECT_EQ(crowded, 0U);
}

TEST(ServoLoop, OnceItKnowsTheWireACycleTakesItsAnswersInWithFewerWakeUps) {
    Motors motors(3);
    motors.staggered = true;  // answers 50, 100 and 150 us after the commands
    ScriptedBuses buses(1, motors.responder());
    const MotorGroup group = group_of(3);
    Lease lease;
    auto loop = made(group, buses, lease, fast_settings());
    ASSERT_TRUE(loop->start().has_value());
    wait_for(*loop, 120);
    loop->stop();
    // Waits per cycle, cycle by cycle (a cycle's events begin with its send).
    std::vector<int> waits;
    for (const std::string& event : buses.events) {
        if (event.starts_with("send")) {
            waits.push_back(0);
        } else if (event == "wait" && !waits.empty()) {
            ++waits.back();
        }
    }
    ASSERT_GE(waits.size(), 110U);
    // The enable, then cycles that wait for each answer until 16 were seen.
    EXPECT_EQ(waits[5], 3);
    // Then the first two answers are there when it looks, and it waits once more.
    for (std::size_t k = 60; k < 100; ++k) {
        EXPECT_EQ(waits[k], 2) << k;
    }
}

TEST(ServoLoop, ItsThreadIsKeptOnTheCpuAskedFor) {
    const long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
    Motors motors(1);
    ScriptedBuses buses(1, motors.responder());
    const MotorGroup group = group_of(1);
    Lease lease;
    ServoSettings settings = fast_settings();
    settings.cpu = static_cast<int>(cpus - 1);  // the last one, not the default's first
    auto loop = made(group, buses, lease, settings);
    ASSERT_TRUE(loop->start().has_value());
    ASSERT_TRUE(loop->real_time().pinned);
    // The loop's thread is the process's newest.
    std::string allowed;
    long newest = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        newest = std::max(newest, std::stol(task.path().filename().string()));
    }
    std::ifstream status("/proc/self/task/" + std::to_string(newest) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("Cpus_allowed_list:")) {
            allowed = line.substr(line.find_first_not_of(" \t", 18));
        }
    }
    loop->stop();
    EXPECT_EQ(allowed, std::to_string(cpus - 1));
}

TEST(ServoLoop, TheLogKeepsEachJointsCommandAndReadingInItsOwnColumn) {
    Motors motors(3);
    motors.position = {0x7000, 0x8000, 0x9000};
    ScriptedBuses buses(1, motors.responder());
    const MotorGroup group = group_of(3);
    Lease lease;
    auto loop = made(group, buses, lease, fast_settings());
    ASSERT_TRUE(loop->start().has_value());
    wait_for(*loop, 20);
    const ServoLog log = loop->log();
    std::vector<JointReading> readings(3);
    (void)loop->read_states(readings);
    loop->stop();
    ASSERT_FALSE(log.cycle.empty());
    // Every motor answers velocity 0x800 of 12 bits over +-30 rad/s and
    // torque 0x800 over +-10 N·m.
    const double dq = 2048 * 60.0 / 4095 - 30;
    const double tau = 2048 * 20.0 / 4095 - 10;
    // Without targets the loop holds each joint where it answered.
    for (std::size_t i = 0; i < 3; ++i) {
        const double at = position_of(motors.position[i]);
        ASSERT_EQ(log.target[i].size(), log.cycle.size()) << i;
        for (std::size_t k = 0; k < log.cycle.size(); ++k) {
            EXPECT_NEAR(log.target[i][k], at, 1e-3) << i << " " << k;
            EXPECT_NEAR(log.q[i][k], at, 1e-3) << i << " " << k;
            EXPECT_NEAR(log.dq[i][k], dq, 1e-5) << i << " " << k;
            EXPECT_NEAR(log.tau[i][k], tau, 1e-5) << i << " " << k;
        }
        EXPECT_NEAR(readings[i].dq, dq, 1e-5) << i;
        EXPECT_NEAR(readings[i].tau, tau, 1e-5) << i;
    }
}

}  // namespace
}  // namespace axiolink::control
