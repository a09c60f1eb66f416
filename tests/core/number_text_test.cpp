#include "support/number_text.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <ostream>
#include <string>
#include <string_view>

namespace axiolink::support {
namespace {

struct TextCase {
    std::uint32_t bits;  // the float as its bit pattern, so NaN signs and subnormals are exact
    std::string_view expected;
};

void PrintTo(const TextCase& c, std::ostream* os) {
    *os << "0x" << std::hex << c.bits << " -> \"" << c.expected << '"';
}

float from_bits(std::uint32_t bits) {
    return std::bit_cast<float>(bits);
}

std::string shortest(float value) {
    NumberBuffer buffer;
    return std::string(shortest_text(value, buffer));
}

std::string four_decimal(float value) {
    NumberBuffer buffer;
    return std::string(four_decimal_text(value, buffer));
}

class NumberShortestText : public testing::TestWithParam<TextCase> {};

TEST_P(NumberShortestText, WritesShortestPositionalForm) {
    const TextCase& c = GetParam();
    EXPECT_EQ(shortest(from_bits(c.bits)), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    NumberExamples, NumberShortestText,
    testing::Values(
        TextCase{0x41480000, "12.5"}, TextCase{0x41F00000, "30"}, TextCase{0x00000000, "0"},
        TextCase{0x80000000, "-0"}, TextCase{0x3DCCCCCD, "0.1"},     // 0.100000001...
        TextCase{0x41490E56, "12.566"},                              // dm3507 p_max
        TextCase{0x33D6BF95, "0.0000001"},                           // 1e-7
        TextCase{0x501502F9, "10000000000"},                         // 1e10
        TextCase{0x43FA0000, "500"}, TextCase{0xC0100000, "-2.25"},  //
        TextCase{0x4CEB79A3, "123456790"},  // stored as 123456792: shortest digits, zero-filled
        TextCase{0x60AD78EC, "100000000000000000000"},  // 1e20, exact 100000002004...
        TextCase{0x7F7FFFFF, "340282350000000000000000000000000000000"},  // largest finite
        TextCase{0xFF7FFFFF, "-340282350000000000000000000000000000000"},
        // Smallest subnormal: "1e-45" and "2e-45" both read back; the nearer one wins.
        TextCase{0x00000001, "0.000000000000000000000000000000000000000000001"},
        TextCase{0x80000001, "-0.000000000000000000000000000000000000000000001"},
        TextCase{0x00000002, "0.000000000000000000000000000000000000000000003"},
        TextCase{0x7FC00000, "NaN"}, TextCase{0xFFC00000, "NaN"},  // NaN never shows a sign
        TextCase{0x7F800001, "NaN"}, TextCase{0x7F800000, "inf"}, TextCase{0xFF800000, "-inf"}));

TEST(NumberShortestText, ReadsBackAsTheSameFloat) {
    // A sweep across every exponent and many mantissas; any misplaced point or
    // missing zero shows as a different value on reading back.
    for (std::uint64_t bits = 0; bits < 0x7F800000; bits += 0x10001) {
        const float value = from_bits(static_cast<std::uint32_t>(bits));
        const std::string text = shortest(value);
        ASSERT_EQ(text.find_first_of("eE"), std::string::npos) << text;
        ASSERT_EQ(std::strtof(text.c_str(), nullptr), value) << text;
        ASSERT_FALSE(text.ends_with(".0")) << text;
    }
}

class NumberFourDecimalText : public testing::TestWithParam<TextCase> {};

TEST_P(NumberFourDecimalText, RoundsExactValueHalfToEven) {
    const TextCase& c = GetParam();
    EXPECT_EQ(four_decimal(from_bits(c.bits)), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    NumberExamples, NumberFourDecimalText,
    testing::Values(TextCase{0x00000000, "0.0000"}, TextCase{0x3F800000, "1.0000"},
                    TextCase{0x41480000, "12.5000"}, TextCase{0x47C35000, "100000.0000"},
                    TextCase{0x3DCCCCCD, "0.1000"},
                    // Negative values that round to zero keep their sign, negative zero too.
                    TextCase{0xB727C5AC, "-0.0000"},  // -0.00001
                    TextCase{0x80000000, "-0.0000"}, TextCase{0x80000001, "-0.0000"},
                    TextCase{0x00000001, "0.0000"},
                    // Exact halfway cases go to the even last digit.
                    TextCase{0x3D000000, "0.0312"},   // 0.03125
                    TextCase{0x3DC00000, "0.0938"},   // 0.09375
                    TextCase{0x3E200000, "0.1562"},   // 0.15625
                    TextCase{0x3E600000, "0.2188"},   // 0.21875
                    TextCase{0xBF840000, "-1.0312"},  // -1.03125
                    // Just above halfway in binary: 0.00015 is stored as 0.000150000007...
                    TextCase{0x391D4952, "0.0002"},
                    // 0.99996 is stored as 0.999960005..., rounding carries into the units.
                    TextCase{0x3F7FFD61, "1.0000"},
                    TextCase{0x7F7FFFFF, "340282346638528859811704183484516925440.0000"},
                    TextCase{0xFF7FFFFF, "-340282346638528859811704183484516925440.0000"},
                    TextCase{0x7FC00000, "NaN"}, TextCase{0xFFC00000, "NaN"},
                    TextCase{0x7F800000, "inf"}, TextCase{0xFF800000, "-inf"}));

TEST(NumberTextBuffer, ResultViewsTheCallersBuffer) {
    NumberBuffer buffer;
    const std::string_view text = shortest_text(-2.25F, buffer);
    EXPECT_EQ(text.data(), buffer.data());
    const std::string_view fixed = four_decimal_text(-2.25F, buffer);
    EXPECT_EQ(fixed.data(), buffer.data());
    EXPECT_EQ(fixed, "-2.2500");
}

}  // namespace
}  // namespace axiolink::support
