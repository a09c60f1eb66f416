#pragma once
// Unsigned numbers as people type them on command lines: ids, counts, values.

#include <cstdint>
#include <optional>
#include <string_view>

namespace axiolink::support {

// Decimal, or hexadecimal after 0x / 0X; the whole text must be the number
// and at most `max`. Signs, spaces and empty texts are refused.
std::optional<std::uint32_t> parse_unsigned(std::string_view text, std::uint32_t max) noexcept;

}  // namespace axiolink::support
