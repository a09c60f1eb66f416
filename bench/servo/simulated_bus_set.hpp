#pragma once
// Buses that exist only inside the process, each a timed CAN wire with
// emulated motors on it: a frame sent occupies its wire for its bit time,
// the motors answer after their reaction time, the adapter delays each
// direction by its latency, and `wait` really sleeps on the monotonic clock
// until the next answer reaches the host. A cycle over these buses takes the
// wire's real time, as on hardware, without a kernel CAN stack in the way:
// what a loop on top of it shows is the loop's own timing.
//
// Not thread-safe: one operation at a time (the caller holds a lock around
// each cycle). Nothing allocates after construction.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "damiao/group.hpp"
#include "emulator/emulator.hpp"
#include "emulator/wire.hpp"
#include "transport/bus_set.hpp"

namespace axiolink::bench {

struct SimulatedWires {
    std::size_t buses = 1;
    std::size_t motors = 7;  // ids 1..N, master ids 0x10 + id, round robin over the buses
    std::uint32_t bitrate = 1'000'000;        // bits per second
    std::uint64_t reaction_nanos = 50'000;    // a motor's turnaround
    std::uint64_t adapter_latency_nanos = 0;  // host <-> wire, each way
};

class SimulatedBusSet final : public transport::BusSet {
public:
    explicit SimulatedBusSet(const SimulatedWires& wires);
    ~SimulatedBusSet() override;

    // The group of every motor, each on its bus, dm4310 limits, with
    // `timeout` for each cycle's answers.
    damiao::MotorGroup group(transport::Duration timeout) const;

    std::size_t size() const noexcept override;
    transport::BatchSent send(std::size_t bus, std::span<const transport::CanFrame> frames,
                              transport::MonotonicTime until) override;
    transport::TransportResult<std::size_t> take_waiting(
        std::size_t bus, std::span<transport::BusFrame> out) override;
    transport::TransportResult<std::size_t> wait(transport::Duration timeout,
                                                 std::span<transport::BusFrame> out) override;

    // Frames that did not fit a queue (none, unless something is wrong).
    std::size_t overflows() const noexcept;

private:
    struct Bus;

    // Carries every wire up to `now`.
    void run_wires(transport::MonotonicTime now);
    // Carries the wires ahead, transmission by transmission, until an
    // answer is on its way to the host or the next transmission would end
    // past `deadline`; returns when the first answer reaches the host.
    std::optional<transport::MonotonicTime> next_answer(transport::MonotonicTime deadline);
    std::size_t hand_over(std::size_t bus, transport::MonotonicTime now,
                          std::span<transport::BusFrame> out);

    SimulatedWires wires_;
    std::vector<std::unique_ptr<Bus>> buses_;
    std::size_t next_turn_ = 0;
};

}  // namespace axiolink::bench
