// The number texts of representations, held against the C library: the
// shortest text reads back as the very same float and has no more digits
// than the shortest scientific form that does; the four-decimal text equals
// printf's correctly rounded "%.4f".

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz_input.hpp"
#include "support/number_text.hpp"

namespace {

using axiolink::support::four_decimal_text;
using axiolink::support::NumberBuffer;
using axiolink::support::shortest_text;

// The significant digits of a positional text: no sign, point, or leading
// and trailing zeros ("0.00120" -> "12").
std::string significant_digits(std::string_view text) {
    std::string digits;
    for (const char c : text) {
        if (c >= '0' && c <= '9') {
            digits += c;
        }
    }
    digits.erase(0, digits.find_first_not_of('0'));
    digits.erase(digits.find_last_not_of('0') + 1);
    return digits;
}

// The fewest significant digits with which printf's correctly rounded
// scientific form reads back as `value`, and those digits.
std::string shortest_scientific_digits(float value) {
    for (int precision = 0; precision < 9; ++precision) {
        char text[64];
        std::snprintf(text, sizeof text, "%.*e", precision, static_cast<double>(value));
        if (std::strtof(text, nullptr) == value) {
            return significant_digits(std::string_view(text, std::strcspn(text, "e")));
        }
    }
    __builtin_abort();  // nine digits always read back
}

bool same_bits(float a, float b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// NaN and the infinities have the same text in both forms; true when
// `value` is one of them.
bool is_checked_non_finite(float value, const std::string& text) {
    if (std::isnan(value)) {
        FUZZ_CHECK(text == "NaN");
        return true;
    }
    if (std::isinf(value)) {
        FUZZ_CHECK(text == (value < 0 ? "-inf" : "inf"));
        return true;
    }
    return false;
}

void check_shortest(float value) {
    NumberBuffer buffer;
    const std::string text(shortest_text(value, buffer));
    if (is_checked_non_finite(value, text)) {
        return;
    }
    FUZZ_CHECK(text.find_first_not_of("-0123456789.") == std::string::npos);
    char* end = nullptr;
    const float read_back = std::strtof(text.c_str(), &end);
    FUZZ_CHECK(*end == '\0');
    FUZZ_CHECK(same_bits(read_back, value));
    if (text.find('.') != std::string::npos) {
        FUZZ_CHECK(text.back() != '0' && text.back() != '.');
    }
    if (value == 0.0F) {
        FUZZ_CHECK(text == (std::signbit(value) ? "-0" : "0"));
        return;
    }
    const std::string ours = significant_digits(text);
    const std::string reference = shortest_scientific_digits(value);
    FUZZ_CHECK(ours.size() <= reference.size());
    // The correctly rounded digits of that length read back, so they are the
    // nearest ones; the nearest must win.
    FUZZ_CHECK(ours.size() < reference.size() || ours == reference);
}

void check_four_decimals(float value) {
    NumberBuffer buffer;
    const std::string text(four_decimal_text(value, buffer));
    if (is_checked_non_finite(value, text)) {
        return;
    }
    char reference[64];
    std::snprintf(reference, sizeof reference, "%.4f", static_cast<double>(value));
    FUZZ_CHECK(text == reference);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    axiolink::fuzzing::FuzzInput input(data, size);
    // A few values per input, so that seeds can hold several examples
    // without long inputs slowing every run down.
    for (int count = 0; count < 8 && (count == 0 || !input.empty()); ++count) {
        const float value = input.take_float();
        check_shortest(value);
        check_four_decimals(value);
    }
    return 0;
}
