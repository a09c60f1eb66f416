// Every command exchange of the driver runs without touching the heap: the
// allocation functions of this program count their calls, and a run of
// exchanges against a scripted bus that was given all its memory up front
// must count none.

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <thread>
#include <functional>
#include <memory>
#include <new>
#include <ostream>
#include <string>
#include <vector>

#include "control/servo_loop.hpp"
#include "core/scripted_buses.hpp"
#include "core/scripted_transport.hpp"
#include "damiao/driver.hpp"
#include "damiao/group.hpp"
#include "damiao/modes.hpp"
#include "support/number_text.hpp"

extern "C" {
void* __libc_malloc(std::size_t size) noexcept;
void* __libc_calloc(std::size_t count, std::size_t size) noexcept;
void* __libc_realloc(void* block, std::size_t size) noexcept;
void* __libc_memalign(std::size_t alignment, std::size_t size) noexcept;
void __libc_free(void* block) noexcept;
}

namespace {

struct AllocationCounts {
    std::size_t news = 0;     // operator new, every form
    std::size_t mallocs = 0;  // malloc, calloc, realloc, aligned_alloc
};

// Read by every thread that allocates (a servo loop's too).
std::atomic<bool> g_counting{false};

std::atomic<std::size_t> g_news{0};
std::atomic<std::size_t> g_mallocs{0};

void count_new() noexcept {
    if (g_counting.load(std::memory_order_relaxed)) {
        g_news.fetch_add(1, std::memory_order_relaxed);
    }
}

void count_malloc() noexcept {
    if (g_counting.load(std::memory_order_relaxed)) {
        g_mallocs.fetch_add(1, std::memory_order_relaxed);
    }
}

// The allocation calls `work` makes.
AllocationCounts allocations_during(const std::function<void()>& work) {
    g_news = 0;
    g_mallocs = 0;
    g_counting = true;
    work();
    g_counting = false;
    return {g_news.load(), g_mallocs.load()};
}

}  // namespace

// The C library's entry points: the executable's definitions take the place
// of the library's for every caller in the process, the C++ runtime included.
extern "C" {
void* malloc(std::size_t size) noexcept {
    count_malloc();
    return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) noexcept {
    count_malloc();
    return __libc_calloc(count, size);
}
void* realloc(void* block, std::size_t size) noexcept {
    count_malloc();
    return __libc_realloc(block, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
    count_malloc();
    return __libc_memalign(alignment, size);
}
}

// operator new goes straight to the C library's allocator, so that one
// allocation counts once, as a `new`.
void* operator new(std::size_t size) {
    count_new();
    if (void* block = __libc_malloc(size == 0 ? 1 : size)) {
        return block;
    }
    throw std::bad_alloc();
}
void* operator new(std::size_t size, std::align_val_t alignment) {
    count_new();
    if (void* block = __libc_memalign(static_cast<std::size_t>(alignment), size == 0 ? 1 : size)) {
        return block;
    }
    throw std::bad_alloc();
}
void operator delete(void* block) noexcept {
    __libc_free(block);
}
void operator delete(void* block, std::size_t) noexcept {
    __libc_free(block);
}
void operator delete(void* block, std::align_val_t) noexcept {
    __libc_free(block);
}
void operator delete(void* block, std::size_t, std::align_val_t) noexcept {
    __libc_free(block);
}

namespace {

using axiolink::damiao::ControlSetpoint;
using axiolink::damiao::Damiao;
using axiolink::damiao::ForcePosSetpoint;
using axiolink::damiao::MitSetpoint;
using axiolink::damiao::PosVelSetpoint;
using axiolink::damiao::VelSetpoint;
using axiolink::testing::ScriptedTransport;
using axiolink::transport::CanFrame;
using axiolink::transport::CanId;
using axiolink::transport::Payload;

constexpr std::size_t kWarmUp = 10;
constexpr std::size_t kExchanges = 1000;

const Damiao kMotor(0x001, 0x011);
const CanFrame kFeedback{CanId::standard(0x011),
                         Payload{0x11, 0x80, 0x12, 0x7F, 0xE8, 0x05, 30, 32}};
const CanFrame kForeignFrame{CanId::standard(0x022), Payload{1, 2, 3}};
const CanFrame kShortFeedback{CanId::standard(0x011), Payload{0x11, 0x80}};

// What the bus answers each command with.
enum class Answer { Feedback, ForeignThenFeedback, ShortFeedback, Nothing };

// A scripted bus holding every reply and every record it will need for
// `commands` exchanges, so that only the driver could still allocate.
ScriptedTransport prepared_bus(Answer answer, std::size_t commands) {
    ScriptedTransport bus;
    const std::size_t reads = answer == Answer::ForeignThenFeedback ? 2 * commands : commands;
    bus.sent.reserve(commands);
    bus.send_times.reserve(commands);
    bus.read_timeouts.reserve(reads);
    for (std::size_t i = 0; i < commands; ++i) {
        switch (answer) {
            case Answer::Feedback:
                bus.queue(kFeedback);
                break;
            case Answer::ForeignThenFeedback:
                bus.queue(kForeignFrame);
                bus.queue(kFeedback);
                break;
            case Answer::ShortFeedback:
                bus.queue(kShortFeedback);
                break;
            case Answer::Nothing:
                break;
        }
    }
    return bus;
}

struct CommandCase {
    std::string name;
    std::function<bool(ScriptedTransport&)> command;  // true when it succeeded
    Answer answer = Answer::Feedback;
    bool succeeds = true;
};

// What test listings show for a case: its name, not the bytes of a struct
// holding heap pointers.
void PrintTo(const CommandCase& command_case, std::ostream* out) {
    *out << command_case.name;
}

const MitSetpoint kMit{1.0F, -2.0F, 20.0F, 0.5F, 0.25F};

std::vector<CommandCase> command_cases() {
    const auto control = [](ControlSetpoint setpoint) {
        return [setpoint](ScriptedTransport& bus) {
            return kMotor.control(bus, setpoint).has_value();
        };
    };
    return {
        {"enable", [](auto& bus) { return kMotor.enable(bus).has_value(); }},
        {"disable", [](auto& bus) { return kMotor.disable(bus).has_value(); }},
        {"set_zero", [](auto& bus) { return kMotor.set_zero(bus).has_value(); }},
        {"clear_error", [](auto& bus) { return kMotor.clear_error(bus).has_value(); }},
        {"mit_control", [](auto& bus) { return kMotor.mit_control(bus, kMit).has_value(); }},
        {"control_mit", control(kMit)},
        {"control_pos_vel", control(PosVelSetpoint{1.5F, 2.0F})},
        {"control_vel", control(VelSetpoint{-3.25F})},
        {"control_force_pos", control(ForcePosSetpoint{0.75F, 40.0F, 0.5F})},
        {"mit_control_past_a_foreign_frame",
         [](auto& bus) { return kMotor.mit_control(bus, kMit).has_value(); },
         Answer::ForeignThenFeedback},
        {"mit_control_short_feedback",
         [](auto& bus) { return kMotor.mit_control(bus, kMit).has_value(); }, Answer::ShortFeedback,
         false},
        {"mit_control_timeout", [](auto& bus) { return kMotor.mit_control(bus, kMit).has_value(); },
         Answer::Nothing, false},
    };
}

class CommandAllocations : public ::testing::TestWithParam<CommandCase> {};

TEST_P(CommandAllocations, NonePerExchangeAfterWarmUp) {
    const CommandCase& command_case = GetParam();
    ScriptedTransport bus = prepared_bus(command_case.answer, kWarmUp + kExchanges);
    for (std::size_t i = 0; i < kWarmUp; ++i) {
        ASSERT_EQ(command_case.command(bus), command_case.succeeds);
    }
    std::size_t outcomes_as_expected = 0;
    const AllocationCounts counts = allocations_during([&] {
        for (std::size_t i = 0; i < kExchanges; ++i) {
            if (command_case.command(bus) == command_case.succeeds) {
                ++outcomes_as_expected;
            }
        }
    });
    EXPECT_EQ(outcomes_as_expected, kExchanges);
    EXPECT_EQ(bus.sent.size(), kWarmUp + kExchanges);
    EXPECT_EQ(counts.news, 0U);
    EXPECT_EQ(counts.mallocs, 0U);
}

INSTANTIATE_TEST_SUITE_P(Commands, CommandAllocations, ::testing::ValuesIn(command_cases()),
                         [](const ::testing::TestParamInfo<CommandCase>& test) {
                             return test.param.name;
                         });

// The counting itself: without it the zeros above would prove nothing.
TEST(AllocationCounting, SeesOperatorNewAndTheCLibrary) {
    const AllocationCounts counts = allocations_during([] {
        auto numbers = std::make_unique<std::vector<int>>(100);
        void* block = std::malloc(32);
        block = std::realloc(block, 64);
        std::free(block);
    });
    EXPECT_EQ(counts.news, 2U);  // the vector and its elements
    EXPECT_EQ(counts.mallocs, 2U);
}

TEST(AllocationCounting, SeesABusThatGrowsWhileCommandsRun) {
    ScriptedTransport bus;  // nothing reserved: recording a sent frame allocates
    bus.queue(kFeedback);
    const AllocationCounts counts =
        allocations_during([&] { ASSERT_TRUE(kMotor.enable(bus).has_value()); });
    EXPECT_GT(counts.news, 0U);
}

}  // namespace

// The pure pieces of every command and representation: packing, decoding,
// mode frames and the number texts.
TEST(PureFunctionAllocations, NoneAtAll) {
    using namespace axiolink;
    const damiao::MitLimits limits;
    const damiao::MitSetpoint setpoint{1.0F, -2.0F, 20.0F, 0.5F, 0.25F};
    const damiao::FrameBytes reply{0x11, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x1A, 0x1C};
    const float values[] = {0.0F, -0.0F, 12.566F, 1e-7F, 1e10F, 3.4e38F, 1.4e-45F, 0.03125F};
    std::size_t checksum = 0;
    const AllocationCounts counts = allocations_during([&] {
        for (int round = 0; round < 100; ++round) {
            checksum += damiao::encode(limits, setpoint)->at(0);
            checksum += damiao::decode_feedback(reply, limits).t_mos;
            checksum +=
                damiao::encode_mode_frame(limits, damiao::ForcePosSetpoint{0.5F, 12.345F, 0.5F})
                    ->at(4);
            for (const float value : values) {
                support::NumberBuffer buffer;
                checksum += support::shortest_text(value, buffer).size();
                checksum += support::four_decimal_text(value, buffer).size();
            }
        }
    });
    EXPECT_GT(checksum, 0U);
    EXPECT_EQ(counts.news, 0U);
    EXPECT_EQ(counts.mallocs, 0U);
}

// A group cycle of mixed modes on two buses, where one motor never answers
// and a stranger's frame arrives among the replies.
TEST(GroupCycleAllocations, NonePerCycleAfterWarmUp) {
    using namespace axiolink;
    using damiao::GroupMember;
    const transport::Duration timeout = transport::Duration::from_millis(2);
    const std::vector<GroupMember> members{
        {damiao::Damiao(1, 0x11, {}, timeout), 0}, {damiao::Damiao(2, 0x12, {}, timeout), 1},
        {damiao::Damiao(3, 0x13, {}, timeout), 0}, {damiao::Damiao(4, 0x14, {}, timeout), 1}};
    const auto group = damiao::MotorGroup::make(members, timeout);
    ASSERT_TRUE(group.has_value());
    axiolink::testing::ScriptedBuses buses(2, [](axiolink::testing::ScriptedBuses& b, std::size_t bus,
                                       const CanFrame& sent) {
        const auto motor = static_cast<std::uint16_t>(sent.id.value & 0xFFU);
        if (motor != 3) {
            b.arrive(bus, CanFrame{CanId::standard(0x10 + motor), kFeedback.data}, 100'000);
        }
        b.arrive(bus, kForeignFrame, 50'000);
    });
    const std::vector<ControlSetpoint> commands{kMit, PosVelSetpoint{1.0F, 2.0F},
                                                VelSetpoint{3.0F}, ForcePosSetpoint{1.0F, 2.0F, 0.5F}};
    std::vector<damiao::Result<damiao::MotorState>> results(members.size(), damiao::MotorState{});
    const auto one_cycle = [&] {
        buses.events.clear();
        buses.sent.clear();
        buses.sent_at.clear();
        group->cycle(buses, commands, results);
    };
    for (std::size_t i = 0; i < kWarmUp; ++i) {
        one_cycle();
    }
    std::size_t states = 0;
    const AllocationCounts counts = allocations_during([&] {
        for (std::size_t i = 0; i < kExchanges; ++i) {
            one_cycle();
            states += static_cast<std::size_t>(std::ranges::count_if(
                results, [](const auto& result) { return result.has_value(); }));
        }
    });
    EXPECT_EQ(states, 3 * kExchanges);
    EXPECT_EQ(counts.news, 0U);
    EXPECT_EQ(counts.mallocs, 0U);
}

// Motors that answer every frame at once: a bus set that keeps its answers
// in a fixed ring and records nothing, so a servo loop on it can run for
// as long as a test likes.
class AnsweringBuses final : public axiolink::transport::BusSet {
public:
    std::size_t size() const noexcept override { return 1; }
    axiolink::transport::BatchSent send(std::size_t, std::span<const CanFrame> frames,
                                        axiolink::transport::MonotonicTime) override {
        for (const CanFrame& frame : frames) {
            const auto motor = static_cast<std::uint16_t>(frame.id.value & 0xFFU);
            const std::uint8_t status = frame.data[7] == 0xFD ? 0 : 1;
            answers_[end_++ % answers_.size()] =
                CanFrame{CanId::standard(static_cast<std::uint16_t>(0x10 + motor)),
                         Payload{static_cast<std::uint8_t>(status << 4 | motor), 0x80, 0x00, 0x7F,
                                 0xF8, 0x00, 30, 32}};
        }
        return {frames.size(), std::nullopt};
    }
    axiolink::transport::TransportResult<std::size_t> take_waiting(
        std::size_t, std::span<axiolink::transport::BusFrame>) override {
        return 0;
    }
    axiolink::transport::TransportResult<std::size_t> wait(
        axiolink::transport::Duration, std::span<axiolink::transport::BusFrame> out) override {
        std::size_t taken = 0;
        while (begin_ < end_ && taken < out.size()) {
            out[taken++] = {0, answers_[begin_++ % answers_.size()]};
        }
        if (taken == 0) {
            return std::unexpected(axiolink::transport::TransportError::timeout());
        }
        return taken;
    }

private:
    std::array<CanFrame, 64> answers_{};
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
};

struct NoLease final : axiolink::control::ServoLoop::BusLease {
    void acquire() noexcept override {}
    void release() noexcept override {}
};

// A running servo loop's cycles, and the handoffs of targets and states
// beside them, touch the heap not at all: everything was allocated at start.
TEST(ServoLoopAllocations, NonePerCycleOrHandoff) {
    using namespace axiolink;
    const transport::Duration timeout = transport::Duration::from_millis(2);
    std::vector<damiao::GroupMember> members;
    for (std::uint16_t id = 1; id <= 7; ++id) {
        members.push_back({damiao::Damiao(id, static_cast<std::uint16_t>(0x10 + id), {}, timeout), 0});
    }
    const auto group = damiao::MotorGroup::make(members, timeout);
    ASSERT_TRUE(group.has_value());
    AnsweringBuses buses;
    NoLease lease;
    control::ServoSettings settings;
    settings.rate_hz = 2000;
    settings.log_capacity = 100;
    settings.stop_damping_ns = 5'000'000;
    settings.check_mode = false;  // these motors answer commands only
    auto loop = control::ServoLoop::start(*group, buses, lease, settings);
    ASSERT_TRUE(loop.has_value());
    const auto cycles = [&] { return (*loop)->stats().cycles; };
    while (cycles() < 50) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::vector<control::JointTarget> targets(7, control::JointTarget{0.1, 0.0, 0.0, 5.0, 0.5});
    std::vector<control::JointReading> readings(7);
    const std::uint64_t before = cycles();
    const AllocationCounts counts = allocations_during([&] {
        for (int k = 0; k < 200; ++k) {
            targets[static_cast<std::size_t>(k) % 7].q = 0.001 * k;
            (void)(*loop)->set_targets(targets);
            (void)(*loop)->read_states(readings);
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });
    const std::uint64_t during = cycles() - before;
    (*loop)->stop();
    EXPECT_GT(during, 20U);
    EXPECT_EQ(counts.news, 0U);
    EXPECT_EQ(counts.mallocs, 0U);
}
