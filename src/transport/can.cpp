#include "transport/can.hpp"

#include <time.h>

#include <cstring>
#include <limits>
#include <string>

namespace axiolink::transport {
namespace {

constexpr std::uint64_t kNanosPerSecond = 1'000'000'000;
constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
    std::uint64_t sum = 0;
    return __builtin_add_overflow(a, b, &sum) ? kNever : sum;
}

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) noexcept {
    std::uint64_t product = 0;
    return __builtin_mul_overflow(a, b, &product) ? kNever : product;
}

// The C library may hand back either strerror_r flavour; both end up as a
// pointer to the text.
[[maybe_unused]] const char* error_text_from(char* gnu_result, const char*) noexcept {
    return gnu_result;
}
[[maybe_unused]] const char* error_text_from(int xsi_result, const char* buffer) noexcept {
    return xsi_result == 0 ? buffer : "Unknown error";
}

}  // namespace

MonotonicTime MonotonicTime::now() noexcept {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return MonotonicTime{static_cast<std::uint64_t>(ts.tv_sec) * kNanosPerSecond +
                         static_cast<std::uint64_t>(ts.tv_nsec)};
}

MonotonicTime MonotonicTime::plus(Duration d) const noexcept {
    const std::uint64_t span = saturating_add(saturating_mul(d.seconds, kNanosPerSecond), d.nanos);
    return MonotonicTime{saturating_add(nanos, span)};
}

Duration MonotonicTime::until(MonotonicTime deadline) const noexcept {
    if (deadline.nanos <= nanos) {
        return {};
    }
    const std::uint64_t left = deadline.nanos - nanos;
    return {left / kNanosPerSecond, static_cast<std::uint32_t>(left % kNanosPerSecond)};
}

std::string system_error_text(int os_error) {
    char buffer[256];
    const char* text = error_text_from(::strerror_r(os_error, buffer, sizeof buffer), buffer);
    return std::string(text) + " (os error " + std::to_string(os_error) + ")";
}

std::string TransportError::message() const {
    switch (kind_) {
        case Kind::Backend:
            return "backend error: " + system_error_text(os_error_);
        case Kind::Timeout:
            return "timeout waiting for frame";
        case Kind::FrameTooLarge:
            return "frame too large for selected mode: " + std::to_string(length_) + " bytes";
        case Kind::InvalidId:
            break;
    }
    return "invalid CAN id";
}

TransportResult<CanFrame> CanTransport::request(const CanFrame& frame, CanId expected,
                                                Duration timeout) {
    return send_and_await(frame, timeout,
                          [expected](const CanFrame& received) { return received.id == expected; });
}

}  // namespace axiolink::transport
