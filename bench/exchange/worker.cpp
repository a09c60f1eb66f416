#include "exchange/worker.hpp"

#include <time.h>

#include <charconv>
#include <cstdio>
#include <iostream>

namespace axiolink::bench {
namespace {

std::optional<std::uint64_t> parse_count(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<Round> parse_round(std::string_view line) {
    const auto space = line.find(' ');
    if (space == std::string_view::npos) {
        return std::nullopt;
    }
    const auto count = parse_count(line.substr(0, space));
    const auto block = parse_count(line.substr(space + 1));
    if (!count || !block || *block == 0 || *count % *block != 0) {
        return std::nullopt;
    }
    return Round{*count, *block};
}

}  // namespace

std::uint64_t monotonic_nanos() noexcept {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000U +
           static_cast<std::uint64_t>(now.tv_nsec);
}

std::optional<Round> read_round() {
    std::string line;
    while (std::getline(std::cin, line)) {
        if (const std::optional<Round> round = parse_round(line)) {
            return round;
        }
        report_error("expected 'COUNT BLOCK' with COUNT a multiple of BLOCK, got '" + line + "'");
    }
    return std::nullopt;
}

void report_blocks(std::span<const std::uint64_t> block_nanos) {
    std::string line = "ok";
    for (const std::uint64_t nanos : block_nanos) {
        line += ' ';
        line += std::to_string(nanos);
    }
    std::puts(line.c_str());
    std::fflush(stdout);
}

void report_error(std::string_view text) {
    std::printf("error %.*s\n", static_cast<int>(text.size()), text.data());
    std::fflush(stdout);
}

}  // namespace axiolink::bench
