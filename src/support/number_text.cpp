#include "support/number_text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <optional>

namespace axiolink::support {
namespace {

// Writes `text` at the start of `out` and returns the written part.
std::string_view put(std::string_view text, NumberBuffer& out) noexcept {
    std::ranges::copy(text, out.begin());
    return {out.data(), text.size()};
}

// NaN and the infinities have the same text in both forms; NaN never shows
// a sign, whatever its sign bit.
std::optional<std::string_view> non_finite_text(float value, NumberBuffer& out) noexcept {
    if (std::isnan(value)) {
        return put("NaN", out);
    }
    if (std::isinf(value)) {
        return put(value < 0.0F ? "-inf" : "inf", out);
    }
    return std::nullopt;
}

// The shortest round-trip digits of |value| and the decimal exponent of the
// first digit, so |value| reads back from d1.d2d3... x 10^exponent.
struct ShortestDigits {
    std::array<char, 16> digits{};
    std::size_t count = 0;
    int exponent = 0;
};

ShortestDigits shortest_digits(float magnitude) noexcept {
    // The fixed form writes large whole values with their exact integer
    // digits (1e20F as 100000002004087734272); the scientific form carries
    // only the shortest digits, which the caller pads with zeros.
    std::array<char, 32> scientific{};
    const auto written = std::to_chars(scientific.data(), scientific.data() + scientific.size(),
                                       magnitude, std::chars_format::scientific);
    const std::string_view text(scientific.data(),
                                static_cast<std::size_t>(written.ptr - scientific.data()));
    const std::size_t e_pos = text.find('e');

    ShortestDigits result;
    for (const char c : text.substr(0, e_pos)) {
        if (c != '.') {
            result.digits[result.count++] = c;
        }
    }
    const std::string_view exponent_text = text.substr(e_pos + 1);
    const bool negative_exponent = exponent_text.front() == '-';
    std::from_chars(exponent_text.data() + 1, exponent_text.data() + exponent_text.size(),
                    result.exponent);
    if (negative_exponent) {
        result.exponent = -result.exponent;
    }
    return result;
}

}  // namespace

std::string_view shortest_text(float value, NumberBuffer& out) noexcept {
    if (const auto special = non_finite_text(value, out)) {
        return *special;
    }
    const ShortestDigits shortest = shortest_digits(std::fabs(value));
    const std::string_view digits(shortest.digits.data(), shortest.count);
    const auto digit_count = static_cast<int>(shortest.count);

    char* cursor = out.data();
    if (std::signbit(value)) {
        *cursor++ = '-';
    }
    if (shortest.exponent < 0) {
        cursor = std::ranges::copy(std::string_view("0."), cursor).out;
        cursor = std::fill_n(cursor, -shortest.exponent - 1, '0');
        cursor = std::ranges::copy(digits, cursor).out;
    } else if (shortest.exponent >= digit_count - 1) {
        cursor = std::ranges::copy(digits, cursor).out;
        cursor = std::fill_n(cursor, shortest.exponent - (digit_count - 1), '0');
    } else {
        const auto integer_digits = static_cast<std::size_t>(shortest.exponent + 1);
        cursor = std::ranges::copy(digits.substr(0, integer_digits), cursor).out;
        *cursor++ = '.';
        cursor = std::ranges::copy(digits.substr(integer_digits), cursor).out;
    }
    return {out.data(), static_cast<std::size_t>(cursor - out.data())};
}

std::string_view four_decimal_text(float value, NumberBuffer& out) noexcept {
    if (const auto special = non_finite_text(value, out)) {
        return *special;
    }
    // Widening is exact, and the fixed form with a precision rounds the exact
    // binary value half to even; a negative value that rounds to zero keeps
    // its sign, as does negative zero.
    const auto written = std::to_chars(out.data(), out.data() + out.size(),
                                       static_cast<double>(value), std::chars_format::fixed, 4);
    return {out.data(), static_cast<std::size_t>(written.ptr - out.data())};
}

std::string shortest_string(double value) {
    NumberBuffer buffer;
    return std::string(shortest_text(static_cast<float>(value), buffer));
}

std::string motor_id_text(std::uint16_t motor_id) {
    std::array<char, 16> text{};
    std::snprintf(text.data(), text.size(), "0x%02X", static_cast<unsigned>(motor_id));
    return text.data();
}

}  // namespace axiolink::support
