#include "transport/can.hpp"

#include <time.h>

#include <cstring>
#include <string>

namespace axiolink::transport {
namespace {

constexpr std::uint64_t kNanosPerSecond = 1'000'000'000;

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

Duration ReplyDeadline::elapsed(MonotonicTime now) const noexcept {
    // A clock reading before the start (only a test's clock does that) counts
    // as no time at all.
    const std::uint64_t nanos = now.nanos > start_.nanos ? now.nanos - start_.nanos : 0;
    return {nanos / kNanosPerSecond, static_cast<std::uint32_t>(nanos % kNanosPerSecond)};
}

Duration ReplyDeadline::left(MonotonicTime now) const noexcept {
    const Duration spent = elapsed(now);
    if (spent >= timeout_) {
        return {};
    }
    if (timeout_.nanos >= spent.nanos) {
        return {timeout_.seconds - spent.seconds, timeout_.nanos - spent.nanos};
    }
    return {timeout_.seconds - spent.seconds - 1,
            static_cast<std::uint32_t>(kNanosPerSecond + timeout_.nanos - spent.nanos)};
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
