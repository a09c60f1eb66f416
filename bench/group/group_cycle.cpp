// group_cycle: the C++ side of the group benchmark. Commands N motors per bus
// (ids 1..N, answering at 0x10 + id) on each of the given interfaces, CYCLES
// times, either with one group cycle per step or with one plain exchange per
// motor, and prints one line of JSON: microseconds per step, steps with a
// missing answer, and the wire's own time for one step's frames.
//
// usage: group_cycle group|plain N CYCLES IFACE... (BITRATE from $WIRE_BITRATE)

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "damiao/group.hpp"
#include "emulator/wire.hpp"
#include "transport/socketcan_bus_set.hpp"

namespace {

using namespace axiolink;
using damiao::ControlSetpoint;
using damiao::Damiao;
using damiao::MitSetpoint;
using transport::Duration;
using transport::MonotonicTime;
using transport::SocketCanTransport;

constexpr std::size_t kWarmUp = 20;
const Duration kTimeout = Duration::from_millis(20);

std::size_t number(const char* text) {
    std::size_t value = 0;
    std::from_chars(text, text + std::string_view(text).size(), value);
    return value;
}

// The wire time of one step: every command and the answer each motor gives
// it, counted from frames taken off the bus.
double wire_micros(std::vector<SocketCanTransport>& buses, std::size_t motors, double bitrate) {
    const auto command = damiao::encode({}, MitSetpoint{});
    std::uint64_t bits = 0;
    for (SocketCanTransport& bus : buses) {
        for (std::uint16_t id = 1; id <= motors; ++id) {
            const transport::CanFrame frame{transport::CanId::standard(id),
                                            transport::Payload(*command)};
            bits += emulator::wire_bits(frame);
            const auto reply = bus.request(frame, transport::CanId::standard(0x10 + id),
                                           Duration::from_millis(500));
            if (!reply) {
                std::fprintf(stderr, "no answer from motor %u\n", id);
                std::exit(1);
            }
            bits += emulator::wire_bits(*reply);
        }
    }
    return static_cast<double>(bits) / static_cast<double>(buses.size()) / bitrate * 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fputs("usage: group_cycle group|plain N CYCLES IFACE...\n", stderr);
        return 2;
    }
    const bool grouped = std::string_view(argv[1]) == "group";
    const std::size_t motors = number(argv[2]);
    const std::size_t cycles = number(argv[3]);
    const char* bitrate_text = std::getenv("WIRE_BITRATE");
    const double bitrate = bitrate_text != nullptr ? std::atof(bitrate_text) : 1e6;
    std::vector<SocketCanTransport> buses;
    for (int i = 4; i < argc; ++i) {
        auto bus = SocketCanTransport::open(argv[i]);
        if (!bus) {
            std::fprintf(stderr, "%s: %s\n", argv[i], bus.error().message().c_str());
            return 1;
        }
        buses.push_back(std::move(*bus));
    }
    const double wire = wire_micros(buses, motors, bitrate);

    std::vector<damiao::GroupMember> members;
    for (std::size_t bus = 0; bus < buses.size(); ++bus) {
        for (std::uint16_t id = 1; id <= motors; ++id) {
            members.push_back(
                {Damiao(id, static_cast<std::uint16_t>(0x10 + id), {}, kTimeout), bus});
        }
    }
    const auto group = damiao::MotorGroup::make(members, kTimeout);
    if (!group) {
        std::fprintf(stderr, "%s\n", group.error().message().c_str());
        return 1;
    }
    std::vector<SocketCanTransport*> pointers;
    for (SocketCanTransport& bus : buses) {
        pointers.push_back(&bus);
    }
    transport::SocketCanBusSet bus_set(pointers);
    const std::vector<ControlSetpoint> commands(members.size(), MitSetpoint{});
    std::vector<damiao::Result<damiao::MotorState>> results(members.size(), damiao::MotorState{});

    std::size_t missed = 0;
    const auto step = [&] {
        bool complete = true;
        if (grouped) {
            group->cycle(bus_set, commands, results);
            for (const auto& result : results) {
                complete = complete && result.has_value();
            }
        } else {
            for (const auto& member : members) {
                complete =
                    member.driver.mit_control(buses[member.bus], MitSetpoint{}).has_value() &&
                    complete;
            }
        }
        return complete;
    };
    for (std::size_t i = 0; i < kWarmUp; ++i) {
        step();
    }
    const MonotonicTime start = MonotonicTime::now();
    for (std::size_t i = 0; i < cycles; ++i) {
        missed += step() ? 0U : 1U;
    }
    const MonotonicTime end = MonotonicTime::now();
    std::printf("{\"us_per_step\": %.1f, \"missed\": %zu, \"wire_us\": %.1f}\n",
                static_cast<double>(end.nanos - start.nanos) / 1e3 / static_cast<double>(cycles),
                missed, wire);
    return 0;
}
