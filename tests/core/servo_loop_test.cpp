#include "control/servo_loop.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
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
    std::vector<unsigned> position;        // raw 16-bit position each answers with
    std::vector<int> fault_from;           // MIT frames until a fault; -1: never
    std::vector<int> silent_from;          // MIT frames until silence; -1: never
    std::vector<std::uint8_t> fault_code;
    std::vector<int> mit_frames;
    std::vector<bool> enabled;
    bool silent_at_enable = false;  // the last motor ignores its enable

    explicit Motors(std::size_t n)
        : position(n, 0x8000), fault_from(n, -1), silent_from(n, -1), fault_code(n, 0x0C),
          mit_frames(n, 0), enabled(n, false) {}

    ScriptedBuses::Responder responder() {
        return [this](ScriptedBuses& buses, std::size_t bus, const CanFrame& sent) {
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
                enabled[i] = false;
                status = 0;
            } else {
                ++mit_frames[i];
                if (fault_from[i] >= 0 && mit_frames[i] > fault_from[i]) {
                    status = fault_code[i];
                }
            }
            const unsigned q = position[i];
            buses.arrive(bus,
                         CanFrame{CanId::standard(static_cast<std::uint16_t>(0x11 + i)),
                                  Payload{static_cast<std::uint8_t>(status << 4 | (i + 1)),
                                          static_cast<std::uint8_t>(q >> 8),
                                          static_cast<std::uint8_t>(q & 0xFF), 0x80, 0x08, 0x00,
                                          30, 31}},
                         50 * kUs);
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
        members.push_back({Damiao(static_cast<std::uint16_t>(i + 1),
                                  static_cast<std::uint16_t>(0x11 + i), {},
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
        if (is_special(a, damiao::kEnableCode) || is_special(a, damiao::kDisableCode)) {
            continue;
        }
        const MitRaw first = mit_raw(a);
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
        {"fault", 30, -1, StopReason::Kind::MotorFault, "reports fault 12 (rotor over-temperature)"},
        {"misses", -1, 30, StopReason::Kind::Missed, "did not answer 10 cycles in a row"},
    };
    for (const auto& c : cases) {
        Motors motors(3);
        motors.fault_from[1] = c.fault_from;
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
            EXPECT_GT(damping.kd, 0U) << c.name << " " << i;
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
                if (readings[0].cycle != readings[1].cycle || readings[1].cycle != readings[2].cycle) {
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
    EXPECT_EQ(refusal([](ServoSettings& s) { s.limits = {MotionLimits{}, MotionLimits{1, -1}}; }),
              "motor 1: invalid motion limit: a_max is -1, must be within [1e-06, 1e+09]");
    EXPECT_EQ(refusal([](ServoSettings& s) { s.max_misses = 0; }), "max_misses must be at least 1");
    EXPECT_EQ(refusal([](ServoSettings& s) { s.priority = 100; }),
              "priority must be from 0 (none) to 99, got 100");
}

}  // namespace
}  // namespace axiolink::control
