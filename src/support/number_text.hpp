#pragma once
// Text forms of single-precision numbers used in representations.
//
// The two writers are pure, allocate nothing and write into a caller-owned
// fixed buffer; the returned view points into that buffer. The string forms
// beside them are for messages.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace axiolink::support {

// Large enough for any float in either form: at most a sign, the 39 integer
// digits of FLT_MAX, a point and four decimals, or a sign, "0." and the 45
// fractional digits of the smallest subnormal.
using NumberBuffer = std::array<char, 192>;

// Shortest decimal that reads back as the same float (ties: nearest to the
// exact value), positional, no exponent, no ".0" on whole numbers.
// NaN -> "NaN", infinities -> "inf" / "-inf", negative zero -> "-0".
std::string_view shortest_text(float value, NumberBuffer& out) noexcept;

// Exactly four decimals of the exact float value, rounded half to even,
// "-" whenever the sign bit is set (so -0.00001 -> "-0.0000").
// NaN -> "NaN", infinities -> "inf" / "-inf".
std::string_view four_decimal_text(float value, NumberBuffer& out) noexcept;

// shortest_text of a number taken to single precision, as a string: how
// messages write a motor's limits and the values checked against them.
std::string shortest_string(double value);

// A motor id as messages name it: "0x01", "0x1A", "0x123".
std::string motor_id_text(std::uint16_t motor_id);

}  // namespace axiolink::support
