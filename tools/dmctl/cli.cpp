#include "dmctl/cli.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ranges>

#include "support/number_parse.hpp"

namespace axiolink::dmctl {
namespace {

constexpr std::uint32_t kMaxMotorId = 0x7FF;
constexpr std::size_t kMaxScanIds = 0x800;

std::string quoted(std::string_view text) {
    return "'" + std::string(text) + "'";
}

std::string in(std::string_view context) {
    return context.empty() ? std::string() : std::string(context) + ": ";
}

bool looks_like_option(std::string_view arg) noexcept {
    if (arg.size() < 2 || arg[0] != '-') {
        return false;
    }
    const char next = arg[1];
    return !((next >= '0' && next <= '9') || next == '.');
}

}  // namespace

bool ParsedArgs::has(std::string_view name) const noexcept {
    return std::ranges::any_of(options, [&](const auto& option) { return option.first == name; });
}

std::optional<std::string_view> ParsedArgs::last(std::string_view name) const noexcept {
    for (const auto& option : std::views::reverse(options)) {
        if (option.first == name) {
            return option.second;
        }
    }
    return std::nullopt;
}

std::vector<std::string_view> ParsedArgs::all(std::string_view name) const {
    std::vector<std::string_view> values;
    for (const auto& option : options) {
        if (option.first == name) {
            values.push_back(option.second);
        }
    }
    return values;
}

std::expected<ParsedArgs, Failure> parse_args(std::span<const std::string_view> args,
                                              std::span<const OptionRule> rules,
                                              std::string_view context, bool stop_at_positional,
                                              std::span<const std::string_view>* rest) {
    ParsedArgs parsed;
    bool options_done = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (options_done || !looks_like_option(arg)) {
            if (stop_at_positional) {
                if (rest != nullptr) {
                    *rest = args.subspan(i);
                }
                return parsed;
            }
            parsed.positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            parsed.help = true;
            continue;
        }
        const std::size_t equals = arg.find('=');
        const std::string_view name = arg.substr(0, equals);
        const auto rule = std::ranges::find(rules, name, &OptionRule::name);
        if (rule == rules.end()) {
            return usage_error(in(context) + "unknown option " + quoted(name));
        }
        if (!rule->takes_value) {
            if (equals != std::string_view::npos) {
                return usage_error(in(context) + std::string(name) + " takes no value");
            }
            parsed.options.emplace_back(name, std::string_view{});
            continue;
        }
        if (equals != std::string_view::npos) {
            parsed.options.emplace_back(name, arg.substr(equals + 1));
        } else if (i + 1 < args.size()) {
            parsed.options.emplace_back(name, args[++i]);
        } else {
            return usage_error(in(context) + std::string(name) + " needs a value");
        }
    }
    if (rest != nullptr) {
        *rest = {};
    }
    return parsed;
}

std::expected<std::uint16_t, Failure> parse_motor_id(std::string_view text, std::string_view what) {
    const auto id = support::parse_unsigned(text, kMaxMotorId);
    if (!id) {
        return usage_error(std::string(what) + " " + quoted(text) +
                           " is not a number from 0 to 0x7FF (decimal or 0x hex)");
    }
    return static_cast<std::uint16_t>(*id);
}

std::expected<std::vector<std::uint16_t>, Failure> parse_id_list(std::string_view text) {
    std::vector<std::uint16_t> ids;
    for (const auto part_range : std::views::split(text, ',')) {
        const std::string_view part(part_range.begin(), part_range.end());
        const std::size_t dash = part.find('-');
        const auto first = parse_motor_id(part.substr(0, dash), "id");
        if (!first) {
            return std::unexpected(first.error());
        }
        auto last = first;
        if (dash != std::string_view::npos) {
            last = parse_motor_id(part.substr(dash + 1), "id");
            if (!last) {
                return std::unexpected(last.error());
            }
        }
        if (*last < *first) {
            return usage_error("id range " + quoted(part) + " runs backwards");
        }
        for (std::uint32_t id = *first; id <= *last; ++id) {
            if (std::ranges::find(ids, id) == ids.end()) {
                ids.push_back(static_cast<std::uint16_t>(id));
            }
        }
        if (ids.size() > kMaxScanIds) {
            return usage_error("too many ids in " + quoted(text));
        }
    }
    return ids;
}

std::expected<std::vector<std::uint16_t>, Failure> parse_id_lists(
    std::span<const std::string_view> texts, std::string_view fallback) {
    if (texts.empty()) {
        return parse_id_list(fallback);
    }
    std::vector<std::uint16_t> ids;
    for (const std::string_view text : texts) {
        const auto more = parse_id_list(text);
        if (!more) {
            return std::unexpected(more.error());
        }
        for (const std::uint16_t id : *more) {
            if (std::ranges::find(ids, id) == ids.end()) {
                ids.push_back(id);
            }
        }
    }
    return ids;
}

std::expected<double, Failure> parse_seconds(std::string_view text, std::string_view option) {
    double seconds = 0.0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size() ||
        !std::isfinite(seconds) || seconds < 0.0 || seconds > 1e9) {
        return usage_error(std::string(option) + " " + quoted(text) +
                           " is not a number of seconds");
    }
    return seconds;
}

std::string padded(std::string_view text, std::size_t width) {
    const auto characters = static_cast<std::size_t>(std::ranges::count_if(
        text, [](char c) { return (static_cast<unsigned char>(c) & 0xC0U) != 0x80U; }));
    return std::string(text) + std::string(width > characters ? width - characters : 0, ' ') + ' ';
}

std::string id_text(std::uint32_t id) {
    std::array<char, 16> buffer{};
    const int length = std::snprintf(buffer.data(), buffer.size(), "0x%02X", id);
    return std::string(buffer.data(), static_cast<std::size_t>(std::max(length, 0)));
}

}  // namespace axiolink::dmctl
