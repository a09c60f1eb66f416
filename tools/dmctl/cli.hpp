#pragma once
// dmctl's command line: the settings every subcommand shares, failures with
// what to check, and the small option parser the subcommands use.

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "transport/can.hpp"

namespace axiolink::dmctl {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// The ids `scan` (and `monitor` without --motor) try unless told otherwise.
inline constexpr std::string_view kDefaultScanIds = "1-32";

struct Settings {
    std::string iface = "can0";
    bool json = false;
    std::uint32_t timeout_ms = 20;

    transport::Duration timeout() const noexcept {
        return transport::Duration::from_millis(timeout_ms);
    }
};

// Why a subcommand could not do its job: one line, and what to look at.
struct Failure {
    int status = kExitFailure;
    std::string message;
    std::vector<std::string> checks;
    // The result went to standard output already (with --json: as the one
    // JSON object there); only the text goes to standard error.
    bool result_printed = false;
    // What dmctl did after the failure to leave the motor safe ("sent a
    // disable ..."): a line of its own on standard error, and the "undone"
    // member of the JSON failure. Empty when nothing was needed.
    std::string undone = {};
};

using Outcome = std::expected<void, Failure>;

inline std::unexpected<Failure> usage_error(std::string message) {
    return std::unexpected(Failure{kExitUsage, std::move(message), {}});
}

struct OptionRule {
    std::string_view name;  // "--ids"
    bool takes_value;
};

// Options and positional arguments of one subcommand, in the order given.
struct ParsedArgs {
    std::vector<std::string_view> positional;
    std::vector<std::pair<std::string_view, std::string_view>> options;
    bool help = false;

    bool has(std::string_view name) const noexcept;
    // The value given last for `name`.
    std::optional<std::string_view> last(std::string_view name) const noexcept;
    std::vector<std::string_view> all(std::string_view name) const;
};

// "--name VALUE", "--name=VALUE", flags, "-h"/"--help", and "--" before
// positional arguments that start with "--". A single "-" followed by a
// digit or a point is a number, not an option. With `stop_at_positional`
// parsing ends at the first positional argument, which is left in `rest`.
std::expected<ParsedArgs, Failure> parse_args(std::span<const std::string_view> args,
                                              std::span<const OptionRule> rules,
                                              std::string_view context,
                                              bool stop_at_positional = false,
                                              std::span<const std::string_view>* rest = nullptr);

// A motor id, 0 to 0x7FF, decimal or 0x hex.
std::expected<std::uint16_t, Failure> parse_motor_id(std::string_view text,
                                                     std::string_view what = "motor id");
// "1-32", "0x01-0x10", "5" or comma-separated lists of those.
std::expected<std::vector<std::uint16_t>, Failure> parse_id_list(std::string_view text);
// The ids of every --ids given (`--ids 1-3 --ids 5`), joined in the order
// given without repeats; `fallback` when none is given.
std::expected<std::vector<std::uint16_t>, Failure> parse_id_lists(
    std::span<const std::string_view> texts, std::string_view fallback);
// Seconds, a non-negative decimal number.
std::expected<double, Failure> parse_seconds(std::string_view text, std::string_view option);

// `text` followed by spaces up to `width` characters (UTF-8 aware), and one
// space more.
std::string padded(std::string_view text, std::size_t width);

// "0x01" style, at least two hex digits.
std::string id_text(std::uint32_t id);

}  // namespace axiolink::dmctl
