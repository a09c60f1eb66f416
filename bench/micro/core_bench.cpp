// Per-operation costs of the core: packing and decoding, the mode frames,
// the kernel frame conversions, the number texts, and a whole command
// against an in-memory bus (everything a command costs but its system calls).

#include <benchmark/benchmark.h>
#include <linux/can.h>

#include <array>
#include <cstring>

#include "damiao/driver.hpp"
#include "damiao/mit.hpp"
#include "damiao/modes.hpp"
#include "support/number_text.hpp"
#include "transport/can.hpp"
#include "transport/socketcan_backend.hpp"

namespace {

using namespace axiolink;
using damiao::ControlSetpoint;
using damiao::MitLimits;
using damiao::MitSetpoint;
using transport::CanFrame;
using transport::CanId;
using transport::Payload;

constexpr damiao::FrameBytes kFeedback{0x11, 0x80, 0x12, 0x7F, 0xE8, 0x05, 30, 32};
constexpr std::array<std::uint8_t, 64> kLongPayload{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};

// Answers every command at once with the same feedback: a bus without
// system calls, so that a command's own cost shows alone. The clock is the
// real one, as on a socket.
class AnsweringBus final : public transport::CanTransport {
public:
    transport::TransportResult<void> send(const CanFrame& frame) override {
        benchmark::DoNotOptimize(&frame);
        return {};
    }
    transport::TransportResult<CanFrame> recv(transport::Duration) override { return reply_; }

private:
    CanFrame reply_{CanId::standard(0x011), Payload(kFeedback)};
};

void BM_encode(benchmark::State& state) {
    const MitLimits limits;
    MitSetpoint setpoint{1.0F, -2.0F, 20.0F, 0.5F, 0.25F};
    for (auto _ : state) {
        benchmark::DoNotOptimize(setpoint);
        benchmark::DoNotOptimize(damiao::encode(limits, setpoint));
    }
}
BENCHMARK(BM_encode);

void BM_decode_feedback(benchmark::State& state) {
    const MitLimits limits;
    damiao::FrameBytes data = kFeedback;
    for (auto _ : state) {
        benchmark::DoNotOptimize(data);
        benchmark::DoNotOptimize(damiao::decode_feedback(data, limits));
    }
}
BENCHMARK(BM_decode_feedback);

void BM_encode_mode_frame(benchmark::State& state) {
    static const std::array<ControlSetpoint, 4> kSetpoints{
        MitSetpoint{1.0F, -2.0F, 20.0F, 0.5F, 0.25F}, damiao::PosVelSetpoint{1.5F, 2.0F},
        damiao::VelSetpoint{-3.25F}, damiao::ForcePosSetpoint{0.75F, 40.0F, 0.5F}};
    static constexpr std::array<const char*, 4> kNames{"mit", "pos_vel", "vel", "force_pos"};
    const MitLimits limits;
    const ControlSetpoint& setpoint = kSetpoints[static_cast<std::size_t>(state.range(0))];
    state.SetLabel(kNames[static_cast<std::size_t>(state.range(0))]);
    for (auto _ : state) {
        benchmark::DoNotOptimize(&setpoint);
        benchmark::DoNotOptimize(damiao::encode_mode_frame(limits, setpoint));
    }
}
BENCHMARK(BM_encode_mode_frame)->DenseRange(0, 3);

void BM_to_kernel(benchmark::State& state) {
    const bool fd = state.range(0) != 0;
    const CanFrame frame{CanId::standard(0x001), fd ? Payload(kLongPayload) : Payload(kFeedback),
                         fd, false};
    state.SetLabel(fd ? "fd 64 bytes" : "classic 8 bytes");
    for (auto _ : state) {
        benchmark::DoNotOptimize(&frame);
        benchmark::DoNotOptimize(transport::to_kernel(frame));
    }
}
BENCHMARK(BM_to_kernel)->Arg(0)->Arg(1);

void BM_from_kernel(benchmark::State& state) {
    const bool fd = state.range(0) != 0;
    canfd_frame buffer{};
    buffer.can_id = 0x011;
    buffer.len = fd ? CANFD_MAX_DLEN : CAN_MAX_DLEN;
    std::memcpy(buffer.data, kLongPayload.data(), buffer.len);
    const std::size_t bytes_read = fd ? CANFD_MTU : CAN_MTU;
    state.SetLabel(fd ? "fd 64 bytes" : "classic 8 bytes");
    for (auto _ : state) {
        benchmark::DoNotOptimize(&buffer);
        benchmark::DoNotOptimize(transport::from_kernel(buffer, bytes_read));
    }
}
BENCHMARK(BM_from_kernel)->Arg(0)->Arg(1);

// Values whose texts are short, long, tiny and huge.
constexpr std::array<float, 4> kTextValues{0.25F, 3.14159274F, 1.0e-7F, 3.0e38F};
constexpr std::array<const char*, 4> kTextNames{"0.25", "pi", "1e-7", "3e38"};

template <std::string_view (*Write)(float, support::NumberBuffer&) noexcept>
void BM_number_text(benchmark::State& state) {
    const std::size_t index = static_cast<std::size_t>(state.range(0));
    float value = kTextValues[index];
    state.SetLabel(kTextNames[index]);
    support::NumberBuffer buffer;
    for (auto _ : state) {
        benchmark::DoNotOptimize(value);
        benchmark::DoNotOptimize(Write(value, buffer));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_number_text<&support::shortest_text>)->Name("BM_shortest_text")->DenseRange(0, 3);
BENCHMARK(BM_number_text<&support::four_decimal_text>)
    ->Name("BM_four_decimal_text")
    ->DenseRange(0, 3);

void BM_clock_read(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(transport::MonotonicTime::now());
    }
}
BENCHMARK(BM_clock_read);

// A whole command through the driver and `request` (clock read included),
// with a bus that costs nothing.
void BM_mit_control_in_memory(benchmark::State& state) {
    AnsweringBus bus;
    const damiao::Damiao motor(0x001, 0x011);
    const MitSetpoint setpoint{1.0F, -2.0F, 20.0F, 0.5F, 0.25F};
    for (auto _ : state) {
        benchmark::DoNotOptimize(motor.mit_control(bus, setpoint));
    }
}
BENCHMARK(BM_mit_control_in_memory);

void BM_enable_in_memory(benchmark::State& state) {
    AnsweringBus bus;
    const damiao::Damiao motor(0x001, 0x011);
    for (auto _ : state) {
        benchmark::DoNotOptimize(motor.enable(bus));
    }
}
BENCHMARK(BM_enable_in_memory);

}  // namespace

BENCHMARK_MAIN();
