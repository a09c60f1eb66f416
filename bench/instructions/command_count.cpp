// command_count: COUNT commands of one kind and nothing else, for counting
// the instructions they take (bench/instructions/count.py runs it under
// callgrind on the null bus, where no command enters the kernel).
//
// usage: command_count mit COUNT       Damiao::mit_control on motor 1
//        command_count group N COUNT   a cycle of a group of motors 1..N
//        command_count servo N COUNT   one servo loop period of motors 1..N
//
// A servo loop runs its periods on a thread of its own, between sleeps;
// `servo` does on the calling thread, without the sleep, what one of its
// periods does: a motion limiter step per joint, the MIT setpoints, the group
// cycle, the readings handed over, the period's timing recorded.

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdio>
#include <memory>
#include <string_view>
#include <vector>

#include "control/latency_histogram.hpp"
#include "control/motion_limiter.hpp"
#include "control/servo_loop.hpp"
#include "control/triple_buffer.hpp"
#include "damiao/group.hpp"
#include "transport/socketcan_bus_set.hpp"

namespace {

using namespace axiolink;

std::size_t number(std::string_view text) {
    std::size_t value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

// What ServoLoop's thread does in one period, after its sleep.
class ServoPeriods {
public:
    ServoPeriods(const damiao::MotorGroup& group, transport::BusSet& buses)
        : group_(group),
          buses_(buses),
          joints_(group.members().size()),
          targets_(std::vector<control::JointTarget>(joints_)),
          current_(joints_),
          limiters_(joints_),
          setpoints_(joints_, damiao::MitSetpoint{}),
          results_(joints_, damiao::MotorState{}),
          received_(joints_),
          late_(joints_),
          last_(joints_),
          states_(std::vector<control::JointReading>(joints_)) {
        // Each joint on its way to a target further than one run takes it,
        // so that every step limits the motion.
        for (std::size_t i = 0; i < joints_; ++i) {
            current_[i] = {10.0, 0.0, 0.0, 5.0, 0.5};
        }
    }

    // One period; the number of members without an answer.
    std::size_t run() {
        const auto started = static_cast<std::int64_t>(transport::MonotonicTime::now().nanos);
        if (next_ == 0) {
            next_ = started;
        }
        const std::int64_t lateness = std::max<std::int64_t>(0, started - next_);
        period_error_.record(static_cast<std::uint64_t>(lateness));
        if (lateness >= kPeriodNs) {
            next_ += lateness / kPeriodNs * kPeriodNs;
        }
        if (targets_.take()) {
            std::copy(targets_.reading().begin(), targets_.reading().end(), current_.begin());
        }
        for (std::size_t i = 0; i < joints_; ++i) {
            const control::JointTarget& target = current_[i];
            const control::MotionState next = limiters_[i].step(target.q, target.dq, kPeriod);
            setpoints_[i] =
                damiao::MitSetpoint{static_cast<float>(next.q), static_cast<float>(next.v),
                                    static_cast<float>(target.kp), static_cast<float>(target.kd),
                                    static_cast<float>(target.tau)};
        }
        group_.cycle(buses_, setpoints_, results_, {received_, late_});
        ++cycle_;
        std::size_t failures = 0;
        for (std::size_t i = 0; i < joints_; ++i) {
            if (late_[i] > 0) {
                late_answers_[i].store(late_answers_[i].load(std::memory_order_relaxed) + late_[i],
                                       std::memory_order_relaxed);
                late_[i] = 0;
            }
            if (!results_[i]) {
                ++failures;
                continue;
            }
            const damiao::MotorState& state = *results_[i];
            last_[i] = {state.position, state.velocity,
                        state.torque,   state.error,
                        cycle_,         static_cast<std::int64_t>(received_[i].nanos)};
            consecutive_[i].store(0, std::memory_order_relaxed);
            failures += state.error >= kFirstFault ? 1U : 0U;
        }
        std::copy(last_.begin(), last_.end(), states_.writing().begin());
        states_.publish();
        cycles_.store(cycle_, std::memory_order_relaxed);
        cycle_time_.record(transport::MonotonicTime::now().nanos -
                           static_cast<std::uint64_t>(started));
        next_ += kPeriodNs;
        return failures;
    }

private:
    static constexpr double kPeriod = 0.001;
    static constexpr std::int64_t kPeriodNs = 1'000'000;
    static constexpr std::uint8_t kFirstFault = 8;

    const damiao::MotorGroup& group_;
    transport::BusSet& buses_;
    std::size_t joints_;
    control::TripleBuffer<std::vector<control::JointTarget>> targets_;
    std::vector<control::JointTarget> current_;
    std::vector<control::JointLimiter> limiters_;
    std::vector<damiao::ControlSetpoint> setpoints_;
    std::vector<damiao::Result<damiao::MotorState>> results_;
    std::vector<transport::MonotonicTime> received_;
    std::vector<std::uint32_t> late_;
    std::vector<control::JointReading> last_;
    control::TripleBuffer<std::vector<control::JointReading>> states_;
    control::LatencyHistogram period_error_;
    control::LatencyHistogram cycle_time_;
    std::unique_ptr<std::atomic<std::uint32_t>[]> consecutive_ {
        new std::atomic<std::uint32_t>[ joints_ ]()
    };
    std::unique_ptr<std::atomic<std::uint64_t>[]> late_answers_ {
        new std::atomic<std::uint64_t>[ joints_ ]()
    };
    std::atomic<std::uint64_t> cycles_{0};
    std::uint64_t cycle_ = 0;
    std::int64_t next_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    auto bus = transport::SocketCanTransport::open("vcan0");
    if (!bus || args.empty() || (args[0] == "mit" ? args.size() != 2 : args.size() != 3)) {
        std::fputs(
            "usage: command_count mit COUNT | group N COUNT | servo N COUNT (on the null bus)\n",
            stderr);
        return 2;
    }
    const damiao::MitSetpoint setpoint{1.0F, -2.0F, 20.0F, 0.5F, 0.25F};
    std::size_t failures = 0;
    if (args[0] == "mit") {
        const damiao::Damiao motor(1, 0x11);
        for (std::size_t i = number(args[1]); i > 0; --i) {
            failures += motor.mit_control(*bus, setpoint).has_value() ? 0U : 1U;
        }
    } else {
        std::vector<damiao::GroupMember> members;
        for (std::uint16_t id = 1; id <= number(args[1]); ++id) {
            members.push_back({damiao::Damiao(id, static_cast<std::uint16_t>(0x10 + id)), 0});
        }
        const auto group = damiao::MotorGroup::make(members, transport::Duration::from_millis(20));
        transport::SocketCanTransport* buses[] = {&*bus};
        transport::SocketCanBusSet bus_set(buses);
        const std::vector<damiao::ControlSetpoint> commands(members.size(), setpoint);
        std::vector<damiao::Result<damiao::MotorState>> results(members.size(),
                                                                damiao::MotorState{});
        if (args[0] == "servo") {
            ServoPeriods periods(*group, bus_set);
            for (std::size_t i = number(args[2]); i > 0; --i) {
                failures += periods.run();
            }
        } else {
            for (std::size_t i = number(args[2]); i > 0; --i) {
                group->cycle(bus_set, commands, results);
                for (const auto& result : results) {
                    failures += result.has_value() ? 0U : 1U;
                }
            }
        }
    }
    if (failures > 0) {
        std::fprintf(stderr, "%zu commands failed\n", failures);
        return 1;
    }
    return 0;
}
