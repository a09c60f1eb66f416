// dmctl: finds, inspects and sets up Damiao motors on a SocketCAN interface,
// through the same driver the Python module uses.

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "dmctl/cli.hpp"
#include "dmctl/commands.hpp"
#include "dmctl/json.hpp"
#include "support/number_parse.hpp"

namespace {

using namespace axiolink::dmctl;

constexpr std::uint32_t kMaxTimeoutMs = 60'000;

constexpr OptionRule kGlobalOptions[] = {
    {"--iface", true}, {"--json", false}, {"--timeout-ms", true}, {"--version", false}};

std::string tool_help() {
    std::string text = R"(Usage: dmctl [--iface IFACE] [--json] [--timeout-ms MS] SUBCOMMAND ...

Finds, inspects and sets up Damiao motors on a SocketCAN interface: ids,
control mode, registers, enable/disable, and the feedback they send.

Options:
  --iface IFACE     CAN interface (default can0)
  --json            print results as JSON (failures too, on standard output)
  --timeout-ms MS   wait per answer, 1 to 60000 (default 20)
  --version         print the version and exit
  -h, --help        this text; `dmctl SUBCOMMAND --help` for a subcommand

Subcommands:
)";
    for (const Subcommand& sub : subcommands()) {
        std::array<char, 120> line{};
        std::snprintf(line.data(), line.size(), "  %-9s %s\n", std::string(sub.name).c_str(),
                      std::string(sub.summary).c_str());
        text += line.data();
    }
    text += R"(
Ids are decimal or 0x hex. Exit status: 0 done, 1 failed (the message says
what to check), 2 wrong usage. Guide: docs/dmctl.md.
)";
    return text;
}

std::string subcommand_help(const Subcommand& sub) {
    return "Usage: dmctl [--iface IFACE] [--json] " + std::string(sub.name) + " " +
           std::string(sub.synopsis) + "\n\n" + std::string(sub.summary) + ".\n" +
           std::string(sub.details) + "\n";
}

int report_failure(const Settings& settings, const Failure& failure) {
    std::string text = "dmctl: " + failure.message + "\n";
    for (const std::string& check : failure.checks) {
        text += "  check: " + check + "\n";
    }
    if (failure.status == kExitUsage) {
        text += "Try 'dmctl --help'.\n";
    }
    if (!failure.undone.empty()) {
        text += "dmctl: " + failure.undone + "\n";
    }
    std::fputs(text.c_str(), stderr);
    if (settings.json && !failure.result_printed) {
        Json json;
        json.begin_object().field("error", std::string_view(failure.message)).key("check");
        json.begin_array();
        for (const std::string& check : failure.checks) {
            json.value(std::string_view(check));
        }
        json.end_array();
        if (!failure.undone.empty()) {
            json.field("undone", std::string_view(failure.undone));
        }
        json.field("exit_status", static_cast<unsigned>(failure.status)).end_object();
        print_line(json.text());
    }
    return failure.status;
}

// Takes the global options in `parsed` into `settings`.
Outcome apply_global_options(const ParsedArgs& parsed, Settings& settings) {
    settings.json = settings.json || parsed.has("--json");
    if (const auto iface = parsed.last("--iface")) {
        settings.iface = std::string(*iface);
    }
    if (const auto timeout = parsed.last("--timeout-ms")) {
        const auto ms = axiolink::support::parse_unsigned(*timeout, kMaxTimeoutMs);
        if (!ms || *ms == 0) {
            return usage_error("--timeout-ms '" + std::string(*timeout) +
                               "' is not a number of milliseconds from 1 to 60000");
        }
        settings.timeout_ms = *ms;
    }
    return {};
}

int run(std::span<const std::string_view> argv) {
    Settings settings;
    // --json anywhere makes every failure JSON, also one in the options
    // before it or beside it.
    const auto options_end = std::ranges::find(argv, std::string_view("--"));
    settings.json = std::ranges::find(argv.begin(), options_end, std::string_view("--json")) !=
                    options_end;
    std::span<const std::string_view> rest;
    const auto global = parse_args(argv, kGlobalOptions, "", true, &rest);
    if (!global) {
        return report_failure(settings, global.error());
    }
    if (auto applied = apply_global_options(*global, settings); !applied) {
        return report_failure(settings, applied.error());
    }
    if (global->help) {
        std::fputs(tool_help().c_str(), stdout);
        return kExitOk;
    }
    if (global->has("--version")) {
        print_line("dmctl " AXIOLINK_VERSION);
        return kExitOk;
    }
    if (rest.empty()) {
        return report_failure(settings, Failure{kExitUsage, "no subcommand given", {}});
    }
    const Subcommand* chosen = nullptr;
    for (const Subcommand& sub : subcommands()) {
        if (sub.name == rest[0]) {
            chosen = &sub;
        }
    }
    if (chosen == nullptr) {
        return report_failure(
            settings, Failure{kExitUsage, "unknown subcommand '" + std::string(rest[0]) + "'", {}});
    }
    // The global options are accepted after the subcommand too.
    std::vector<OptionRule> rules(chosen->options.begin(), chosen->options.end());
    for (const OptionRule& global_rule : kGlobalOptions) {
        if (std::ranges::find(rules, global_rule.name, &OptionRule::name) == rules.end()) {
            rules.push_back(global_rule);
        }
    }
    const auto args = parse_args(rest.subspan(1), rules, chosen->name);
    if (!args) {
        return report_failure(settings, args.error());
    }
    if (auto applied = apply_global_options(*args, settings); !applied) {
        return report_failure(settings, applied.error());
    }
    if (args->has("--version")) {
        print_line("dmctl " AXIOLINK_VERSION);
        return kExitOk;
    }
    if (args->help) {
        std::fputs(subcommand_help(*chosen).c_str(), stdout);
        return kExitOk;
    }
    if (auto done = chosen->run(settings, *args); !done) {
        return report_failure(settings, done.error());
    }
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string_view> args(argv + 1, argv + argc);
    try {
        return run(args);
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "dmctl: internal failure: %s\n", failure.what());
        return kExitFailure;
    }
}
