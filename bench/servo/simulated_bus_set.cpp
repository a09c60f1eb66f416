#include "servo/simulated_bus_set.hpp"

#include <time.h>

#include <algorithm>
#include <array>
#include <cerrno>

namespace axiolink::bench {
namespace {

using emulator::Emulator;
using emulator::MotorConfig;
using emulator::Outbox;
using emulator::Outgoing;
using emulator::Wire;
using emulator::WireTiming;
using transport::BusFrame;
using transport::CanFrame;
using transport::Duration;
using transport::MonotonicTime;
using transport::TransportError;

// Far more than one cycle ever has on a wire: 64 motors' commands and answers.
constexpr std::size_t kQueueCapacity = 256;

damiao::MitLimits dm4310() {
    return damiao::find_preset("dm4310")->limits;
}

std::uint16_t motor_id(std::size_t index) {
    return static_cast<std::uint16_t>(index + 1);
}

std::uint16_t master_id(std::size_t index) {
    return static_cast<std::uint16_t>(0x10 + index + 1);
}

std::vector<MotorConfig> motors_of(const SimulatedWires& wires, std::size_t bus) {
    std::vector<MotorConfig> motors;
    for (std::size_t i = bus; i < wires.motors; i += wires.buses) {
        MotorConfig config;
        config.motor_id = motor_id(i);
        config.master_id = master_id(i);
        config.preset = "dm4310";
        config.limits = dm4310();
        config.control_mode = 1;  // MIT
        motors.push_back(config);
    }
    return motors;
}

MonotonicTime after(MonotonicTime start, Duration duration) {
    return MonotonicTime{start.nanos + duration.seconds * 1'000'000'000 + duration.nanos};
}

}  // namespace

// One wire, its motors, and the answers on their way to the host: they leave
// the wire in order and the adapter delays each by the same latency, so they
// reach the host in the order they left (a FIFO).
struct SimulatedBusSet::Bus {
    Bus(const SimulatedWires& wires, std::size_t index)
        : configs(motors_of(wires, index)),
          wire(WireTiming{wires.bitrate, wires.reaction_nanos, wires.adapter_latency_nanos},
               kQueueCapacity),
          motors(configs, MonotonicTime::now()),
          outbox(motors.outbox_capacity()) {}

    void push_answer(const CanFrame& frame, MonotonicTime due) {
        if (count == answers.size()) {
            ++overflows;
            return;
        }
        answers[(first + count) % answers.size()] = Outgoing{frame, due};
        ++count;
    }
    const Outgoing& front() const { return answers[first]; }
    void pop() {
        first = (first + 1) % answers.size();
        --count;
    }

    // Runs the wire up to `now`: a command whose last bit left the wire
    // reaches the motors then; a motor's answer reaches the host one adapter
    // latency after its last bit.
    void run(MonotonicTime now) {
        wire.advance(now, [this](const Wire::Transmitted& carried) {
            if (carried.origin == Wire::Origin::Host) {
                outbox.clear();
                motors.on_frame(carried.frame, carried.end, outbox);
                for (const Outgoing& answer : outbox.frames()) {
                    if (!wire.offer_from_motor(answer.frame, answer.due)) {
                        ++overflows;
                    }
                }
            } else {
                push_answer(carried.frame,
                            MonotonicTime{carried.end.nanos + wire.timing().adapter_latency_nanos});
            }
        });
    }

    std::vector<MotorConfig> configs;
    Wire wire;
    Emulator motors;
    Outbox outbox;
    std::array<Outgoing, kQueueCapacity> answers{};
    std::size_t first = 0;
    std::size_t count = 0;
    std::size_t overflows = 0;
};

SimulatedBusSet::SimulatedBusSet(const SimulatedWires& wires) : wires_(wires) {
    for (std::size_t bus = 0; bus < wires.buses; ++bus) {
        buses_.push_back(std::make_unique<Bus>(wires, bus));
    }
}

SimulatedBusSet::~SimulatedBusSet() = default;

damiao::MotorGroup SimulatedBusSet::group(Duration timeout) const {
    std::vector<damiao::GroupMember> members;
    for (std::size_t i = 0; i < wires_.motors; ++i) {
        members.push_back(
            {damiao::Damiao(motor_id(i), master_id(i), dm4310(), timeout), i % wires_.buses});
    }
    return *damiao::MotorGroup::make(members, timeout);
}

std::size_t SimulatedBusSet::size() const noexcept {
    return buses_.size();
}

std::size_t SimulatedBusSet::overflows() const noexcept {
    std::size_t total = 0;
    for (const auto& bus : buses_) {
        total += bus->overflows;
    }
    return total;
}

void SimulatedBusSet::run_wires(MonotonicTime now) {
    for (const auto& bus : buses_) {
        bus->run(now);
    }
}

std::optional<MonotonicTime> SimulatedBusSet::next_answer(MonotonicTime deadline) {
    for (;;) {
        std::optional<MonotonicTime> due;
        Bus* ending = nullptr;
        std::optional<MonotonicTime> end;
        for (const auto& bus : buses_) {
            if (bus->count > 0 && (!due || bus->front().due < *due)) {
                due = bus->front().due;
            }
            if (const auto next = bus->wire.next_end(); next && (!end || *next < *end)) {
                end = next;
                ending = bus.get();
            }
        }
        if (!end || *end > deadline || (due && *due <= *end)) {
            return due;
        }
        ending->run(*end);
    }
}

std::size_t SimulatedBusSet::hand_over(std::size_t index, MonotonicTime now,
                                       std::span<BusFrame> out) {
    Bus& bus = *buses_[index];
    std::size_t taken = 0;
    while (taken < out.size() && bus.count > 0 && bus.front().due <= now) {
        out[taken++] = BusFrame{index, bus.front().frame};
        bus.pop();
    }
    return taken;
}

transport::BatchSent SimulatedBusSet::send(std::size_t bus, std::span<const CanFrame> frames,
                                           MonotonicTime) {
    const MonotonicTime now = MonotonicTime::now();
    // What ended before now is done before these frames contend.
    run_wires(now);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        if (!buses_[bus]->wire.offer_from_host(frames[i], now)) {
            return {i, TransportError::backend(ENOBUFS)};
        }
    }
    return {frames.size(), std::nullopt};
}

transport::TransportResult<std::size_t> SimulatedBusSet::take_waiting(std::size_t bus,
                                                                      std::span<BusFrame> out) {
    const MonotonicTime now = MonotonicTime::now();
    run_wires(now);
    return hand_over(bus, now, out);
}

transport::TransportResult<std::size_t> SimulatedBusSet::wait(Duration timeout,
                                                              std::span<BusFrame> out) {
    const MonotonicTime deadline = after(MonotonicTime::now(), timeout);
    for (;;) {
        const MonotonicTime now = MonotonicTime::now();
        run_wires(now);
        // Every bus with answers gets its turn, starting one further each time.
        std::size_t taken = 0;
        for (std::size_t k = 0; k < buses_.size() && taken < out.size(); ++k) {
            const std::size_t bus = (next_turn_ + k) % buses_.size();
            taken += hand_over(bus, now, out.subspan(taken));
        }
        next_turn_ = (next_turn_ + 1) % buses_.size();
        if (taken > 0) {
            return taken;
        }
        if (now >= deadline) {
            return std::unexpected(TransportError::timeout());
        }
        // Nobody sends while the caller waits: the wires can be carried
        // ahead to the first answer that reaches the host, and the caller
        // sleeps until then, as it would in a poll on a real bus.
        const MonotonicTime wake = std::min(next_answer(deadline).value_or(deadline), deadline);
        const timespec at{static_cast<time_t>(wake.nanos / 1'000'000'000),
                          static_cast<long>(wake.nanos % 1'000'000'000)};
        if (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
            return std::unexpected(TransportError::backend(EINTR));
        }
    }
}

}  // namespace axiolink::bench
