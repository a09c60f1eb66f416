#pragma once
// The emulator's command line.

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "emulator/emulated_motor.hpp"

namespace axiolink::emulator {

struct Options {
    bool help = false;
    std::string iface;
    std::vector<MotorConfig> motors;
    std::optional<std::string> ready_file;
    bool log = false;
    std::optional<std::uint64_t> duration_nanos;
    // The wire model: none (every frame instant) unless a bit rate is given.
    std::optional<std::uint32_t> bitrate;
    std::uint64_t reaction_nanos = 0;
    std::uint64_t adapter_latency_nanos = 0;
};

// Parses the arguments after the program name. The error is one line,
// naming the argument at fault. `--help` anywhere wins over every other
// argument and error after it.
std::expected<Options, std::string> parse_options(std::span<const std::string_view> args);

// The text `--help` prints.
std::string usage_text();

}  // namespace axiolink::emulator
