#pragma once
// Text forms of single-precision numbers used in representations.
//
// Both writers are pure, allocate nothing and write into a caller-owned
// fixed buffer; the returned view points into that buffer.

#include <array>
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

}  // namespace axiolink::support
