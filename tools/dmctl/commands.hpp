#pragma once
// dmctl's subcommands: each parses its own arguments, talks to the motors
// through the driver and reports in text or JSON on standard output.

#include <span>
#include <string_view>

#include "dmctl/cli.hpp"

namespace axiolink::dmctl {

struct Subcommand {
    std::string_view name;
    std::string_view synopsis;  // arguments after the name
    std::string_view summary;   // one line for the tool's help
    std::string_view details;   // the subcommand's own help, after the synopsis
    std::span<const OptionRule> options;
    Outcome (*run)(const Settings& settings, const ParsedArgs& args);
};

std::span<const Subcommand> subcommands() noexcept;

// Prints `text` and a newline on standard output, at once.
void print_line(std::string_view text);

}  // namespace axiolink::dmctl
