// command_count: COUNT commands of one kind and nothing else, for counting
// the instructions they take (bench/instructions/count.py runs it under
// callgrind on the null bus, where no command enters the kernel).
//
// usage: command_count mit COUNT       Damiao::mit_control on motor 1
//        command_count group N COUNT   a cycle of a group of motors 1..N

#include <charconv>
#include <cstdio>
#include <string_view>
#include <vector>

#include "damiao/group.hpp"
#include "transport/socketcan_bus_set.hpp"

namespace {

using namespace axiolink;

std::size_t number(std::string_view text) {
    std::size_t value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    auto bus = transport::SocketCanTransport::open("vcan0");
    if (!bus || args.empty() || (args[0] == "mit" ? args.size() != 2 : args.size() != 3)) {
        std::fputs("usage: command_count mit COUNT | group N COUNT (on the null bus)\n", stderr);
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
        for (std::size_t i = number(args[2]); i > 0; --i) {
            group->cycle(bus_set, commands, results);
            for (const auto& result : results) {
                failures += result.has_value() ? 0U : 1U;
            }
        }
    }
    if (failures > 0) {
        std::fprintf(stderr, "%zu commands failed\n", failures);
        return 1;
    }
    return 0;
}
